# Shared by the whole-program benchmark scripts (sourced, not run): builds what they need in
# build-bench/, makes a private work folder and HOME, and starts the programs they measure.
# Before sourcing, set targets (the build targets) and name (a word for the work folder);
# jobs, when set, caps the build's parallel jobs.
# KIVO_BENCH_BUILD names a tree built already (used as it is, not configured or built here).
build=${KIVO_BENCH_BUILD:-build-bench}
if [ -z "${KIVO_BENCH_BUILD:-}" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIVO_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" ${jobs:+-j "$jobs"} \
    --target KivoUploader kivo-refservice kivo-make-hotfolder $targets >/dev/null
fi

work=$(mktemp -d "${KIVO_BENCH_DIR:-/var/tmp}/kivo-$name-XXXXXX")
pids=()
trap 'for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done; wait 2>/dev/null; rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_STATE_HOME="$work/home/.local/state" \
       XDG_DATA_HOME="$work/home/.local/share" XDG_RUNTIME_DIR="$work/run"
mkdir -p -m 0700 "$work/run"; mkdir -p "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" "$work/mirror"

# start_service <data dir> [service options, e.g. --fault ...]: starts the reference service
# there; its port is in $port, its pid last in $pids. (Not called in a subshell, so the trap
# above knows its pid and stops it.)
start_service() {
  local data=$1; shift
  "$build/kivo-refservice" --port 0 --data "$data" --user demo --password secret "$@" >"$data.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do grep -q "listening on" "$data.out" 2>/dev/null && break; sleep 0.05; done
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$data.out")
  [ -n "$port" ] || { echo "the reference service did not start"; cat "$data.out"; exit 1; }
}

# start_uploader <port> [settings...]: runs the program on $work/source; its pid is in $app.
start_uploader() {
  local port=$1; shift
  "$build/KivoUploader" -platform offscreen \
    -prefLocalSourceUploadFolder "$work/source" -prefLocalMasterMirrorSiteFolder "$work/mirror" \
    -userLoginName demo -userLoginPassword secret -userEnteredEventName Bench \
    -prefGlvURL "http://127.0.0.1:$port/upload" -prefAutoSynchronize NO "$@" \
    "$work/source" >"$work/console.txt" 2>&1 &
  app=$!
  pids+=($app)
}

# The program's console output: standard output and its daily log files.
log() { cat "$work/console.txt" "$XDG_STATE_HOME"/Kivo/*.log 2>/dev/null; }

# write_config <photo dir> <port> <config>: one url/form set per photo, as the program sends them.
write_config() {
  local first=1 f client
  : >"$3"
  while IFS= read -r f; do
    client=$(basename "$(dirname "$f")")
    [ $first -eq 1 ] || echo "next" >>"$3"
    first=0
    cat >>"$3" <<CFG
url = "http://127.0.0.1:$2/upload"
form = "username=demo"
form = "password=secret"
form = "event=Bench"
form = "client=$client"
form = "capturetime=2026-12-05 10:00:00"
form = "metadata="
form = "fuseaction=upload.upload"
form = "Submit=Upload"
form = "imgfile=@$f;type=image/jpeg"
output = "/dev/null"
header = "Expect:"
CFG
  done < <(find "$1" -type f -name '*.jpg' | sort)
}

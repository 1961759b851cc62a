#!/usr/bin/env bash
# The program against its real limit: one curl process sending the same uploads over one
# kept-alive connection (curl -K), to a sink that parses each body and answers at once without
# storing it (kivo-refservice --discard). Runs alternate A B A B so drift hits both alike.
# Then the same with the sink reading at 100 Mbit/s, and one photo with a 1 GiB movie
# (bench/large_item.sh).
# Usage: bench/upload_vs_curl.sh [photos=300]
# Settings: RUNS (pairs, default 3), PACED_PHOTOS (40), PACED_RUNS (1; 0 skips), PACED_RATE
# (bytes/s, 12500000), LARGE_MIB (1024; 0 skips the movie run).
set -euo pipefail
cd "$(dirname "$0")/.."
photos=${1:-300}
runs=${RUNS:-3}
paced_photos=${PACED_PHOTOS:-40}
paced_runs=${PACED_RUNS:-1}
paced_rate=${PACED_RATE:-12500000}
large_mib=${LARGE_MIB:-1024}
targets=""
name=vscurl
source bench/common.sh

hz=$(getconf CLK_TCK)
now() { date +%s.%N; }
conns() { awk -F'"conn":' '{split($2, a, ","); print a[1]}' "$1/requests.log" | sort -u | wc -l; }
ok_count() { grep -c '"status":"OK"' "$1/requests.log" || true; }

# make_photos <dir> <count>; the pristine set is never touched by the program (it gets hard links).
make_photos() {
  "$build/kivo-make-hotfolder" "$1" --clients 10 --photos "$2" --movies 0 --stray 0 \
    --png-every 0 --width 4000 --height 3000 --noise 60 >/dev/null
}

stop_service() { kill -TERM "${pids[-1]}" 2>/dev/null || true; wait "${pids[-1]}" 2>/dev/null || true; }

# run_curl <photo dir> <tag> [service options]: sets result to "wall cpu peak_kb conns ok".
# (Not run in a subshell, so the exit trap knows the service's pid.)
run_curl() {
  local dir=$1 tag=$2; shift 2
  start_service "$work/svc-$tag" --discard --keepalive-max 1000000 "$@"
  write_config "$dir" "$port" "$work/curl.cfg"
  local t0 t1
  t0=$(now)
  /usr/bin/time -o "$work/curl.time" -f '%U %S %M' curl -s -K "$work/curl.cfg"
  t1=$(now)
  stop_service
  read -r u s m <"$work/curl.time"
  result="$(awk -v a="$t0" -v b="$t1" 'BEGIN {print b - a}') $(awk -v u="$u" -v s="$s" 'BEGIN {print u + s}') $m $(conns "$work/svc-$tag") $(ok_count "$work/svc-$tag")"
}

# run_app <photo dir> <tag> [service options]: a fresh source (hard links), state and mirror each
# time; sets result as run_curl does.
run_app() {
  local dir=$1 tag=$2; shift 2
  rm -rf "${work:?}/source" "${work:?}/mirror" "${work:?}/home"
  mkdir -p "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" "$work/mirror"
  cp -al "$dir" "$work/source"
  start_service "$work/svc-$tag" --discard --keepalive-max 1000000 "$@"
  local t0 t1 peak cpu
  t0=$(now)
  # shellcheck disable=SC2086
  start_uploader "$port" -KivoStartHidden YES -prefUploadMovie NO ${KIVO_BENCH_SETTINGS:-}
  until log | grep -q "Scanning done - NO File found"; do
    kill -0 "$app" 2>/dev/null || { echo "KivoUploader ended early"; tail "$work/console.txt"; exit 1; }
    sleep 0.02
  done
  t1=$(now)
  peak=$(awk '/VmHWM/ {print $2}' "/proc/$app/status")
  cpu=$(awk -v hz="$hz" '{print ($14 + $15) / hz}' "/proc/$app/stat")
  kill -TERM "$app"; wait "$app" || true
  stop_service
  result="$(awk -v a="$t0" -v b="$t1" 'BEGIN {print b - a}') $cpu $peak $(conns "$work/svc-$tag") $(ok_count "$work/svc-$tag")"
}

# compare <photo dir> <count> <pairs> <label> [service options]
compare() {
  local dir=$1 n=$2 pairs=$3 label=$4; shift 4
  local results="$work/results-$label.txt" i
  : >"$results"
  for i in $(seq "$pairs"); do
    run_app "$dir" "$label-a$i" "$@"
    echo "A $result" >>"$results"
    run_curl "$dir" "$label-b$i" "$@"
    echo "B $result" >>"$results"
  done
  awk -v n="$n" -v label="$label" '
    function median(arr, k,   i, j, t) {
      for (i = 2; i <= k; i++) for (j = i; j > 1 && arr[j - 1] > arr[j]; j--) { t = arr[j]; arr[j] = arr[j - 1]; arr[j - 1] = t }
      return k % 2 ? arr[(k + 1) / 2] : (arr[k / 2] + arr[k / 2 + 1]) / 2
    }
    $1 == "A" { ka++; aw[ka] = $2; ac[ka] = $3; am[ka] = $4; an[ka] = $5; ao[ka] = $6 }
    $1 == "B" { kb++; bw[kb] = $2; bc[kb] = $3; bm[kb] = $4; bn[kb] = $5; bo[kb] = $6
      printf "%s run %d: KivoUploader %.2f s (%d OK, %d conn, %.1f ms cpu/photo, %.1f MiB) | curl %.2f s (%d OK, %d conn, %.1f ms cpu/photo, %.1f MiB) | ratio %.2f | own %.1f ms/photo\n",
        label, kb, aw[kb], ao[kb], an[kb], 1000 * ac[kb] / n, am[kb] / 1024, bw[kb], bo[kb], bn[kb], 1000 * bc[kb] / n, bm[kb] / 1024, aw[kb] / bw[kb], 1000 * (aw[kb] - bw[kb]) / n
      r[kb] = aw[kb] / bw[kb]; o[kb] = 1000 * (aw[kb] - bw[kb]) / n }
    END {
      mr = median(r, kb); mo = median(o, kb)
      mac = median(ac, ka); mbc = median(bc, kb); man = median(an, ka); mam = median(am, ka); mbm = median(bm, kb)
      maw = median(aw, ka); mbw = median(bw, kb)
      printf "%s medians (%d photos, %d pairs):\n", label, n, kb
      printf "  wall:        KivoUploader %.2f s, curl %.2f s, ratio %.2f\n", maw, mbw, mr
      printf "  own time:    %.1f ms per photo ((A - B) / N)\n", mo
      printf "  processor:   KivoUploader %.1f ms per photo, curl %.1f ms per photo\n", 1000 * mac / n, 1000 * mbc / n
      printf "  connections: KivoUploader %d, curl %d\n", man, median(bn, kb)
      printf "  peak memory: KivoUploader %.1f MiB, curl %.1f MiB\n", mam / 1024, mbm / 1024
    }' "$results"
}

echo "making $photos photos..."
make_photos "$work/photos" "$photos"
sync
total=$(find "$work/photos" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
echo "photos: $photos, $(awk -v t="$total" 'BEGIN {printf "%.1f", t / 1e6}') MB in all"

# The sink must not be the limit: curl to the storing service, then to the discarding one.
start_service "$work/svc-store" --keepalive-max 1000000
write_config "$work/photos" "$port" "$work/curl.cfg"
t0=$(now); curl -s -K "$work/curl.cfg"; t1=$(now)
stop_service
store_wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN {print b - a}')
rm -rf "$work/svc-store"
run_curl "$work/photos" sinkcheck
awk -v s="$store_wall" -v d="${result%% *}" -v n="$photos" 'BEGIN {
  printf "sink check, curl alone: storing service %.2f s (%.1f ms/photo), --discard %.2f s (%.1f ms/photo)\n", s, 1000 * s / n, d, 1000 * d / n }'

compare "$work/photos" "$photos" "$runs" loopback

if ((paced_runs > 0)); then
  echo "sink reading at $paced_rate bytes/s, $paced_photos photos..."
  make_photos "$work/paced" "$paced_photos"
  compare "$work/paced" "$paced_photos" "$paced_runs" paced --read-rate "$paced_rate"
fi

if ((large_mib > 0)); then
  echo "one photo with a $large_mib MiB movie (bench/large_item.sh)..."
  KIVO_BENCH_BUILD=$build bench/large_item.sh "$large_mib"
fi

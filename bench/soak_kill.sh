#!/usr/bin/env bash
# Random-kill soak: the program is killed (SIGKILL) at random moments while it scans, sends and
# files photos, and started again on the same folders, as after a crash or a power cut. After
# every kill each photo and companion movie must still be whole somewhere; once the program has
# been left to finish, whole in exactly one place, with no partial copies left anywhere.
# Usage: bench/soak_kill.sh [kills=1000]   (more settings by environment: bench/README.md)
set -euo pipefail
cd "$(dirname "$0")/.."
kills=${1:-${KILLS:-1000}}
photos=${SOAK_PHOTOS:-400}
min_ms=${SOAK_MIN_MS:-20}
max_ms=${SOAK_MAX_MS:-1500}
long_every=${SOAK_LONG_EVERY:-8}
long_ms=${SOAK_LONG_MS:-4000}
aim_every=${SOAK_AIM_EVERY:-4}
end_wait=${SOAK_END_WAIT:-600}
seed=${SOAK_SEED:-$RANDOM}
mirror_base=${SOAK_MIRROR_BASE:-/dev/shm}
evidence=${SOAK_EVIDENCE:-/var/tmp/kivo-soak-evidence-$(date +%Y%m%d-%H%M%S)}
for v in kills photos min_ms max_ms long_every long_ms aim_every end_wait seed; do
  [[ ${!v} =~ ^[0-9]+$ ]] ||
    { echo "soak_kill: $v must be a whole number, not '${!v}'" >&2; exit 2; }
done
if (( kills < 1 || photos < 8 || max_ms < min_ms || max_ms > 30000 || seed > 32767 )); then
  echo "soak_kill: need kills >= 1, SOAK_PHOTOS >= 8, SOAK_MIN_MS <= SOAK_MAX_MS <= 30000," \
       "SOAK_SEED <= 32767" >&2
  exit 2
fi
(( long_ms >= max_ms )) || long_ms=$max_ms

targets=relaunch
jobs=${KIVO_BUILD_JOBS:-2}
name=soak
source bench/common.sh
rmdir "$work/mirror"
logdir="$XDG_STATE_HOME/Kivo"

# Kills can leave the program's relaunch helper or a relaunched copy behind: they go by pid.
strays=0
end_strays() {
  local f p found
  for _ in $(seq 20); do
    found=0
    for f in $(grep -lsaF -e "$work" /proc/[0-9]*/cmdline 2>/dev/null || true); do
      p=${f#/proc/}
      p=${p%/cmdline}
      [[ $p != "$$" && " ${pids[*]} " != *" $p "* ]] || continue
      grep -qaF KivoUploader "$f" 2>/dev/null || continue
      kill -KILL "$p" 2>/dev/null && found=1 strays=$((strays + 1))
    done
    ((found)) || return 0
    sleep 0.1
  done
}

# The mirror goes on another file system, so that filing is a copy, a rename of the copy and
# then the removal of the original, with windows in between for a kill to land in.
files=""
if [ -d "$mirror_base" ] && [ -w "$mirror_base" ]; then
  files=$(mktemp -d "$mirror_base/kivo-soak-XXXXXX")
else
  echo "warning: $mirror_base is missing; the mirror goes beside the source" >&2
fi
app=""
cleanup() {
  [ -z "$app" ] || kill -KILL "$app" 2>/dev/null || true
  end_strays
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ "${SOAK_KEEP:-0}" = 1 ]; then
    echo "kept: $work ${files:-}"
  else
    rm -rf "$work" ${files:+"$files"}
  fi
}
trap cleanup EXIT
[ -n "$files" ] || files="$work/filed"
mirror="$files/mirror"
problem="$files/Problem Folder"
source_dir="$work/source"
mkdir -p "$mirror" "$source_dir"
if [ "$(stat -c %d "$source_dir")" = "$(stat -c %d "$mirror")" ]; then
  echo "warning: the mirror folder is on the source's file system; filing is a plain rename" >&2
fi

# A photo pool made once; every photo put in the source folder is a copy of one of them
# under a name never used before. A quarter are 12-megapixel photos of about 4.4 MB.
echo "making a pool of $photos photos..."
large=$(((photos + 3) / 4))
"$build/kivo-make-hotfolder" "$work/pool/large" --clients 1 --photos "$large" --movies 0 --stray 0 \
  --png-every 0 --width 4000 --height 3000 --noise 60 >/dev/null
"$build/kivo-make-hotfolder" "$work/pool/medium" --clients 1 --photos $((photos - large)) \
  --movies 0 --stray 0 --png-every 0 --width 2000 --height 1500 --noise 40 >/dev/null
mapfile -t big < <(find "$work/pool/large" -type f -name '*.jpg' | sort)
mapfile -t small < <(find "$work/pool/medium" -type f -name '*.jpg' | sort)
pool=()
b=0 s=0
for ((i = 0; i < photos; i++)); do
  if ((i % 4 == 0)); then
    pool+=("${big[b]}") b=$((b + 1))
  else
    pool+=("${small[s]}") s=$((s + 1))
  fi
done
declare -A pool_sum=()
while IFS= read -r line; do pool_sum[${line:66}]=${line:0:64}; done \
  < <(printf '%s\0' "${pool[@]}" | xargs -0 sha256sum)

clients=(Smith Garcia Nakamura Okafor Novak Larsen Moreau Silva)
for c in "${clients[@]}"; do mkdir -p "$source_dir/$c"; done
declare -A want=()  # relative path of every photo or movie still followed -> its sha256
serial=0 made_photos=0 made_movies=0
# add_items N: N new photos, every third with a movie of 0.2 to 3 MB beside it.
add_items() {
  local n=$1 i src rel mov sum
  for ((i = 0; i < n; i++)); do
    serial=$((serial + 1))
    src=${pool[(serial - 1) % ${#pool[@]}]}
    printf -v rel '%s/IMG_%06d.jpg' "${clients[serial % ${#clients[@]}]}" "$serial"
    cp "$src" "$source_dir/$rel"
    want[$rel]=${pool_sum[$src]}
    made_photos=$((made_photos + 1))
    if ((serial % 3 == 0)); then
      mov=${rel%.jpg}.mov
      head -c $((200000 + (RANDOM * 32768 + RANDOM) % 2800000)) /dev/urandom >"$source_dir/$mov"
      sum=$(sha256sum <"$source_dir/$mov")
      want[$mov]=${sum%% *}
      made_movies=$((made_movies + 1))
    fi
  done
}
add_items "$photos"
sync

# Refusals and slow answers by name (the first matching fault wins): a few photos get HTTP 500
# (filed after the program's 2 s pause), a tenth a "Warning" refusal (filed at once), another
# tenth their answer half a second late, so that kills land while a request is out.
start_service "$work/service" \
  --fault 'kind=http&code=500&match=250.jpg&count=0' \
  --fault 'kind=status&status=Warning&message=Refused by the soak&match=7.jpg&count=0' \
  --fault 'kind=delay&ms=500&match=5.jpg&count=0'
service_url="http://127.0.0.1:$port/upload"

# start_app LABEL: the program on the source folder with the settings the end-to-end tests use;
# also notes where its lines will start in the day's log.
run_log_file="" run_log_offset=0
newest_log() {
  local f last=""
  for f in "$logdir"/KivoUploader_*.log; do [ -e "$f" ] && last=$f; done
  printf '%s' "$last"
}
start_app() {
  run_log_file=$(newest_log)
  run_log_offset=0
  [ -z "$run_log_file" ] || run_log_offset=$(stat -c %s "$run_log_file")
  printf '=== %s\n' "$1" >>"$work/console.txt"
  QT_QPA_PLATFORM=offscreen "$build/KivoUploader" -platform offscreen \
    -prefLocalSourceUploadFolder "$source_dir" -prefLocalMasterMirrorSiteFolder "$mirror" \
    -userLoginName demo -userLoginPassword secret -userEnteredEventName Soak \
    -prefGlvURL "$service_url" -prefAutoSynchronize NO -prefUploadMovie NO \
    "$source_dir" >>"$work/console.txt" 2>&1 &
  app=$!
}
# Whether the program started last still runs (not merely waits to be reaped).
alive() {
  local state=""
  { read -r _ _ state _ <"/proc/$app/stat"; } 2>/dev/null || return 1
  [ "$state" != Z ]
}
# The log lines of the run started last.
run_log() {
  local f
  f=$(newest_log)
  [ -n "$f" ] || return 0
  if [ "$f" = "$run_log_file" ]; then tail -c +$((run_log_offset + 1)) "$f"; else cat "$f"; fi
}
# Where a kill landed: the run's last log line without its time, process and paths.
last_step() {
  local line
  line=$(run_log | grep -a -v '^[[:space:]]*$' | tail -n 1 || true)
  [ -n "$line" ] || { echo "(no log line yet)"; return; }
  printf '%s\n' "$line" | sed -E 's/^[0-9-]+ [0-9:.]+ [^ ]*\[[0-9:]+\] //; s/^Inside //;
    s/\[[^]]*\]/[.]/g; s/[0-9]+/N/g' | cut -c1-72
}

# check [retire]: where every followed item is whole now. Sets now_* and adds to the totals. With
# "retire", items whole in exactly one filed place (and nowhere else) are deleted there and no
# longer followed, which keeps the mirror small; nothing can bring them back.
declare -A sig_of=() sum_of=() lost=() seen_temp=() whole=() where=() damaged=()
filed_mirror=0 filed_problem=0 filed_movies=0
now_in_source=0 now_multi=0 now_temps=0 now_damaged=0 now_unknown=0 now_lost=()
check() {
  local tree rel size mt ct ino path name key sig line i partner
  local -a keys=() paths=() trees=() need=()
  whole=() where=() damaged=()
  now_temps=0 now_unknown=0 now_multi=0 now_damaged=0 now_in_source=0 now_lost=()
  : >"$work/unknown.txt"
  : >"$work/damaged.txt"
  while IFS=$'\t' read -r tree rel size mt ct ino; do
    case $tree in
      S) path="$source_dir/$rel" ;;
      M) path="$mirror/$rel" ;;
      *) path="$problem/$rel" ;;
    esac
    name=${rel##*/}
    if [[ $name == .kivo-move-* ]]; then
      now_temps=$((now_temps + 1))
      seen_temp[$path]=1
      continue
    fi
    key=$rel
    # A refused item whose name was taken is filed as "<name> yyyyMMdd_HHmmss[-n].<ext>".
    if [[ $tree == P && $name =~ ^(.+)\ [0-9]{8}_[0-9]{6}(-[0-9]+)?(\.[^.]+)$ ]]; then
      key="${BASH_REMATCH[1]}${BASH_REMATCH[3]}"
      [[ $rel != */* ]] || key="${rel%/*}/$key"
    fi
    if [ -z "${want[$key]+x}" ]; then
      now_unknown=$((now_unknown + 1))
      printf '%s\n' "$path" >>"$work/unknown.txt"
      continue
    fi
    keys+=("$key") paths+=("$path") trees+=("$tree")
    sig="$size/$mt/$ct/$ino"
    if [ "${sig_of[$path]-}" != "$sig" ]; then
      sig_of[$path]=$sig
      need+=("$path")
    fi
  done < <(find "$source_dir" -type f -printf 'S\t%P\t%s\t%T@\t%C@\t%i\n'
           find "$mirror" -type f -printf 'M\t%P\t%s\t%T@\t%C@\t%i\n'
           [ ! -d "$problem" ] || find "$problem" -type f -printf 'P\t%P\t%s\t%T@\t%C@\t%i\n')
  if ((${#need[@]})); then
    while IFS= read -r line; do sum_of[${line:66}]=${line:0:64}; done \
      < <(printf '%s\0' "${need[@]}" | xargs -0 sha256sum)
  fi
  for i in "${!keys[@]}"; do
    key=${keys[i]}
    if [ "${sum_of[${paths[i]}]-}" = "${want[$key]}" ]; then
      whole[$key]=$((${whole[$key]:-0} + 1))
      where[$key]="${where[$key]-}${trees[i]}"
      [ "${trees[i]}" != S ] || [[ $key != *.jpg ]] || now_in_source=$((now_in_source + 1))
    else
      damaged[$key]=1
      now_damaged=$((now_damaged + 1))
      printf '%s\n' "${paths[i]}" >>"$work/damaged.txt"
    fi
  done
  for key in "${!want[@]}"; do
    case ${whole[$key]:-0} in
      0)
        now_lost+=("$key")
        lost[$key]=$kill
        unset "want[$key]"
        ;;
      1) ;;
      *) now_multi=$((now_multi + 1)) ;;
    esac
  done
  [ "${1:-}" = retire ] || return 0
  local -A settled=()
  for key in "${!want[@]}"; do
    [ "${whole[$key]:-0}" = 1 ] && [ "${where[$key]}" != S ] && [ -z "${damaged[$key]-}" ] &&
      settled[$key]=1
  done
  # A photo and its movie go together: the program may still look for one to finish the other.
  for i in "${!keys[@]}"; do
    key=${keys[i]}
    [ -n "${settled[$key]-}" ] || continue
    if [[ $key == *.jpg ]]; then partner=${key%.jpg}.mov; else partner=${key%.mov}.jpg; fi
    [ -z "${want[$partner]+x}" ] || [ -n "${settled[$partner]-}" ] || continue
    rm -f "${paths[i]}"
    unset "want[$key]" "sig_of[${paths[i]}]" "sum_of[${paths[i]}]"
    if [[ $key == *.mov ]]; then
      filed_movies=$((filed_movies + 1))
    elif [ "${where[$key]}" = M ]; then
      filed_mirror=$((filed_mirror + 1))
    else
      filed_problem=$((filed_problem + 1))
    fi
  done
}

# snapshot LABEL: what is needed to see how items went missing or stayed behind, kept after the
# run in $evidence/LABEL.
snapshot() {
  local d="$evidence/$1" key name
  shift
  mkdir -p "$d"
  echo "# whole in: S source, M mirror, P problem folder"
  for key in "$@"; do
    printf '%s\twhole in: %s\n' "$key" "${where[$key]:-nowhere}${damaged[$key]:+, damaged copy}"
  done >"$d/items.txt"
  find "$source_dir" "$mirror" "$problem" -printf '%p\t%s\t%TY-%Tm-%Td %TT\n' \
    >"$d/listing.txt" 2>/dev/null || true
  cp "$work/kills.csv" "$work/service/requests.log" "$d/" 2>/dev/null || true
  [ ! -f "$work/damaged.txt" ] || cp "$work/damaged.txt" "$d/"
  run_log >"$d/last-run.log"
  # The lines naming the first items (the name without its extension covers photo and movie).
  for key in "${@:1:20}"; do
    name=${key##*/}
    echo "== $key"
    grep -ahF -e "${name%.*}" "$logdir"/*.log "$work/service/requests.log" 2>/dev/null || true
  done >"$d/mentions.txt"
  echo "  evidence kept in $d"
}

# aim_at N MS JITTER: waits until the run has begun filing its Nth item, then JITTER ms more (at
# most MS in all). Filing takes a few milliseconds of each item, so random sleeps alone seldom
# land a kill inside it; following the log (inotify) sees the line within about a millisecond.
# (grep writes to a file: with its output on /dev/null, -m N above 1 waits on.)
aim_at() {
  local limit
  printf -v limit '%d.%03d' $(($2 / 1000)) $(($2 % 1000))
  if [ -z "$run_log_file" ]; then
    sleep "$limit"
    return 0
  fi
  timeout "$limit" grep -a -m "$1" -e "AppController => handleNotification_UploadSuccess:" \
    -e "AppController => handleNotification_UploadFail:" \
    < <(tail --pid="$app" -c +$((run_log_offset + 1)) -f "$run_log_file" 2>/dev/null) \
    >"$work/aimed.txt" || true
  (($3 == 0)) || sleep "0.00$3"
}

# The kill loop.
echo "kills: $kills, photos: $photos in the source at a time (copies of the pool), seed $seed"
echo "source $source_dir, mirror $mirror"
RANDOM=$seed
echo "kill,aimed_at,ran_ms,ended_by_itself,in_source,filed,in_two_places,temporary,damaged,\
lost,step" >"$work/kills.csv"
kills_multi=0 max_multi=0 kills_temps=0 kills_damaged=0 early=0 aimed_kills=0
last_filed=0 stalled_since=0 stall_warned=0
report_every=$(((kills + 49) / 50))
declare -A steps=()
loop_start=$SECONDS
for ((kill = 1; kill <= kills; kill++)); do
  if ((long_every > 0 && RANDOM % long_every == 0)); then
    ms=$((max_ms + RANDOM % (long_ms - max_ms + 1)))
  else
    ms=$((min_ms + RANDOM % (max_ms - min_ms + 1)))
  fi
  aimed=0
  if ((aim_every > 0 && RANDOM % aim_every == 0)); then
    aimed=$((1 + RANDOM % 3)) ms=$long_ms
    aimed_kills=$((aimed_kills + 1))
  fi
  start_app "kill $kill"
  started=${EPOCHREALTIME//[.,]/}
  if ((aimed)); then
    aim_at "$aimed" "$ms" $((RANDOM % 6))
  else
    printf -v pause '%d.%03d' $((ms / 1000)) $((ms % 1000))
    sleep "$pause"
  fi
  kill -KILL "$app" 2>/dev/null || true
  ran_ms=$(((${EPOCHREALTIME//[.,]/} - started) / 1000))
  rc=0
  wait "$app" 2>/dev/null || rc=$?
  app=""
  ended=0
  step=$(last_step)
  if ((rc != 137)); then
    ended=1
    step="ended by itself (exit $rc): $step"
    early=$((early + 1))
  fi
  end_strays
  steps[$step]=$((${steps[$step]:-0} + 1))

  check retire
  filed=$((filed_mirror + filed_problem))
  ((now_multi == 0)) || kills_multi=$((kills_multi + 1))
  ((now_multi <= max_multi)) || max_multi=$now_multi
  ((now_temps == 0)) || kills_temps=$((kills_temps + 1))
  ((now_damaged == 0)) || kills_damaged=$((kills_damaged + 1))
  printf '%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,"%s"\n' "$kill" "$aimed" "$ran_ms" "$ended" \
    "$now_in_source" "$filed" "$now_multi" "$now_temps" "$now_damaged" "${#lost[@]}" \
    "${step//\"/\'}" >>"$work/kills.csv"
  if ((${#now_lost[@]})); then
    echo "kill $kill: LOST $(printf '%s ' "${now_lost[@]}")"
    snapshot "lost-at-kill-$kill" "${now_lost[@]}"
  fi
  if ((filed > last_filed)); then
    last_filed=$filed stalled_since=$kill
  elif ((kill - stalled_since >= 50 && !stall_warned)); then
    echo "kill $kill: nothing filed over the last 50 kills; last step: $step"
    stall_warned=1
  fi
  if ((kill % report_every == 0 || kill == kills)); then
    printf 'kill %d/%d: filed %d (mirror %d, problem folder %d), %d in the source; ' \
      "$kill" "$kills" "$filed" "$filed_mirror" "$filed_problem" "$now_in_source"
    printf 'now %d in 2+ places, %d temporary, %d damaged; LOST so far %d\n' \
      "$now_multi" "$now_temps" "$now_damaged" "${#lost[@]}"
  fi
  # Keep the source folder stocked so that every kill finds work to interrupt.
  ((kill == kills || now_in_source >= photos / 2)) || add_items $((photos - now_in_source))
done
loop_time=$((SECONDS - loop_start))

# The end: the program is left to finish, restarted (bounded) should it stop short.
echo "letting the program finish..."
end_start=$SECONDS
restarts=0 early_end=0 finished=0
left_photos() { find "$source_dir" -type f -name '*.jpg' | wc -l; }
while ((SECONDS - end_start < end_wait)); do
  start_app "end, start $((restarts + 1))"
  before=$(left_photos) moved_at=$SECONDS
  while ((SECONDS - end_start < end_wait)); do
    alive || { early_end=$((early_end + 1)); break; }
    now=$(left_photos)
    done_lines=$(run_log | grep -ac "Scanning done - NO File found" || true)
    if ((now == 0 && done_lines > 0)); then
      # A movie follows its photo within moments; the pass then ends with this line.
      sleep 2
      finished=1
      break
    fi
    ((now == before)) || before=$now moved_at=$SECONDS
    ((SECONDS - moved_at < 60)) || break
    sleep 0.5
  done
  ((finished)) && break
  restarts=$((restarts + 1))
  if alive; then
    kill -TERM "$app"
    for _ in $(seq 100); do alive || break; sleep 0.1; done
  fi
  kill -KILL "$app" 2>/dev/null || true
  wait "$app" 2>/dev/null || true
  app=""
  ((restarts <= 3)) || break
done
term_ok=1 term_rc=0
if [ -n "$app" ]; then
  kill -TERM "$app" 2>/dev/null || true
  for _ in $(seq 200); do alive || break; sleep 0.1; done
  if alive; then term_ok=0; kill -KILL "$app" 2>/dev/null || true; fi
  term_rc=0
  wait "$app" 2>/dev/null || term_rc=$?
  app=""
fi
end_strays
end_time=$((SECONDS - end_start))

kill=$((kills + 1))
check retire
filed=$((filed_mirror + filed_problem))
left=$(left_photos)
left_movies=$(find "$source_dir" -type f -name '*.mov' | wc -l)
unreadable=$(find "$XDG_CONFIG_HOME" -name '*.unreadable-*' | wc -l)
# Half-written state files (a save goes to "<name>.XXXXXX" first) that kills left behind.
mapfile -t state_temps < <(find "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" -type f \
  -regextype posix-extended -regex '.*\.[A-Za-z0-9]{6}' -printf '%P\n')
journal_lost=$(cat "$logdir"/*.log | grep -ac "waiting to be filed .* could not be read" || true)
swept=$(cat "$logdir"/*.log | sed -n 's/.*Removed \([0-9]*\) unfinished cop.*/\1/p' |
  awk '{ s += $1 } END { print s + 0 }')
read -r requests unique_requested stored unique_stored < <(awk '
  { c = f = ""
    if (match($0, /"client":"[^"]*"/)) c = substr($0, RSTART + 10, RLENGTH - 11)
    if (match($0, /"file":"[^"]*"/)) f = substr($0, RSTART + 8, RLENGTH - 9)
    k = c "/" f; n++; if (!(k in all)) { all[k] = 1; ua++ }
    if ($0 ~ /"dir":"/) { ns++; if (!(k in kept)) { kept[k] = 1; us++ } } }
  END { printf "%d %d %d %d\n", n, ua, ns, us }' "$work/service/requests.log")
duplicates=$((stored - unique_stored))

failed=0
((${#lost[@]} + now_multi + now_temps + now_damaged + left + left_movies == 0)) || failed=1
done_text="the program was done"
((finished)) || done_text="the program did not finish"
stop_text="yes, exit $term_rc"
((term_ok)) || stop_text="NO"

# shellcheck disable=SC2059 # each row passes its own format
row() { printf '  %-28s ' "$1"; shift; printf "$@"; echo; }
echo
echo "== Random-kill soak"
row "kills:" '%d, %d aimed at filing (sleeps %d-%d ms, 1 in %d up to %d ms; seed %d)' "$kills" \
  "$aimed_kills" "$min_ms" "$max_ms" "$long_every" "$long_ms" "$seed"
row "photos:" '%d (%d with a movie)' "$made_photos" "$made_movies"
row "filed:" '%d in the mirror, %d in the problem folder; %d movies' \
  "$filed_mirror" "$filed_problem" "$filed_movies"
row "LOST (whole nowhere):" '%d (goal 0)' "${#lost[@]}"
row "in 2+ places at the end:" '%d (goal 0)' "$now_multi"
row "leftovers at the end:" '%d temporary files, %d damaged copies (goal 0)' \
  "$now_temps" "$now_damaged"
row "not filed at the end:" '%d photos, %d movies in the source (goal 0; %s)' \
  "$left" "$left_movies" "$done_text"
row "right after a kill:" 'items in 2+ places after %d kills (at most %d at once),' \
  "$kills_multi" "$max_multi"
row "" 'temporary files after %d kills (%d different), damaged copies after %d' \
  "$kills_temps" "${#seen_temp[@]}" "$kills_damaged"
row "service:" '%d requests (%d repeats); %d stored, %d of them duplicates (%s per kill)' \
  "$requests" "$((requests - unique_requested))" "$stored" "$duplicates" \
  "$(awk -v d="$duplicates" -v k="$kills" 'BEGIN { printf "%.3f", d / k }')"
row "runs ended by themselves:" '%d between kills, %d at the end; restarts to finish: %d' \
  "$early" "$early_end" "$restarts"
row "stray processes ended:" '%d; stopped on SIGTERM: %s' "$strays" "$stop_text"
row "state set aside as damaged:" 'settings %d times, list of items waiting to be filed %d times' \
  "$unreadable" "$journal_lost"
row "swept by the program:" '%d temporary files removed at start (from its log)' "$swept"
row "state files half-written:" '%d left in the settings and state folders %s' \
  "${#state_temps[@]}" "${state_temps[*]:0:3}"
row "unknown files:" '%d in the source, mirror and problem folders' "$now_unknown"
row "wall time:" '%d s (setup %d s, kills %d s, finishing %d s)' \
  "$SECONDS" "$loop_start" "$loop_time" "$end_time"
echo "  where the kills landed (the run's last log line):"
for step in "${!steps[@]}"; do printf '%8d  %s\n' "${steps[$step]}" "$step"; done |
  sort -rn | sed -n 1,12p
if ((failed)); then
  mapfile -t stuck < <(printf '%s\n' "${!lost[@]}" "${!want[@]}" | sed '/^$/d' | sort -u)
  snapshot end "${stuck[@]}"
  cp "$work/console.txt" "$work/unknown.txt" "$evidence/end/" 2>/dev/null || true
  tail -c 20000000 "$(newest_log)" >"$evidence/end/tail-of-log.log" 2>/dev/null || true
  echo "FAILED"
  exit 1
fi
echo "OK"

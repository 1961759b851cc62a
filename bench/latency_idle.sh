#!/usr/bin/env bash
# Latency from a photo appearing in the source folder to the start of its upload (the
# program watching, the retrigger timer off), over N trials; then the processor time an idle
# program uses over 60 seconds.  Usage: bench/latency_idle.sh [trials=50] [idle-seconds=60]
set -euo pipefail
cd "$(dirname "$0")/.."
trials=${1:-50}
idle=${2:-60}
targets=relaunch
name=latency
source bench/common.sh

# Photos of a usual size, made beforehand on the same file system and moved in one by one.
"$build/kivo-make-hotfolder" "$work/staging" --clients 1 --photos "$trials" --movies 0 --stray 0 \
  --png-every 0 --width 2000 --height 1500 --noise 30 >/dev/null
"$build/kivo-make-hotfolder" "$work/source" --clients 1 --photos 1 --movies 0 --stray 0 --png-every 0 >/dev/null
client=$(ls "$work/staging")
mkdir -p "$work/source/$client"

start_service "$work/service"
start_uploader "$port"
until log | grep -q "Scanning done - NO File found"; do sleep 0.05; done
sleep 2 # the watcher is up

: >"$work/latencies"
for f in $(cd "$work/staging/$client" && ls | sort); do
  before=$(log | grep -c "doRunHttpUploaderWithInfo:" || true)
  t0=$(date +%H:%M:%S.%N)
  mv "$work/staging/$client/$f" "$work/source/$client/$f"
  until [ "$(log | grep -c "doRunHttpUploaderWithInfo:" || true)" -gt "$before" ]; do sleep 0.005; done
  t1=$(log | grep "doRunHttpUploaderWithInfo:" | tail -1 | awk '{print $2}')
  echo "$t0 $t1" | awk '{ split($1, a, ":"); split($2, b, ":");
    printf "%.3f\n", (b[1]*3600 + b[2]*60 + b[3]) - (a[1]*3600 + a[2]*60 + a[3]) }' >>"$work/latencies"
  until [ -f "$work/mirror/$client/$f" ]; do sleep 0.01; done
  sleep 0.2
done
sort -n "$work/latencies" | awk '{ v[NR] = $1 } END {
  p95 = v[int(0.95 * NR + 0.999)]
  printf "latency, photo appears -> upload starts (%d trials): median %.3f s, 95th percentile %.3f s, max %.3f s\n",
         NR, v[int((NR + 1) / 2)], p95, v[NR] }'

# Idle: no photos arriving, the watcher waiting.
sleep 2
ticks=$(getconf CLK_TCK)
cpu() { awk '{ print $14 + $15 }' "/proc/$app/stat"; }
c0=$(cpu)
sleep "$idle"
c1=$(cpu)
awk -v a="$c0" -v b="$c1" -v t="$ticks" -v s="$idle" \
  'BEGIN { printf "idle: %.3f s of processor time over %d s\n", (b - a) / t, s }'

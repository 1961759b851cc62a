#!/usr/bin/env bash
# One photo with a large companion movie (default 1 GiB) through the whole program to the
# reference service on loopback, against one curl sending the same form from the same files.
# Prints wall time, processor time and peak memory (VmHWM) of both: the program's memory must
# not grow with the item (goal: under 100 MiB for a 1 GiB movie).
# Usage: bench/large_item.sh [movie-MiB=1024]   (builds a Release tree in build-bench/)
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-1024}
[[ $mib =~ ^[0-9]+$ ]] && ((mib > 0)) || { echo "large_item: movie size in MiB, not '$mib'" >&2; exit 2; }
targets=""
name=large
source bench/common.sh

"$build/kivo-make-hotfolder" "$work/source" --clients 1 --photos 1 --movies 0 --stray 0 \
  --png-every 0 >/dev/null
photo=$(find "$work/source" -type f -name '*.jpg' | head -1)
movie="${photo%.*}.mov"
# Real blocks, not a sparse file: the disk and the page cache do their share as in real use.
head -c "$((mib * 1048576))" /dev/urandom >"$movie"
sync
client=$(basename "$(dirname "$photo")")
max_body=$(( (mib + 64) * 1048576 ))

now() { date +%s.%N; }
# utime + stime of a process, in seconds.
cpu_of() { awk -v hz="$(getconf CLK_TCK)" '{print ($14 + $15) / hz}' "/proc/$1/stat"; }

start_service "$work/service-curl" --max-body "$max_body"
t0=$(now)
curl -s -o /dev/null -H "Expect:" \
  -F username=demo -F password=secret -F event=Bench -F "client=$client" \
  -F "capturetime=2026-12-05 10:00:00" -F metadata= -F fuseaction=upload.upload -F Submit=Upload \
  -F "imgfile=@$photo;type=image/jpeg" -F "vidfile=@$movie;type=video/quicktime" \
  -w '%{http_code}\n' "http://127.0.0.1:$port/upload" >"$work/curl.code" &
curl_pid=$!
curl_peak=0
while kill -0 "$curl_pid" 2>/dev/null; do
  p=$(awk '/VmHWM/ {print $2}' "/proc/$curl_pid/status" 2>/dev/null || echo 0)
  ((p > curl_peak)) && curl_peak=$p
  curl_cpu=$(cpu_of "$curl_pid" 2>/dev/null || echo "${curl_cpu:-0}")
  sleep 0.05
done
wait "$curl_pid"
t1=$(now)

start_service "$work/service-app" --max-body "$max_body"
t2=$(now)
start_uploader "$port" -prefUploadMovie YES
until log | grep -q "Scanning done - NO File found"; do
  kill -0 "$app" 2>/dev/null || { echo "KivoUploader ended early"; tail "$work/console.txt"; exit 1; }
  sleep 0.05
done
t3=$(now)
app_peak=$(awk '/VmHWM/ {print $2}' "/proc/$app/status")
app_cpu=$(cpu_of "$app")
kill -TERM "$app"; wait "$app" || true
received=$(find "$work/service-app/received" -name '*.mov' -size "+$((mib * 1024 - 1))k" | wc -l)

awk -v mib="$mib" -v c0="$t0" -v c1="$t1" -v a0="$t2" -v a1="$t3" -v cp="$curl_peak" \
    -v ap="$app_peak" -v cc="$curl_cpu" -v ac="$app_cpu" -v got="$received" 'BEGIN {
  curl = c1 - c0; app = a1 - a0
  printf "movie: %d MiB (received whole by the service: %s)\n", mib, got == 1 ? "yes" : "NO"
  printf "curl:          %.2f s wall, %.2f s processor, peak %.1f MiB\n", curl, cc, cp / 1024
  printf "KivoUploader:  %.2f s wall, %.2f s processor, peak %.1f MiB (goal: under 100 MiB)\n", app, ac, ap / 1024
  printf "ratio (KivoUploader / curl), wall: %.2f\n", app / curl
}'

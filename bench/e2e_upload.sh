#!/usr/bin/env bash
# End to end: N photos of about 4 MB in 10 client folders through the whole program to the
# reference service on loopback, against curl sending the same multipart uploads one after
# another (one curl process, one connection after another) to the same service.
# Usage: bench/e2e_upload.sh [photos=300]   (builds a Release tree in build-bench/)
set -euo pipefail
cd "$(dirname "$0")/.."
photos=${1:-300}
targets=""
name=e2e
source bench/common.sh

echo "making $photos photos..."
"$build/kivo-make-hotfolder" "$work/source" --clients 10 --photos "$photos" --movies 0 --stray 0 \
  --png-every 0 --width 4000 --height 3000 --noise 60
largest=$(find "$work/source" -type f -printf '%s\n' | sort -n | tail -1)
total=$(find "$work/source" -type f -printf '%s\n' | awk '{s+=$1} END {print s}')
sync

now() { date +%s.%N; }

# curl: the same form fields and file part, one request after another.
start_service "$work/service-curl" --keepalive-max 1000000
config="$work/curl.cfg"
write_config "$work/source" "$port" "$config"
t0=$(now)
curl -s -K "$config"
t1=$(now)
curl_count=$(wc -l <"$work/service-curl/requests.log")

# The program: from launch until it has found nothing more to upload.
start_service "$work/service-app" --keepalive-max 1000000
t2=$(now)
# ${KIVO_BENCH_SETTINGS} adds settings, e.g. "-prefShowPreviewWhenUploading NO".
# shellcheck disable=SC2086
start_uploader "$port" ${KIVO_BENCH_SETTINGS:-}
until log | grep -q "Scanning done - NO File found"; do
  kill -0 "$app" 2>/dev/null || { echo "KivoUploader ended early"; tail "$work/console.txt"; exit 1; }
  sleep 0.02
done
t3=$(now)
peak_kb=$(awk '/VmHWM/ {print $2}' "/proc/$app/status")
cpu_ticks=$(awk '{print $14 + $15}' "/proc/$app/stat")
kill -TERM "$app"; wait "$app" || true
app_count=$(wc -l <"$work/service-app/requests.log")
mirrored=$(find "$work/mirror" -type f | wc -l)

awk -v n="$photos" -v c0="$t0" -v c1="$t1" -v a0="$t2" -v a1="$t3" -v cc="$curl_count" \
    -v ac="$app_count" -v m="$mirrored" -v big="$largest" -v tot="$total" -v peak="$peak_kb" \
    -v cpu="$cpu_ticks" -v hz="$(getconf CLK_TCK)" 'BEGIN {
  curl = c1 - c0; app = a1 - a0
  printf "photos: %d, %.1f MB in all, largest %.2f MB\n", n, tot / 1e6, big / 1e6
  printf "curl, serial:   %.2f s for %d uploads (%.1f ms each)\n", curl, cc, 1000 * curl / cc
  printf "KivoUploader:   %.2f s for %d uploads, %d filed in the mirror folder (%.1f ms each)\n", app, ac, m, 1000 * app / ac
  printf "ratio (KivoUploader / curl): %.2f\n", app / curl
  printf "overhead per item: %.1f ms\n", 1000 * (app - curl) / n
  printf "processor time of KivoUploader: %.2f s (%.1f ms per photo)\n", cpu / hz, 1000 * cpu / hz / n
  printf "peak memory: %.1f MiB (goal: under 3 x largest + 80 MB = %.1f MiB)\n", peak / 1024, (3 * big + 80e6) / 1048576
}'

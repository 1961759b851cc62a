#!/usr/bin/env bash
# The old-photo sweep over mirrored 12-megapixel JPEGs (default 5,000: hard links to 50 distinct
# photos, so the disk holds about 220 MB instead of 22 GB). First bench_old_photo_sweep with each
# check (the sweep's stream check, the 1/8-scale decode, a full-size decode; every photo old, so
# every one is checked and deleted; then the stream check with every photo young), then the
# whole program with its clock moved 40 days ahead (libfaketime): its sweep time, processor time
# and peak memory (VmHWM).
# Usage: bench/old_photo_sweep.sh [files=5000] [distinct=50]   (Release tree in $KIVO_BENCH_BUILD,
# default build-bench/; photos in $KIVO_BENCH_DIR, default /var/tmp)
set -euo pipefail
cd "$(dirname "$0")/.."
files=${1:-5000}
distinct=${2:-50}
[[ $files =~ ^[0-9]+$ && $distinct =~ ^[0-9]+$ ]] && ((files > 0 && distinct > 0)) ||
  { echo "old_photo_sweep: counts, not '$files' '$distinct'" >&2; exit 2; }
faketime_lib=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1
[ -e "$faketime_lib" ] || { echo "old_photo_sweep: libfaketime missing (scripts/install-deps)" >&2; exit 1; }
build=${KIVO_BENCH_BUILD:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIVO_BUILD_BENCH=ON \
  -DKIVO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target bench_old_photo_sweep KivoUploader >/dev/null

work=$(mktemp -d "${KIVO_BENCH_DIR:-/var/tmp}/kivo-sweep-XXXXXX")
app=
trap '[ -n "$app" ] && kill -TERM "$app" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT

"$build/bench_old_photo_sweep" make "$work" "$distinct"
echo "$files photos of $(du -k "$work/pool/IMG_000.jpg" | cut -f1) KiB each (hard links to $distinct)"
for mode in stream eighth full; do
  "$build/bench_old_photo_sweep" "$mode" "$work" "$files" "$distinct" 2>/dev/null
done
"$build/bench_old_photo_sweep" stream "$work" "$files" "$distinct" young 2>/dev/null

# The whole program: a mirror of old photos and nothing to upload.
home=$work/home
mkdir -p "$home/.config" "$home/.local/state" "$work/source" "$work/run"
chmod 700 "$work/run"
for ((i = 0; i < files; i++)); do
  folder=$work/mirror/Client$(printf %03d $((i / 100)))
  ((i % 100 == 0)) && mkdir -p "$folder"
  ln "$work/pool/IMG_$(printf %03d $((i % distinct))).jpg" "$folder/IMG_$(printf %05d "$i").jpg"
done
sync
t0=$(date +%s.%N)
HOME=$home XDG_CONFIG_HOME=$home/.config XDG_STATE_HOME=$home/.local/state \
  XDG_DATA_HOME=$home/.local/share XDG_RUNTIME_DIR=$work/run \
  LD_PRELOAD=$faketime_lib FAKETIME=+40d DONT_FAKE_MONOTONIC=1 \
  "$build/KivoUploader" -platform offscreen -prefLocalSourceUploadFolder "$work/source" \
  -prefLocalMasterMirrorSiteFolder "$work/mirror" -prefAutoSynchronize NO \
  -prefDoUseDeleteOldPhotos YES -prefDaysOldBeforeDeleting 30 -prefDaysToSaveLogs 365 \
  >"$work/console.txt" 2>&1 &
app=$!
until cat "$work/console.txt" "$home"/.local/state/Kivo/*.log 2>/dev/null | grep -q "Old photos in"; do
  kill -0 "$app" 2>/dev/null || { echo "KivoUploader ended early"; tail "$work/console.txt"; exit 1; }
  sleep 0.05
done
t1=$(date +%s.%N)
peak=$(awk '/VmHWM/ {print $2}' "/proc/$app/status")
cpu=$(awk -v hz="$(getconf CLK_TCK)" '{print ($14 + $15) / hz}' "/proc/$app/stat")
line=$(cat "$home"/.local/state/Kivo/*.log | grep -o "Old photos in .*")
kill -TERM "$app"; wait "$app" || true; app=
awk -v t0="$t0" -v t1="$t1" -v files="$files" -v peak="$peak" -v cpu="$cpu" -v line="$line" 'BEGIN {
  sweep = t1 - t0 - 4.0
  printf "KivoUploader: %s\n", line
  printf "KivoUploader: %.1f s from launch (4 s of it the wait before the sweep), sweep about %.1f s, %.0f files/s,\n", t1 - t0, sweep, files / sweep
  printf "              %.1f s processor, peak %.1f MiB\n", cpu, peak / 1024
}'

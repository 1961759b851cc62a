#!/usr/bin/env bash
# check_package.sh <build-dir> <version>: packs the build with CPack into a temporary folder,
# then checks the package's files and fields and runs the program installed from it.
set -euo pipefail
build=$1
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb="$work/out/kivouploader_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $(basename "$deb") in: $(ls "$work/out")"

app=com.quandril.KivoUploader
expected=(
  "-rwxr-xr-x root/root ./usr/bin/KivoUploader"
  "-rwxr-xr-x root/root ./usr/libexec/KivoUploader/relaunch"
  "-rwxr-xr-x root/root ./usr/libexec/KivoUploader/revealInFinder.sh"
  "-rw-r--r-- root/root ./usr/share/applications/$app.desktop"
  "-rw-r--r-- root/root ./usr/share/metainfo/$app.metainfo.xml"
  "-rw-r--r-- root/root ./usr/share/icons/hicolor/scalable/apps/$app.svg"
  "-rw-r--r-- root/root ./usr/lib/systemd/user/kivouploader.service"
  "-rw-r--r-- root/root ./usr/share/doc/kivouploader/examples/kivouploader-autostart.desktop"
)
sizes=(16 22 24 32 48 64 128 256)
for s in "${sizes[@]}"; do
  expected+=("-rw-r--r-- root/root ./usr/share/icons/hicolor/${s}x${s}/apps/$app.png")
done
# Mode, owner and path of each file, sizes and dates left out.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $2, $6}' >"$work/contents"
for line in "${expected[@]}"; do
  grep -qxF -- "$line" "$work/contents" || {
    cat "$work/contents" >&2
    fail "not in the package: $line"
  }
done

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = kivouploader ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
depends=$(field Depends)
# From dpkg-shlibdeps: the libraries the program links.
names=$(tr ',|' '\n\n' <<<"$depends" | sed 's/^ *//; s/ .*//')
for lib in libc6 libqt6core6 libqt6widgets6 libcurl4 libexiv2-27 libplist3; do
  grep -qx "$lib" <<<"$names" || fail "Depends lacks $lib: $depends"
done

root="$work/root"
dpkg -x "$deb" "$root"
for s in "${sizes[@]}"; do
  file "$root/usr/share/icons/hicolor/${s}x${s}/apps/$app.png" |
    grep -q "PNG image data, $s x $s" || fail "icon ${s}x${s} is not a PNG of that size"
done
# The program looks for its helpers in ../libexec/KivoUploader beside its own folder.
[ -x "$root/usr/bin/../libexec/KivoUploader/relaunch" ] || fail "relaunch helper not found"
grep -qx "Exec=KivoUploader %F" "$root/usr/share/applications/$app.desktop" ||
  fail "desktop entry does not start the program"
grep -qx "ExecStart=/usr/bin/KivoUploader -platform offscreen" \
  "$root/usr/lib/systemd/user/kivouploader.service" || fail "unit does not run it offscreen"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$root/usr/share/applications/$app.desktop" ||
    fail "desktop entry invalid"
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net "$root/usr/share/metainfo/$app.metainfo.xml" \
    >"$work/appstream.log" 2>&1 || { cat "$work/appstream.log" >&2; fail "metainfo invalid"; }
fi

# Installed, without a display, it answers and leaves the user's folders alone.
home="$work/home"
mkdir -p "$home"
answer=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM HOME="$home" \
  XDG_CONFIG_HOME="$home/.config" XDG_STATE_HOME="$home/.local/state" \
  XDG_RUNTIME_DIR="$home/run" "$root/usr/bin/KivoUploader" --version) ||
  fail "--version exited with $?"
[ "$answer" = "KivoUploader $version" ] || fail "--version answered: $answer"
[ -z "$(ls -A "$home")" ] || fail "--version wrote into the home folder: $(ls -A "$home")"
echo "package ok: $(basename "$deb"), Depends: $depends"

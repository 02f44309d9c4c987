#!/usr/bin/env bash
# The program as it is installed: `cmake --install` into a temporary prefix puts
# every file in its freedesktop place and the desktop entry and AppStream data
# pass their validators; `cpack -G DEB` makes a package whose dependencies come
# from dpkg-shlibdeps; the package unpacked into a temporary root starts, keeps
# its files in the user's configuration folder, answers on its (private) session
# bus and closes cleanly. Nothing is installed on this machine.
# Usage: install_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
id=io.github.tunewell.Tunewell
work=$(mktemp -d)
bus_pid=""
player_pid=""
cleanup() {
  [ -n "$player_pid" ] && kill -KILL "$player_pid" 2>/dev/null || true
  [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
# Polls a condition (a command) for up to $1 seconds: the machine may be loaded.
wait_for() {
  local seconds=$1
  shift
  for ((i = 0; i < seconds * 10; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/tunewell share/applications/$id.desktop share/metainfo/$id.metainfo.xml \
  share/icons/hicolor/scalable/apps/$id.svg share/tunewell/favorites.cfg; do
  [ -f "$prefix/$file" ] || fail "not installed: $file"
done
for size in 48 128 256; do
  png=$prefix/share/icons/hicolor/${size}x${size}/apps/$id.png
  file "$png" | grep -q "PNG image data, $size x $size" || fail "not a $size px PNG: $png"
done
desktop-file-validate "$prefix/share/applications/$id.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" >/dev/null ||
  fail "AppStream data: $(appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml")"
grep -q "^Icon=$id$" "$prefix/share/applications/$id.desktop" || fail "desktop entry icon"

cpack -G DEB -B "$work/package" --config "$build/CPackConfig.cmake" >/dev/null 2>&1 ||
  fail "cpack: $(cpack -G DEB -B "$work/package" --config "$build/CPackConfig.cmake" 2>&1)"
debs=("$work"/package/tunewell_*.deb)
deb=${debs[0]}
[ -f "$deb" ] || fail "no package"
depends=$(dpkg-deb -f "$deb" Depends)
# Libraries found by dpkg-shlibdeps, and the platform plug-ins Qt loads itself.
for package in libqt6widgets6 libqt6dbus6 libcurl4 libsdl2-2.0-0 libavcodec qt6-qpa-plugins; do
  grep -q "$package" <<<"$depends" || fail "package does not depend on $package: $depends"
done
contents=$(dpkg-deb -c "$deb")
grep -q "\./usr/bin/tunewell$" <<<"$contents" || fail "package lacks /usr/bin/tunewell"

root=$work/root
dpkg-deb -x "$deb" "$root"
mkdir -m 700 "$work/run" "$work/home"
config=$work/home/config
dbus-daemon --session --print-address=3 --nofork 3>"$work/bus" 2>/dev/null &
bus_pid=$!
wait_for 30 test -s "$work/bus" || fail "no session bus"
address=$(head -n1 "$work/bus")

env -u DISPLAY -u WAYLAND_DISPLAY HOME="$work/home" XDG_CONFIG_HOME="$config" \
  XDG_RUNTIME_DIR="$work/run" DBUS_SESSION_BUS_ADDRESS="$address" \
  QT_QPA_PLATFORM=offscreen SDL_AUDIODRIVER=dummy "$root/usr/bin/tunewell" &
player_pid=$!
status() {
  [ "$(DBUS_SESSION_BUS_ADDRESS=$address playerctl -p tunewell status 2>/dev/null)" = Stopped ]
}
# On the bus once the window runs.
wait_for 120 status || fail "the installed player did not come up"
entry=$(DBUS_SESSION_BUS_ADDRESS=$address dbus-send --session --print-reply \
  --dest=org.mpris.MediaPlayer2.tunewell /org/mpris/MediaPlayer2 \
  org.freedesktop.DBus.Properties.Get string:org.mpris.MediaPlayer2 string:DesktopEntry)
grep -q "\"$id\"" <<<"$entry" || fail "DesktopEntry: $entry"
cmp -s "$config/tunewell/favorites.cfg" "$root/usr/share/tunewell/favorites.cfg" ||
  fail "the default station list was not copied into $config/tunewell"
[ "$(stat -c %a "$config/tunewell")" = 700 ] || fail "$config/tunewell is not private"
kill -TERM "$player_pid"
rc=0
wait "$player_pid" || rc=$?
player_pid=""
[ "$rc" -eq 0 ] || fail "the installed player exited with $rc"
grep -q "^VOLUME=" "$config/tunewell/radio_config.cfg" || fail "settings not saved"
# Nothing beside the executable.
[ -z "$(ls "$root/usr/bin" | grep -v '^tunewell$')" ] || fail "files in usr/bin: $(ls "$root/usr/bin")"
echo "installed, packaged and started: $(basename "$deb")"

#!/usr/bin/env bash
# Installs the Debian package into a scratch root with dpkg -x and starts the installed program
# on a private X server: it must find all its libraries, log its version and open a window that
# the desktop entry's StartupWMClass matches.
# usage: run_installed.sh DEB_DIR WORK_DIR
set -euo pipefail
deb_dir="$1"
work="$2"

shopt -s nullglob
debs=("$deb_dir"/*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "FAIL: expected one .deb in $deb_dir"; exit 1; }
rm -rf "$work"
mkdir -p "$work/tmp" "$work/config" "$work/cache" "$work/data" "$work/runtime"
chmod 700 "$work/runtime"

root="$work/root"
dpkg -x "${debs[0]}" "$root"
program="$root/usr/bin/orvi-updater"
if ldd "$program" | grep -F "not found"; then
    echo "FAIL: the installed program misses libraries"
    exit 1
fi

xvfb_pid=""
program_pid=""
stop() {
    local pid
    for pid in $program_pid $xvfb_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}
trap stop EXIT
fail() {
    echo "FAIL: $*"
    echo "--- program output"; cat "$work/program.log" 2>/dev/null || true
    echo "--- Xvfb output"; cat "$work/xvfb.log" 2>/dev/null || true
    exit 1
}

# -displayfd makes Xvfb pick a free display number itself, so parallel tests cannot collide.
Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x800x24 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start"
    sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb gave no display number"

export DISPLAY=":$(head -n1 "$work/display")"
export QT_QPA_PLATFORM=xcb
export TMPDIR="$work/tmp" XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache"
export XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/runtime"
# No session bus: the program must not reach the desktop of whoever runs the tests.
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-session-bus"

"$program" >"$work/program.log" 2>&1 &
program_pid=$!

version_line="App version = 2.0.2"
for _ in $(seq 300); do
    grep -qFx "$version_line" "$work/program.log" && break
    kill -0 "$program_pid" 2>/dev/null || fail "the program ended before logging '$version_line'"
    sleep 0.1
done
grep -qFx "$version_line" "$work/program.log" || fail "no '$version_line' within 30 s"

# The instance part of WM_CLASS is what StartupWMClass in the desktop entry names.
window=""
for _ in $(seq 150); do
    window="$(xdotool search --classname '^orvi-updater$' 2>/dev/null | head -n1 || true)"
    [ -n "$window" ] && break
    kill -0 "$program_pid" 2>/dev/null || fail "the program ended before showing its window"
    sleep 0.1
done
[ -n "$window" ] || fail "no window of class orvi-updater within 15 s"

kill -0 "$program_pid" 2>/dev/null || fail "the program ended on its own"
echo "installed program started on $DISPLAY, logged '$version_line' and showed window $window"

#!/usr/bin/env bash
# The Debian package, made once, then inspected and installed, each step in a folder of its own.
#   deb.sh build DEB_DIR CPACK_CONFIG        exactly one .deb, from the built tree
#   deb.sh contents DEB_DIR WORK SOURCE_DIR QT_MAJOR
#                                            files (the source tree's), control fields, dependencies on
#                                            the Qt the program was built with, no lintian error or warning
#   deb.sh run DEB_DIR WORK                  unpacked with dpkg -x, the program finds its libraries and, on
#                                            a private X server, logs its version and shows a window of
#                                            the class the desktop entry's StartupWMClass names
set -euo pipefail
step="$1" deb_dir="$2" work="${3:-}"
app_id=example.brevanto.OrviUpdater
version=2.0.2
failures=0 xvfb_pid="" program_pid=""
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
one_deb() {
    shopt -s nullglob
    local debs=("$deb_dir"/*.deb)
    [ ${#debs[@]} -eq 1 ] || { echo "FAIL: expected one .deb in $deb_dir, found ${#debs[@]}"; exit 1; }
    deb="${debs[0]}"
}

build() {
    rm -rf "$deb_dir"
    cpack --config "$3" -G DEB -B "$deb_dir"
    one_deb
    echo "built $deb"
}

contents() {
    local source_dir="$4" qt="$5" root="$work/root" size name reader
    one_deb
    rm -rf "$work"
    mkdir -p "$work"
    local expected=(bin/orvi-updater lib/udev/rules.d/70-orvi-updater.rules share/applications/$app_id.desktop
        share/doc/orvi-updater/changelog.gz share/doc/orvi-updater/copyright share/man/man1/orvi-updater.1.gz
        share/metainfo/$app_id.metainfo.xml)
    for size in 16 24 32 48 64 128 256; do expected+=("share/icons/hicolor/${size}x${size}/apps/$app_id.png"); done
    dpkg-deb -c "$deb" | tee "$work/contents.txt"
    awk '$1 !~ /^d/ { print $6 }' "$work/contents.txt" | sort > "$work/files.txt"
    printf './usr/%s\n' "${expected[@]}" | sort | diff -u - "$work/files.txt" \
        || fail "package files differ from the expected list (- missing, + unexpected)"

    field() { dpkg-deb -f "$deb" "$1"; }
    for name in Package=orvi-updater Version=$version Architecture="$(dpkg --print-architecture)"; do
        [ "$(field "${name%%=*}")" = "${name#*=}" ] || fail "${name%%=*} is '$(field "${name%%=*}")'"
    done
    # dpkg-shlibdeps must have found the libraries the program links.
    local depends=", $(field Depends),"
    echo "Depends: $depends"
    local qt_libraries=(libqt5core5a libqt5gui5 libqt5widgets5 libqt5network5)
    [ "$qt" = 5 ] || qt_libraries=(libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libqt6statemachine6)
    for name in libc6 libstdc++6 libhidapi-hidraw0 "${qt_libraries[@]}"; do
        [[ "$depends" == *", $name "* || "$depends" == *", $name,"* ]] || fail "Depends lacks $name"
    done

    dpkg-deb -x "$deb" "$root"
    for name in share/applications/$app_id.desktop share/metainfo/$app_id.metainfo.xml share/doc/orvi-updater/copyright \
        lib/udev/rules.d/70-orvi-updater.rules share/man/man1/orvi-updater.1.gz share/doc/orvi-updater/changelog.gz; do
        reader=cat; [[ "$name" != *.gz ]] || reader=zcat
        $reader "$root/usr/$name" | cmp "$source_dir/$(basename "$name" .gz)" - || fail "installed $name differs from the source"
    done
    [ "$(zcat "$root/usr/share/doc/orvi-updater/changelog.gz" | dpkg-parsechangelog -l- -S Version)" = $version ] \
        || fail "the changelog's version is not the package's"
    # Errors and warnings fail the check: among them a malformed Maintainer, an unstripped program, files
    # not owned by root or with unusual modes, a manual page that renders with warnings, icons of another
    # size than their folder says.
    lintian --fail-on error,warning --display-level ">=warning" --tag-display-limit 0 "$deb" 2>&1 \
        | tee "$work/lintian.txt" || fail "lintian reports errors or warnings"
}

run() {
    one_deb
    rm -rf "$work"
    mkdir -p "$work/tmp" "$work/config" "$work/cache" "$work/data" "$work/runtime"
    chmod 700 "$work/runtime"
    dpkg -x "$deb" "$work/root"
    local program="$work/root/usr/bin/orvi-updater" window=""
    ! ldd "$program" | grep -F "not found" || { fail "the installed program misses libraries"; return; }
    trap 'kill $program_pid $xvfb_pid 2>/dev/null || true; wait' EXIT
    # Polls COMMAND for up to TENTHS tenths of a second while PID lives.
    wait_for() {
        local tenths="$1" pid="$2" i
        shift 2
        for ((i = 0; i < tenths; i++)); do
            "$@" && return 0
            kill -0 "$pid" 2>/dev/null || return 1
            sleep 0.1
        done
        return 1
    }
    # -displayfd makes Xvfb pick a free display number itself, so parallel tests cannot collide.
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x800x24 3>"$work/display" >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    wait_for 100 $xvfb_pid test -s "$work/display" || { fail "Xvfb gave no display number"; return; }
    export DISPLAY=":$(head -n1 "$work/display")" QT_QPA_PLATFORM=xcb TMPDIR="$work/tmp"
    export XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache" XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/runtime"
    # No session bus: the program must not reach the desktop of whoever runs the tests.
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-session-bus"
    "$program" >"$work/program.log" 2>&1 &
    program_pid=$!
    wait_for 300 $program_pid grep -qFx "App version = $version" "$work/program.log" \
        || { fail "no 'App version = $version' within 30 s"; return; }
    # The instance part of WM_CLASS is what StartupWMClass in the desktop entry names.
    find_window() { window="$(xdotool search --classname '^orvi-updater$' 2>/dev/null | head -n1)" && [ -n "$window" ]; }
    wait_for 150 $program_pid find_window || { fail "no window of class orvi-updater within 15 s"; return; }
    kill -0 $program_pid 2>/dev/null || fail "the program ended on its own"
    echo "installed program logged its version and showed window $window on $DISPLAY"
}

"$step" "$@"
if [ "$failures" -ne 0 ]; then
    [ "$step" != run ] || for log in program xvfb; do echo "--- $log output"; cat "$work/$log.log" 2>/dev/null || true; done
    echo "$failures failure(s)"
    exit 1
fi

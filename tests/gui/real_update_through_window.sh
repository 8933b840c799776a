#!/usr/bin/env bash
# The unchanged orvi-updater (real hidapi) on a private X server, beside an emulated Orvi+ at a
# /dev/hidraw node and a local update site, driven through its window with the keyboard: the device
# is pulled out during the first transfer ("Update Failure", back to the connect page, taken up again
# when put back), then updated whole, with a second Orvi+ plugged in meanwhile that gets nothing.
# The program runs as a session leader without a terminal, as under a service manager: opening
# the node must not make it the controlling terminal, or the unplug would end it with SIGHUP.
# Screenshots (update-plan.png, update-transfer.png, update-done.png) go to WORK_DIR/screenshots,
# or to ORVI_SCREENSHOTS when that is set.
# usage: real_update_through_window.sh EMULATOR PROGRAM MAKE_IMAGE WORK_DIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
emulator="$1"
program="$2"
make_image="$3"
work="$4"
rm -rf "$work"
mkdir -p "$work"
log="$work/program.log"
elog="$work/emulator.log"
shots="${ORVI_SCREENSHOTS:-$work/screenshots}"

xserver=""
UPDATE_SITE_PID=""
emulator_pid=""
finish() {
    for pid in $emulator_pid $UPDATE_SITE_PID $xserver; do kill "$pid" 2>/dev/null || true; done
}
trap finish EXIT

fail() {
    echo "FAIL: $*"
    echo "--- program output"; cat "$log" 2>/dev/null || true
    echo "--- emulator log"; cat "$elog" 2>/dev/null || true
    exit 1
}

# 96 dpi, the logical resolution Qt 6 assumes without Xft.dpi: Qt 5 would take the server's and
# draw larger text.
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 -dpi 96 3>"$work/display" 2>"$work/xvfb.log" &
xserver=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=":$(cat "$work/display")" QT_QPA_PLATFORM=xcb
# Nothing of the machine's: no system bus for the sleep inhibition either.
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-system-bus" DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-session-bus"

. "$here/../../emulator/demo/update_site.sh"
update_site_start "$work" "$make_image" || fail "no update site"

other=OTHER0001
# The device restarts faster than the program polls the bus.
device="${UPDATE_SITE_DEVICE/reboot-ms=2000/reboot-ms=400};model=plus,serial=$other,mcu=0x0311,plugged=no"
"$emulator" --quiet --log "$elog" --control "$work/control" --device "$device" \
    -- setsid -w "$program" >"$log" 2>&1 &
emulator_pid=$!

count() { grep -cF -- "$1" "$2" 2>/dev/null || true; }
wait_for() {  # count text file seconds: until text is in file count times
    local deadline=$((SECONDS + $4))
    while [ "$(count "$2" "$3")" -lt "$1" ]; do
        kill -0 "$emulator_pid" 2>/dev/null || fail "the program ended while waiting for \"$2\""
        [ $SECONDS -lt $deadline ] || fail "no \"$2\" (x$1) within $4 s"
        sleep 0.1
    done
}

# A shown window of the program by its title (Qt sets the title only as _NET_WM_NAME, which
# xdotool's --name does not search).
window_titled() {  # title seconds
    local deadline=$((SECONDS + $2)) w
    while [ $SECONDS -lt $deadline ]; do
        for w in $(xdotool search --onlyvisible --classname '^orvi-updater$' 2>/dev/null); do
            [ "$(xdotool getwindowname "$w" 2>/dev/null)" = "$1" ] && { echo "$w"; return 0; }
        done
        sleep 0.2
    done
    return 1
}

window="$(window_titled 'Orvi Updater' 30)" || fail "the window did not appear"

# Presses the button that has the keyboard focus, as a person does with the space bar, until the
# log shows that the wanted button was the one pressed: a person sees where the focus is, this
# test sees what pressing did. Tab moves the focus on along page 1's buttons and list.
press() {  # log-text-that-shows-the-press
    local before
    before="$(count "$1" "$log")"
    for _ in 1 2 3 4; do
        xdotool windowfocus --sync "$window" key space
        for _ in $(seq 30); do
            [ "$(count "$1" "$log")" -gt "$before" ] && return 0
            sleep 0.1
        done
        xdotool windowfocus --sync "$window" key Tab
    done
    fail "pressing did not lead to \"$1\""
}

shot() {  # name
    mkdir -p "$shots"
    import -window "$window" "$shots/$1"
}

check_and_start() {  # round
    wait_for "$1" 'DeviceAgent: ready.' "$log" 30
    local plans
    plans="$(count 'New Ensemble.' "$log")"
    press 'UpdateManager: Starting download to:'
    wait_for $((plans + 1)) 'New Ensemble.' "$log" 30
    sleep 0.5  # the plan painted
    [ "$1" -eq 1 ] || shot update-plan.png
    press 'disable'  # "System sleep disabled.", or that it could not be
}

# Round 1: pulled out during the first transfer. The program's own check for a newer version of
# itself comes first. The site signs its manifest and the program trusts only the site's key.
wait_for 1 'UpdateManager: Manifest parsed.' "$log" 30
[ "$(count 'UpdateManager: Manifest signed by key' "$log")" -eq 1 ] || fail "the manifest's signature was not checked"
check_and_start 1
wait_for 1 'Sending file type 0' "$log" 30
echo "unplug $UPDATE_SITE_SERIAL" >"$work/control"
popup="$(window_titled 'Update Failure' 20)" || fail "no \"Update Failure\" pop-up"
wait_for 1 "Disconnected: \"$UPDATE_SITE_SERIAL\"" "$log" 10
wait_for 1 'Forgotten device:' "$log" 10
xdotool windowfocus --sync "$popup" key Return  # its OK button
echo "plug $UPDATE_SITE_SERIAL" >"$work/control"
wait_for 2 "Connected: \"$UPDATE_SITE_SERIAL\"" "$log" 20
echo "plug $other" >"$work/control"
wait_for 1 "Connected: \"$other\"" "$log" 10

# Round 2: the whole update.
check_and_start 2
wait_for 2 'Sending sector 1/1...' "$log" 90
sleep 0.4  # the ensemble audio's sector half sent
shot update-transfer.png
wait_for 2 'System sleep re-enabled.' "$log" 60
wait_for 6 'DeviceAgent: ready.' "$log" 10
sleep 0.5  # the new plan painted
shot update-done.png
python3 "$here/../../scripts/x11_window.py" close "$window"
status=0
wait "$emulator_pid" || status=$?
emulator_pid=""
[ "$status" -eq 0 ] || fail "the program ended with status $status"

# The update ran in the manifest's order, and the plan made afterwards was empty.
sent="$(grep -o '^Sending file type [0-9]' "$log" | tr '\n' ' ')"
[ "$sent" = "Sending file type 0 Sending file type 0 Sending file type 1 Sending file type 2 Sending file type 3 " ] \
    || fail "unexpected transfers: $sent"
after="$(sed -n '/^Sending file type 3/,$p' "$log")"
grep -q '^Found Ensemble Audio:' <<<"$after" || fail "no plan after the update"
! grep -q '^New ' <<<"$after" || fail "the plan after the update was not empty"

# What the devices received: each offered component installed once, in the manifest's order and the
# site's versions (the image's tag keeps a cut one from installing), and nothing on the second device.
grep -qF "summary: $other (Orvi+): 0 reports, 0 broken rules, installed: nothing" "$elog" \
    || fail "the second device was written to"
grep -F "summary: $UPDATE_SITE_SERIAL (Orvi+): " "$elog" | grep -qF " 0 broken rules, installed: $UPDATE_SITE_INSTALLED" \
    || fail "the device did not end with every component installed once"
echo "PASS"

#!/usr/bin/env bash
# The unchanged orvi-updater, with the real hidapi, finds an emulated Orvi+ at its hidraw node
# (and reads its header, once its window opens devices), loses it when it is pulled and takes it
# up again when it is put back.
# usage: real_program_over_hidraw.sh EMULATOR PROGRAM WORK_DIR [header]
#   header: the program's window opens the device it finds and reads its header.
set -euo pipefail
emulator="$1"
program="$2"
work="$3"
agent=0
[ "${4:-}" = header ] && agent=1
rm -rf "$work"
mkdir -p "$work/tmp" "$work/config" "$work/runtime"
chmod 700 "$work/runtime"

fail() {
    echo "FAIL: $*"
    echo "--- program output"; cat "$work/program.log" 2>/dev/null || true
    echo "--- emulator log"; cat "$work/emulator.log" 2>/dev/null || true
    exit 1
}

# Runs under the emulator: the program, steered through the emulator's control pipe.
cat >"$work/steer.sh" <<'STEER'
#!/usr/bin/env bash
set -u
wait_for() {  # count line: until the program has logged line count times (20 s at most)
    for _ in $(seq 200); do
        count=$(grep -cxF -- "$2" "$WORK/program.log" 2>/dev/null)
        [ "${count:-0}" -ge "$1" ] && return 0
        sleep 0.1
    done
    echo "steer: no \"$2\" (x$1) in the program's log"
    return 1
}
found() {  # count: connected (and ready) count times
    wait_for "$1" 'Connected: "E2E0001" "/dev/hidraw0"' && { [ "$AGENT" = 0 ] || wait_for "$1" "DeviceAgent: ready."; }
}
# A session leader without a controlling terminal, as under a service manager: opening the
# node must not make it its controlling terminal (and the unplug then end it by SIGHUP).
setsid "$PROGRAM" >"$WORK/program.log" 2>&1 &
pid=$!
result=1
if found 1; then
    echo "unplug E2E0001" >"$WORK/control"
    if wait_for 1 'Disconnected: "E2E0001" "/dev/hidraw0"'; then
        echo "plug E2E0001" >"$WORK/control"
        found 2 && result=0
    fi
fi
kill "$pid"
wait "$pid"
exit $result
STEER
chmod +x "$work/steer.sh"

status=0
WORK="$work" PROGRAM="$program" AGENT="$agent" QT_QPA_PLATFORM=offscreen \
TMPDIR="$work/tmp" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime" \
DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-session-bus" \
    "$emulator" --log "$work/emulator.log" --control "$work/control" --stats "$work/stats" \
    --device "model=plus,serial=E2E0001,mcu=0x0311,dsp=0x0311,styles=2,ensemble=5" \
    -- "$work/steer.sh" || status=$?
[ "$status" -eq 0 ] || fail "the program did not see the device come and go (status $status)"

if [ "$agent" = 1 ]; then
    grep -qE 'E2E0001 report 1: open \(0x000A\), length 0, sequence 0$' "$work/emulator.log" \
        || fail "the emulator logged no open request"
fi
[ "$(grep -c 'E2E0001 plugged in at /dev/hidraw0' "$work/emulator.log")" -eq 2 ] \
    || fail "the device was not plugged in twice"
# One open request and its header reply for each time the device was found.
grep -qx "replies: $((2 * agent))" "$work/stats" || fail "unexpected totals: $(cat "$work/stats")"
echo "PASS"

#!/usr/bin/env bash
# The window as a screen reader user hears it: Orca with its debug log, on a virtual X display
# with the accessibility bus and a window manager, the window on the virtual radio, driven by
# the keyboard alone (xdotool). Prints what Orca spoke at each step. Not run by CI.
#
# Needs (Debian 12): orca xvfb dbus dbus-x11 openbox xdotool at-spi2-core python3-pyatspi
#   scripts/orca-session.sh [REPLIX] [VIRTUAL-RADIO]
# defaults: build/replix and build/tools/replix-virtual-radio.
set -uo pipefail
cd "$(dirname "$0")/.."
replix=$(realpath "${1:-build/replix}")
radio=$(realpath "${2:-build/tools/replix-virtual-radio}")
for tool in Xvfb dbus-daemon openbox xdotool orca; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done

work=$(mktemp -d /tmp/replix-orca.XXXXXX)
pids=()
cleanup()
{
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null; done
    wait 2>/dev/null
    [ -n "${DBUS_SESSION_BUS_PID:-}" ] && kill "$DBUS_SESSION_BUS_PID" 2>/dev/null
    [ -n "${ORCA_LOG_KEEP:-}" ] && cp "$work/orca.log" "$ORCA_LOG_KEEP" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

export HOME=$work/home XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/home/.config
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$work/files" && chmod 700 "$XDG_RUNTIME_DIR"
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done
eval "$(dbus-launch --sh-syntax)"
/usr/libexec/at-spi-bus-launcher --launch-immediately >"$work/atspi.log" 2>&1 &
pids+=($!)
openbox >"$work/wm.log" 2>&1 &
pids+=($!)
sleep 1

# The radio on COM1; a radio that is switched off (its cable still echoes) on COM2.
"$radio" --port-dir "$work/ports" --port 1 >"$work/radio1.log" 2>&1 &
pids+=($!)
"$radio" --port-dir "$work/ports" --port 2 --radio-off >"$work/radio2.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -e "$work/ports/COM1" ] && [ -e "$work/ports/COM2" ] && break; sleep 0.1; done

log=$work/orca.log
orca --debug-file "$log" -u "$work/orca-prefs" >"$work/orca.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q "SPEECH OUTPUT" "$log" 2>/dev/null && break; sleep 0.2; done
sleep 2

QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_QPA_PLATFORM=xcb REPLIX_PORT_DIR="$work/ports" \
    "$replix" >"$work/replix.log" 2>&1 &
pids+=($!)

mark=0
# What Orca spoke since the last step, one utterance a line.
heard()
{
    local lines
    lines=$(grep -a "SPEECH OUTPUT: '" "$log" | tail -n +$((mark + 1)))
    mark=$(grep -ac "SPEECH OUTPUT: '" "$log")
    # The utterance alone; keys echoed as they are pressed ("tab ", "a ") are left out.
    printf '%s\n' "$lines" | sed -n "s/.*SPEECH OUTPUT: '\(.*[^ ]\)'[ {].*/    \1/p"
}
step()
{
    heard >/dev/null
    echo "== $1"
}
key()
{
    xdotool key --delay 150 "$@"
    sleep 1.2
}
# Waits until Orca says something matching the pattern (or the time is up).
await()
{
    for _ in $(seq $(($2 * 5))); do
        grep -a "SPEECH OUTPUT: '" "$log" | tail -n +$((mark + 1)) | grep -aq "$1" && break
        sleep 0.2
    done
    sleep 1
}

sleep 4
step "the window opens"
heard
# ONLY_EXIT=1: a read, then only the Exit question during a write (a shorter run).
if [ -n "${ONLY_EXIT:-}" ]; then
    step "Read into a new file"
    xdotool key Return
    sleep 2
    xdotool type --delay 60 "$work/files/new.icf"
    sleep 0.5
    key Return
    await "Read finished\|Read ended" 60
    heard
    step "A write of that file, and Enter on Exit (one Tab from the progress bar) while it runs"
    key shift+Tab
    xdotool key Return
    sleep 2
    xdotool type --delay 60 "$work/files/new.icf"
    sleep 0.5
    key Return
    sleep 2
    key Tab
    key Return
    await "Stop it" 60
    heard
    step "Enter (No, the default): the write goes on to its end"
    key Return
    await "Successful Write\|Write failure\|Write ended" 90
    key Return
    heard
    exit 0
fi
step "Tab round (six stops)"
key Tab Tab Tab Tab Tab Tab
heard
step "Baud rate: focus, Down, Down, Up"
key Tab
key Down
key Down
key Up
heard
step "Serial port: focus, Down (COM2), Up (COM1)"
key Tab
key Down
key Up
heard
step "Read into a new file"
key shift+Tab shift+Tab
xdotool key Return
sleep 2
xdotool type --delay 60 "$work/files/new.icf"
sleep 0.5
key Return
await "Read finished\|Read ended" 40
heard
step "Read over the same file (its name typed, the completion list open)"
xdotool key Return
sleep 2
xdotool key ctrl+a
xdotool type --delay 80 "new"
sleep 1
xdotool type --delay 80 ".icf"
sleep 0.5
xdotool key Return
await "already exists" 10
key shift+Tab
key space
await "Read finished\|Read ended" 40
heard
step "Write the same file back (completion list open)"
key shift+Tab
xdotool key Return
sleep 2
xdotool type --delay 80 "new"
sleep 1
xdotool type --delay 80 ".icf"
sleep 0.5
key Return
await "Successful Write\|Write failure\|Write ended" 40
sleep 1
key Return
sleep 1
heard
step "Radio off: COM2 chosen, then Read"
key Tab Tab Tab
key Down
key shift+Tab shift+Tab
xdotool key Return
await "No response" 10
key Return
heard
step "COM1 again, a write, and Enter on Exit (one Tab from the progress bar) while it runs"
key Tab Tab
key Up
key Tab Tab Tab
xdotool key Return
sleep 2
xdotool type --delay 80 "new.icf"
sleep 0.5
key Return
sleep 2
key Tab
key Return
sleep 1
key Return
await "Successful Write\|Write failure\|Write ended" 40
key Return
heard
step "Exit, with no transfer running"
key shift+Tab
key Return
heard
sleep 2
if kill -0 "${pids[-1]}" 2>/dev/null; then
    echo "(the window is still open)"
else
    wait "${pids[-1]}"
    echo "(the window has closed, exit status $?)"
fi

#!/usr/bin/env bash
# The window program as it is started, on a virtual X display with the virtual radio on port 1,
# driven by the keyboard alone: it opens its window, Enter on "Read from Radio" brings the save
# dialog and the name typed there gets the radio's image; "Write to Radio" puts another image
# into the radio; "Exit" ends it. The command line's verify checks the radio against each file.
# Skipped (77) where Xvfb or xdotool is not installed.
# Usage: window-x11.sh <replix> <replix-virtual-radio> <replix-cli>
set -uo pipefail
replix=$(realpath "${1:?replix}") radio=$(realpath "${2:?radio}") cli=$(realpath "${3:?cli}")
for tool in Xvfb xdotool; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
tmp=$(mktemp -d) || exit 1
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
# The first window whose title is exactly $1, within 30 s.
window() { timeout 30 xdotool search --sync --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1; }

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [[ -s $tmp/display ]] && break; sleep 0.1; done
export DISPLAY=:$(cat "$tmp/display") QT_QPA_PLATFORM=xcb HOME=$tmp REPLIX_PORT_DIR=$tmp/ports
"$radio" --port-dir "$REPLIX_PORT_DIR" --port 1 --speed 0 >"$tmp/radio.log" &
pids+=($!)
for _ in $(seq 100); do [[ -e $REPLIX_PORT_DIR/COM1 ]] && break; sleep 0.1; done
"$replix" 2>"$tmp/replix.log" &
window_pid=$!
pids+=($window_pid)

main=$(window "Replix ICOM Radio") && [[ -n $main ]] || fail "no window titled Replix ICOM Radio"
xdotool windowfocus --sync "$main" key Return  # the focus starts on "Read from Radio"
dialog=$(window "Replix ICOM Radio   Save file") && [[ -n $dialog ]] \
  || fail "Enter on the window did not bring the save dialog"
xdotool windowfocus --sync "$dialog" type --delay 5 "$tmp/read.icf"
xdotool key Return
for _ in $(seq 300); do [[ -s $tmp/read.icf ]] && break; sleep 0.1; done
[[ -s $tmp/read.icf ]] || fail "no file saved: $(cat "$tmp/replix.log")"
# The command line reads the radio again (once the window has let the port go: 3 is "in use").
for _ in $(seq 20); do
  "$cli" verify --port 1 --quiet "$tmp/read.icf"; status=$?
  ((status == 3)) || break
  sleep 0.2
done
((status == 0)) || fail "the file saved is not the radio's image (verify: status $status)"
# Another image written back: the focus is on "Read from Radio" again, and five Tabs (past the
# two lists, the pane switch and "Exit") reach "Write to Radio". Its end is a box: Enter on it.
head -c 4096 /dev/urandom >"$tmp/new.bin"
"$cli" import "$tmp/new.bin" --model 5A170002 --comment "VR-5A17 Ver 1.02" --record-size 32 \
  "$tmp/new.icf" >/dev/null || fail "replix-cli import did not make the image to write"
xdotool windowfocus --sync "$main" key Tab Tab Tab Tab Tab Return
dialog=$(window "Replix ICOM Radio   Open file") && [[ -n $dialog ]] \
  || fail "Enter on \"Write to Radio\" did not bring the open dialog"
xdotool windowfocus --sync "$dialog" type --delay 5 "$tmp/new.icf"
xdotool key Return
box=
for _ in $(seq 300); do
  box=$(xdotool search --onlyvisible --name "^Replix ICOM Radio\$" 2>/dev/null | grep -vx "$main")
  [[ -n $box ]] && break
  sleep 0.1
done
[[ -n $box ]] || fail "the write ended without its box: $(cat "$tmp/replix.log")"
xdotool windowfocus --sync "$box" key Return
# The focus is back on "Write to Radio": one Tab back is "Exit".
xdotool windowfocus --sync "$main" key shift+Tab Return
for _ in $(seq 100); do kill -0 "$window_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$window_pid" 2>/dev/null && fail "Shift+Tab to Exit and Enter left the window open"
wait "$window_pid" || fail "Exit did not end the program well: $(cat "$tmp/replix.log")"
"$cli" verify --port 1 --quiet "$tmp/new.icf" || fail "the radio does not hold the image written"
echo "PASS: the window read the radio into a file and wrote another image back, keys only"

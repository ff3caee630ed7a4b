#!/usr/bin/env bash
# Takes the README's two screenshots of the window under Xvfb: pane hidden, and pane shown
# after a read of the virtual radio. Needs xvfb, xdotool and imagemagick; run after a build.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
Xvfb :77 -screen 0 1024x768x24 -dpi 96 >/dev/null 2>&1 &
xvfb=$!
ports=$(mktemp -d)
trap 'kill $app $radio $xvfb 2>/dev/null || true; rm -rf "$ports"' EXIT
sleep 1
export DISPLAY=:77
"$build/tools/replix-virtual-radio" --port-dir "$ports" --port 1 --speed 0 --image-size 512 >/dev/null &
radio=$!
sleep 0.5
REPLIX_PORT_DIR="$ports" "$build/replix" 2>/dev/null &
app=$!
sleep 2
wid=$(xdotool search --name "^Replix ICOM Radio$" | head -1)
import -window "$wid" docs/window-pane-hidden.png

eval "$(xdotool getwindowgeometry --shell "$wid")"
xdotool mousemove $((X + 130)) $((Y + 91)) click 1          # "Show Conversation "
sleep 1
eval "$(xdotool getwindowgeometry --shell "$wid")"
xdotool mousemove $((X + 232)) $((Y + 130)) click 1         # "Read from Radio"
sleep 1.5
xdotool type --delay 20 "$ports/screenshot.icf"
xdotool key Return
sleep 2
import -window "$wid" docs/window-pane-shown.png

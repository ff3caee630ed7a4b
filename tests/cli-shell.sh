#!/usr/bin/env bash
# replix-cli in a shell, as a user meets it: the completion both shells load (from
# "replix-cli completion"), and the progress line on a terminal (a pseudo-terminal from
# script(1)): cut to its width by the file's name first, and no escape sequence with TERM=dumb.
# Usage: cli-shell.sh <replix-cli> <replix-virtual-radio>
set -uo pipefail
cli=$(realpath "${1:?replix-cli}")
radio=$(realpath "${2:?replix-virtual-radio}")
here=$(dirname "$(realpath "$0")")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
for tool in bash zsh script; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed (scripts/setup.sh installs it)"; exit 1; }
done

tmp=$(mktemp -d) || exit 1
radio_pid=
trap '[[ -n $radio_pid ]] && kill "$radio_pid"; rm -rf "$tmp"' EXIT
cd "$tmp" || exit 1
mkdir ports sub && touch a.icf B.ICF notes.txt
export REPLIX_PORT_DIR=$tmp/ports
echo "tcp://radio.invalid:7001" >ports/COM12
ln -s /dev/null ports/COM3
mkdir bin && ln -s "$cli" bin/replix-cli && export PATH=$tmp/bin:$PATH

# bash: the words typed, then what completes the last one.
"$cli" completion bash >replix-cli.bash
bash_completes() {
  local want=$1; shift
  local got
  got=$(bash -c 'source ./replix-cli.bash; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
                 _replix_cli; printf "%s\n" "${COMPREPLY[@]}" | sort | paste -sd " "' - "$@" 2>&1)
  [[ $got == "$want" ]] || fail "bash: '$*' completes as '$got', not '$want'"
}
bash_completes "verify" replix-cli ve
bash_completes "--accept-version" replix-cli write --acc
bash_completes "110 115200 1200 14400 19200" replix-cli read --speed 1
bash_completes "12 3" replix-cli read --port ""      # the numbers ports lists, past 16 too
bash_completes "B.ICF a.icf bin ports sub" replix-cli dump "" # ICF files and folders only
bash_completes "bin ports sub" replix-cli read --backup-dir ""
bash_completes "B.ICF a.icf bin notes.txt ports replix-cli.bash sub" replix-cli write --backup ""
bash_completes "B.ICF a.icf bin notes.txt ports replix-cli.bash sub" replix-cli import ""  # raw in, ICF out
bash_completes "bash zsh" replix-cli completion ""
bash_completes "ports" replix-cli help po

# zsh: the script's function with the completion system's builtins standing in, each saying
# what it would offer.
"$cli" completion zsh >_replix-cli
zsh_completes() {
  local want=$1; shift
  local got
  got=$(zsh -fc 'compadd() { [[ $1 == -- ]] && shift; print -rl -- "$@"; }
                 _files() { print -r -- "_files $*"; }
                 source ./_replix-cli 2>/dev/null
                 words=("$@"); CURRENT=$#; PREFIX=${words[-1]}
                 _replix_cli | grep -- "^${PREFIX}" | sort | paste -sd " "' - "$@" 2>&1)
  [[ $got == "$want" ]] || fail "zsh: '$*' completes as '$got', not '$want'"
}
zsh_completes "verify" replix-cli ve
zsh_completes "--accept-version" replix-cli write --acc
zsh_completes "12 3" replix-cli write --port ""
zsh_completes "_files -g *.(#i)icf(-.)" replix-cli diff ""
zsh_completes "_files -/" replix-cli read --backup-dir ""
zsh_completes "_files " replix-cli import ""

# Every help text as a user reads it, the head of both completion scripts and the usage
# mistakes' messages, against the copy kept beside this script: wording changes on purpose, in
# both places at once.
helps() {
  local verb
  "$cli" --help
  for verb in info check diff dump export import read write verify ports completion; do
    echo "== $verb"; "$cli" "$verb" --help
  done
  "$cli" completion bash | head -1; "$cli" completion zsh | head -2
  local args  # and what each usage mistake is told, with its status
  for args in "" "read --port 1" "export whole.icf" "help info check" "read --quiet=x --port 1 a.icf"; do
    echo "== replix-cli $args"; "$cli" $args; echo "status $?"
  done
}
helps >help.txt 2>&1
diff -u "$here/cli-help.txt" help.txt || fail "help texts differ from tests/cli-help.txt (above)"

# The progress of a write on a terminal of 50 columns.
"$radio" --port-dir "$tmp/ports" --port 1 --image-size 256 --speed 0 >radio.log 2>&1 &
radio_pid=$!
for _ in $(seq 50); do [[ -e ports/COM1 ]] && break; sleep 0.1; done
long=a-file-with-a-rather-long-name-for-a-narrow-terminal.icf
"$cli" read --port 1 --quiet "$long" || fail "the read of the virtual radio failed"
for term in xterm dumb; do
  shown=$(COLUMNS=50 TERM=$term script -qec "replix-cli write --port 1 $long" /dev/null | tr '\r' '\n')
  first=$(grep -m1 '^\(.\[K\)\?write .*%' <<<"$shown")
  if [[ $term == dumb ]]; then
    [[ $shown != *$'\e'* ]] || fail "TERM=dumb gets escape sequences: $(cat -v <<<"$shown")"
    [[ $first == "write $long: 1 of 8 records, 12%, "*" s left" ]] || fail "TERM=dumb: '$first'"
  else
    first=${first#$'\e[K'}
    [[ ${#first} -eq 49 && $first == "write ..."*"inal.icf: 1 of 8 records, 12%, "*" s left" ]] \
      || fail "50 columns: '$first' (the name is cut first to fill the line, the figures stay)"
  fi
done

# A terminal of no known width is taken for 80 columns; on one of 20 the name goes and the
# figures are cut.
shown=$(env -u COLUMNS TERM=xterm script -qec "replix-cli write --port 1 $long" /dev/null | tr '\r' '\n')
first=$(grep -m1 'write .*%' <<<"$shown")
first=${first#$'\e[K'}
[[ ${#first} -eq 79 ]] || fail "no width: '$first' is not 79 characters"
shown=$(COLUMNS=20 TERM=xterm script -qec "replix-cli write --port 1 $long" /dev/null | tr '\r' '\n')
[[ $shown == *$'\e[Kwrite: 1 of 8 recor\n'* ]] || fail "20 columns: $(cat -v <<<"$shown")"
# On one column, known from the terminal or from COLUMNS, no figure is left to show.
for how in "stty cols 1;" "export COLUMNS=1;"; do
  shown=$(env -u COLUMNS TERM=xterm script -qec "$how replix-cli write --port 1 $long" /dev/null)
  [[ $shown != *%* ]] || fail "one column ($how): $(cat -v <<<"$shown")"
done

# A name that fits is shown whole.
cp "$long" short.icf
shown=$(COLUMNS=80 TERM=xterm script -qec "replix-cli write --port 1 short.icf" /dev/null | tr '\r' '\n')
first=$(grep -m1 'write .*%' <<<"$shown")
first=${first#$'\e[K'}
[[ $first == "write short.icf: 1 of 8 records, 12%, "*" s left" ]] \
  || fail "80 columns: '$first' (a name that fits is shown whole)"

# Two radios at once on a terminal: a line a port, redrawn in place, and cleared before the
# end lines. What the terminal shows at the end comes from a small model of one (CR, LF, cursor
# up, erase below, erase to the end of the line): no progress line may be left standing.
screen() {
  awk 'BEGIN { RS = "\001" }
  {
    n = length($0); row = 0; col = 0; last = 0
    for (i = 1; i <= n; i++) {
      c = substr($0, i, 1)
      if (c == "\r") { col = 0; continue }
      if (c == "\n") { row++; if (row > last) last = row; continue }
      if (c == "\033" && substr($0, i + 1, 1) == "[") {
        j = i + 2; num = ""
        while (substr($0, j, 1) ~ /[0-9]/) { num = num substr($0, j, 1); j++ }
        op = substr($0, j, 1); i = j
        if (op == "A") { row -= (num == "" ? 1 : num + 0); if (row < 0) row = 0 }
        if (op == "J") { line[row] = substr(line[row], 1, col); for (r = row + 1; r <= last; r++) line[r] = "" }
        if (op == "K") line[row] = substr(line[row], 1, col)
        continue
      }
      while (length(line[row]) < col) line[row] = line[row] " "
      line[row] = substr(line[row], 1, col) c substr(line[row], col + 2); col++
    }
    for (r = 0; r <= last; r++) if (line[r] != "") print line[r]
  }'
}
"$radio" --port-dir "$tmp/ports" --port 2 --image-size 256 --speed 0 >radio2.log 2>&1 &
radio2_pid=$!
for _ in $(seq 50); do [[ -e ports/COM2 ]] && break; sleep 0.1; done
mkdir backups
raw=$(COLUMNS=60 TERM=xterm script -qec "replix-cli read --port 1,2 --backup-dir backups" /dev/null)
kill "$radio2_pid"
# The board is for the terminal on standard error, wherever standard output goes; radios of
# two models need no port in their backups' names.
"$radio" --port-dir "$tmp/ports" --port 4 --image-size 256 --speed 0 --model 5A170099 >radio3.log 2>&1 &
radio2_pid=$!
for _ in $(seq 50); do [[ -e ports/COM4 ]] && break; sleep 0.1; done
mkdir backups2
raw2=$(COLUMNS=60 TERM=xterm script -qec "replix-cli read --port 1,4 --backup-dir backups2 >/dev/null" /dev/null)
kill "$radio2_pid"
[[ $raw2 == *$'\e[1A'* ]] || fail "two radios, output elsewhere: no board in $(cat -v <<<"$raw2")"
names=$(cd backups2 && echo *)
[[ $names == 5A170002-????????-????.icf\ 5A170099-????????-????.icf ]] || fail "two models: $names"
[[ $raw == *"port 1: read backups: "*"port 2: read backups: "* ]] \
  || fail "two radios: a progress line missing in $(cat -v <<<"$raw")"
shown=$(printf 'the line above\n%s' "$raw" | screen)  # the board keeps to its own lines
want=$'the line above\nbackups/5A170002-*-port1.icf\nport 1: read: 8 records, 256 bytes in * s: backups/5A170002-*-port1.icf
backups/5A170002-*-port2.icf\nport 2: read: 8 records, 256 bytes in * s: backups/5A170002-*-port2.icf
read: 2 of 2 radios read'
# shellcheck disable=SC2053  # the wanted screen is a pattern: times and dates vary
[[ $shown == $want ]] || fail "two radios: the terminal ends with
$shown"

# A port another program holds (its lock on the device): the read does not start, and says so.
pts=$(readlink ports/COM1)
err=$(flock -n "$pts" replix-cli read --port 1 held.icf 2>&1)
status=$?
[[ $status == 3 && $err == "replix-cli: $pts: in use: Device or resource busy" && ! -e held.icf ]] \
  || fail "a port in use: status $status, '$err'"

# A closed standard output: the summary of a read or a verify cannot be given, and says so.
for args in "read --json --quiet json.icf" "verify --quiet short.icf"; do
  err=$(replix-cli $args --port 1 2>&1 >&-)
  status=$?
  [[ $status == 2 && $err == "replix-cli: standard output: Bad file descriptor" ]] \
    || fail "closed standard output, $args: status $status, '$err'"
done

# A port the user may not open while its group may: the group to join is named. Only root can
# give a device away to test it.
if [[ $(id -u) == 0 ]] && command -v setpriv >/dev/null; then
  chgrp dialout "$pts" && chmod 660 "$pts" && chmod 755 "$tmp"
  shown=$(setpriv --reuid=nobody --regid=nogroup --clear-groups replix-cli ports 2>&1)
  [[ $shown == *"1 $pts: not openable: Permission denied; add yourself to the dialout group"* ]] \
    || fail "a port of the dialout group: $shown"
fi

# A standard output the caller closed is no file: export says so and makes no raw file (the
# next file opened would otherwise take its number, and the values would land in it).
err=$(replix-cli export short.icf --raw closed.bin 2>&1 >&-)
status=$?
[[ $status == 2 && $err == "replix-cli: standard output: Bad file descriptor" && ! -e closed.bin ]] \
  || fail "closed standard output: status $status, '$err'"

# A remote cable's address is rfc2217:// or tcp://, a host and a port from 1, and nothing more.
mkdir addresses
n=1
for a in rfc2217://:7 rfc2217://127.0.0.1:0 'tcp://127.0.0.1:7#x' 'tcp://127.0.0.1:7?x' \
    tcp://me@127.0.0.1:7 tcp://127.0.0.1:7/x TCP://127.0.0.1:65535/; do
  echo "$a" >addresses/COM$n
  n=$((n + 1))
done
echo tcp://127.0.0.1:1 >addresses/COM32767  # the highest port number
echo tcp://127.0.0.1:1 >addresses/COM32768  # past it: no port
bad='not openable: not an address of the form rfc2217://HOST:PORT or tcp://HOST:PORT'
want="1 rfc2217://:7: $bad
2 rfc2217://127.0.0.1:0: $bad
3 tcp://127.0.0.1:7#x: $bad
4 tcp://127.0.0.1:7?x: $bad
5 tcp://me@127.0.0.1:7: $bad
6 tcp://127.0.0.1:7/x: $bad
7 TCP://127.0.0.1:65535/: address, not probed
32767 tcp://127.0.0.1:1: address, not probed"
shown=$(REPLIX_PORT_DIR=$tmp/addresses replix-cli ports)
[[ $shown == "$want" ]] || fail "addresses: ports lists
$shown"
err=$(REPLIX_PORT_DIR=/etc/hostname replix-cli ports 2>&1)
status=$?
[[ $status == 2 && $err == "replix-cli: REPLIX_PORT_DIR: /etc/hostname: Not a directory" ]] \
  || fail "a port folder that is a file: status $status, '$err'"
mkdir no-ports
err=$(REPLIX_PORT_DIR=$tmp/no-ports replix-cli ports 2>&1)
status=$?
[[ $status == 1 && $err == "replix-cli: no serial ports" ]] || fail "no ports: status $status, '$err'"

((failures == 0)) || { echo "$failures problem(s)"; exit 1; }
echo "ok"

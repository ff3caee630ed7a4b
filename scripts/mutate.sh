#!/usr/bin/env bash
# Mutation check of the test suite: applies each deliberate fault of scripts/mutations.txt in
# turn to a scratch copy of the tree, rebuilds the test programs, runs them and tells whether
# some test failed (the fault is caught) or all passed (it SURVIVED). Run by hand, not by CI.
#
# Usage: scripts/mutate.sh [options] [number|range|file-fragment ...]
#   3 7-9            only these mutations (numbers as --list shows them)
#   readhandler      only the mutations of files whose path contains this text
#   -l, --list       print the numbered mutations and whether each fragment is found; no build.
#                    A fragment found more than 20 lines after its anchor is marked "far": the
#                    code it was written for has likely moved, and it may mutate something else
#   -t SECONDS       time limit of the suite's run for one mutation (default 180); a run cut
#                    off by it, or a test ctest stops at its own time-out, is "timed out":
#                    counted apart, never as caught (under load a slow run is no failing test)
#   -j N             tests run at once (default 2)
#   -w FOLDER        scratch folder: source copy and build, kept between runs for speed
#                    (default /tmp/replix-mutate-<user>)
#   -m FILE          the mutation list (default scripts/mutations.txt)
#   --no-baseline    skip the run of the unchanged suite (it must pass, or every mutation
#                    would look caught)
#   -r FILE          also write one line per mutation to FILE: number, verdict (caught,
#                    survived, timed-out, stillborn, n/a), test, test function, seconds (tabs)
#
# The tree itself is never touched: the scratch copy is refreshed from it (tracked and
# untracked files, .gitignore respected) at every start. Each mutation is undone in the copy
# before the next one and when the script is interrupted.
#
# Per mutation it prints one line: caught (a test failed or crashed: the first failing test and
# its failing function), SURVIVED (every test passed), TIMED OUT (cut off by the time limit
# before any test failed), n/a (fragment not found, or found more than once), or stillborn
# (does not build; not counted); then "N caught, N survived, N timed out, N n/a, N stillborn"
# and exits non-zero when anything survived, timed out, was n/a or did not build. The package check is not run (REPLIX_MUTATE_EXCLUDE, a ctest regular
# expression, default ^package$).
#
# Speed: the copy keeps its build folder, so a mutation recompiles one file (ccache when
# installed) and relinks the test programs. The tests likely to catch the fault run first,
# built alone and run as ctest would, each stopped at its first failing function: the test
# that caught it on the previous run, else the tests of its folder. The rest of the suite is
# built and run (ctest, stopping at the first failure) only when those pass. Every test
# process gets at most 4 GB of address space, so a mutant that loops allocating dies alone.
set -uo pipefail
{  # read whole before it runs: editing the script meanwhile cannot change a run

root=$(cd "$(dirname "$0")/.." && pwd)
list_file=$root/scripts/mutations.txt
work=/tmp/replix-mutate-$(id -un)
limit=180
memory=4000000   # KiB of address space per test process: a mutant that loops allocating dies alone
jobs=2
far_lines=20   # an anchored fragment further down than this is reported by --list
baseline=1
list_only=0
results=''
selectors=()
exclude=${REPLIX_MUTATE_EXCLUDE:-^package\$}

while (($#)); do
  case $1 in
    -l|--list) list_only=1 ;;
    -t) limit=$2; shift ;;
    -j) jobs=$2; shift ;;
    -w) work=$2; shift ;;
    -m) list_file=$(realpath "$2"); shift ;;
    -r) results=$(realpath "$2"); : >"$results"; shift ;;
    --no-baseline) baseline=0 ;;
    -h|--help) sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) selectors+=("$1") ;;
  esac
  shift
done

# ---- the list --------------------------------------------------------------------------------
# Entries are blocks of "key: value" lines, separated by blank lines; # starts a comment line.
#   file:  path from the top of the tree
#   after: (optional) a unique fragment; find matches its first occurrence after this one
#   find:  the exact text to replace (one line or part of one); unique in the file, or after
#          the anchor
#   line:  (optional) N or N-M: then find is the whole of line N (less leading and trailing
#          white space), and lines N to M are replaced by into, indented as line N was; no
#          fragment need be unique (the generated mutants of scripts/mutants.py use it)
#   into:  the replacement (may be empty: the fragment is deleted)
#   fault: what the mutation stands for
m_file=() m_after=() m_find=() m_into=() m_fault=() m_line=()
parse_list() {
  local line key value n=-1 in_block=0
  while IFS= read -r line || [[ -n $line ]]; do
    [[ $line =~ ^[[:space:]]*# ]] && continue
    if [[ $line =~ ^[[:space:]]*$ ]]; then in_block=0; continue; fi
    if [[ ! $line =~ ^(file|after|find|into|fault|line):(.*)$ ]]; then
      echo "mutations.txt: cannot read line: $line" >&2; exit 2
    fi
    key=${BASH_REMATCH[1]}
    value=${BASH_REMATCH[2]}
    value=${value#"${value%%[![:space:]]*}"}   # leading white space
    value=${value%"${value##*[![:space:]]}"}   # trailing white space
    if ((!in_block)); then
      in_block=1; n=$((n + 1))
      m_file[n]='' m_after[n]='' m_find[n]='' m_into[n]='' m_fault[n]='' m_line[n]=''
    fi
    case $key in
      file) m_file[n]=$value ;; after) m_after[n]=$value ;; find) m_find[n]=$value ;;
      into) m_into[n]=$value ;; fault) m_fault[n]=$value ;; line) m_line[n]=$value ;;
    esac
  done < "$list_file"
  local i
  for i in "${!m_file[@]}"; do
    if [[ -z ${m_file[i]} || -z ${m_find[i]} ]]; then
      echo "mutations.txt: entry $((i + 1)) lacks file: or find:" >&2; exit 2
    fi
    if [[ -n ${m_line[i]} && ! ${m_line[i]} =~ ^[0-9]+(-[0-9]+)?$ ]]; then
      echo "mutations.txt: entry $((i + 1)): line: must be N or N-M" >&2; exit 2
    fi
  done
}

# Is mutation i chosen by the selectors?
selected() {
  local i=$1 number=$(($1 + 1)) s
  ((${#selectors[@]} == 0)) && return 0
  for s in "${selectors[@]}"; do
    if [[ $s =~ ^([0-9]+)-([0-9]+)$ ]]; then
      ((number >= BASH_REMATCH[1] && number <= BASH_REMATCH[2])) && return 0
    elif [[ $s =~ ^[0-9]+$ ]]; then
      ((number == s)) && return 0
    elif [[ ${m_file[i]} == *"$s"* ]]; then
      return 0
    fi
  done
  return 1
}

# mutate_lines i SOURCE-FILE: mutate_text for an entry with line: N or N-M.
mutate_lines() {
  local i=$1 path=$2 first last have indent k
  local -a lines
  first=${m_line[i]%-*} last=${m_line[i]#*-}
  mapfile -t lines <"$path"
  ((first >= 1 && last >= first && last <= ${#lines[@]})) || { echo "line ${m_line[i]} is not in the file"; return 1; }
  have=${lines[first - 1]}
  indent=${have%%[![:space:]]*}
  have=${have#"$indent"}
  have=${have%"${have##*[![:space:]]}"}
  [[ $have == "${m_find[i]}" ]] || { echo "line $first no longer reads as written"; return 1; }
  mutated=''
  for ((k = 0; k < first - 1; k++)); do mutated+=${lines[k]}$'\n'; done
  mutated+=$indent${m_into[i]}$'\n'
  for ((k = last; k < ${#lines[@]}; k++)); do mutated+=${lines[k]}$'\n'; done
  return 0
}

# mutate i SOURCE-FILE OUT-VARIABLE: the mutated text in OUT, or a reason on stdout and false.
mutate_text() {
  local i=$1 path=$2 text head rest count
  if [[ ! -f $path ]]; then echo "file not found"; return 1; fi
  distance=0
  if [[ -n ${m_line[i]} ]]; then
    mutate_lines "$i" "$path"; return
  fi
  text=$(cat "$path"; printf x); text=${text%x}
  head='' rest=$text
  if [[ -n ${m_after[i]} ]]; then
    [[ $rest == *"${m_after[i]}"* ]] || { echo "anchor not found"; return 1; }
    head=${rest%%"${m_after[i]}"*}${m_after[i]}
    rest=${rest#*"${m_after[i]}"}
    [[ $rest == *"${m_after[i]}"* ]] && { echo "anchor found more than once"; return 1; }
  fi
  [[ $rest == *"${m_find[i]}"* ]] || { echo "fragment not found"; return 1; }
  distance=0
  if [[ -n ${m_after[i]} ]]; then
    local between=${rest%%"${m_find[i]}"*}
    between=${between//[!$'\n']/}
    distance=${#between}
  fi
  if [[ -z ${m_after[i]} ]]; then
    count=${rest#*"${m_find[i]}"}
    [[ $count == *"${m_find[i]}"* ]] && { echo "fragment found more than once"; return 1; }
  fi
  mutated=$head${rest/"${m_find[i]}"/"${m_into[i]}"}
  return 0
}

parse_list
count=${#m_file[@]}

if ((list_only)); then
  for ((i = 0; i < count; i++)); do
    selected "$i" || continue
    if reason=$(mutate_text "$i" "$root/${m_file[i]}"); then
      state=ok
      # distance is set in the subshell only: measure it again here
      mutate_text "$i" "$root/${m_file[i]}" >/dev/null
      ((distance > far_lines)) && state="far: fragment $distance lines after its anchor"
    else
      state="n/a: $reason"
    fi
    printf '%3d  %-28s %s  [%s]\n' $((i + 1)) "${m_file[i]}" "${m_fault[i]}" "$state"
  done
  exit 0
fi

# ---- the scratch copy ------------------------------------------------------------------------
src=$work/src
build=$work/build
log=$work/log
mkdir -p "$src" "$build" "$log"
cache=$work/caught-by   # "<file>|<find>|<into><TAB><test>" of the previous runs

current=''    # the file of the copy that is mutated now, if any
ctest_pid=''
restore() {
  if [[ -n $current ]]; then
    # From the copy taken before the mutation (the tree may change during a run), with a fresh
    # time stamp, so the build sees the file changed back.
    cp "$work/unmutated" "$src/$current"
    current=''
  fi
}
stop_ctest() {
  if [[ -n $ctest_pid ]]; then
    kill -TERM -- "-$ctest_pid" 2>/dev/null
    sleep 1
    kill -KILL -- "-$ctest_pid" 2>/dev/null
    ctest_pid=''
  fi
}
exec 3>&2   # the terminal, for the notice of an interruption that comes while stderr is redirected
trap 'stop_ctest; restore' EXIT
trap 'echo " interrupted" >&3; exit 130' INT TERM

sync_copy() {
  local f
  declare -A wanted=()
  while IFS= read -r -d '' f; do
    [[ -f $root/$f ]] || continue
    wanted[$f]=1
    if ! cmp -s "$root/$f" "$src/$f"; then
      mkdir -p "$(dirname "$src/$f")"
      cp "$root/$f" "$src/$f"
    fi
  done < <(cd "$root" && git ls-files -z --cached --others --exclude-standard)
  while IFS= read -r -d '' f; do
    f=${f#./}
    [[ -n ${wanted[$f]:-} ]] || rm -f "$src/$f"
  done < <(cd "$src" && find . -type f -print0)
}
sync_copy

cmake_args=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
            -DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2\ -DNDEBUG)   # as built for use, less the debug info
command -v ccache >/dev/null && cmake_args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
command -v ld.lld >/dev/null && cmake_args+=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld)
if ! cmake -S "$src" -B "$build" "${cmake_args[@]}" >"$log/configure" 2>&1; then
  cat "$log/configure" >&2; echo "configure failed" >&2; exit 2
fi

# Without its servers the remote cable's test skips, and faults of the network code that only
# it sees would be reported survived: they are unpacked into the scratch build as well.
if ! "$root/scripts/fetch-peers.sh" "$build" >"$log/peers" 2>&1; then
  cat "$log/peers" >&2; echo "warning: ser2net and sredird are missing; the remote cable's tests will skip" >&2
fi

# The tests ctest runs, read from the CTest files (which name the programs before they are
# built): the programs to build (the build-folder paths in the command), the folder the test
# runs in, its environment and its command.
declare -A target_of=() dir_of=() env_of=() command_of=()
tests=()
while IFS=$'\t' read -r name targets dir environment command; do
  tests+=("$name")
  target_of[$name]=$targets dir_of[$name]=$dir env_of[$name]=$environment command_of[$name]=$command
done < <(find "$build" -name CTestTestfile.cmake -print0 | python3 -c '
import os, re, shlex, sys
build = os.path.realpath(sys.argv[1]); exclude = re.compile(sys.argv[2])
for path in sys.stdin.read().split("\0"):
    if not path:
        continue
    text = open(path).read()
    for m in re.finditer(r"^add_test\(\[=\[(.+?)\]=\] (.*)\)$", text, re.M):
        name, command = m.group(1), shlex.split(m.group(2))
        if exclude.search(name):
            continue
        props = re.search(r"^set_tests_properties\(\[=\[" + re.escape(name) + r"\]=\] PROPERTIES (.*)\)$",
                          text, re.M)
        props = shlex.split(props.group(1)) if props else []
        values = dict(zip(props[0::2], props[1::2]))
        environment = values.get("ENVIRONMENT", "").split(";")
        targets = [os.path.basename(a) for a in command
                   if os.path.realpath(a).startswith(build + "/")]
        print("\t".join([name, " ".join(targets),
                         values.get("WORKING_DIRECTORY", os.path.dirname(path)),
                         shlex.join(e for e in environment if e), shlex.join(command)]))
' "$build" "$exclude")
((${#tests[@]})) || { echo "ctest lists no tests" >&2; exit 2; }

targets_for() {   # the build targets of the named tests
  local t out=()
  for t in "$@"; do out+=(${target_of[$t]}); done
  printf '%s\n' "${out[@]}" | sort -u
}

build_tests() {   # build_tests LOG TEST...
  local logf=$1; shift
  local targets
  mapfile -t targets < <(targets_for "$@")
  ((${#targets[@]})) || return 0
  nice -n 10 cmake --build "$build" --target "${targets[@]}" >"$logf" 2>&1
}

# watch PID DEADLINE LOG [PATTERN]: waits for the process group PID to end; ends it early at
# the deadline or, with a pattern, as soon as the log shows it. Status: the process's, or 124
# at the deadline.
watch() {
  local pid=$1 deadline=$2 logf=$3 pattern=${4:-} status
  ctest_pid=$pid
  while kill -0 "$pid" 2>/dev/null; do
    # A failure already in the log counts, even when the time limit has come meanwhile.
    if [[ -n $pattern ]] && grep -qsE "$pattern" "$logf"; then
      stop_ctest; wait "$pid" 2>/dev/null; return 1
    fi
    if ((SECONDS >= deadline)); then stop_ctest; wait "$pid" 2>/dev/null; return 124; fi
    sleep 0.5
  done
  wait "$pid" 2>/dev/null; status=$?
  ctest_pid=''
  return "$status"
}

first_failure() {   # the failing test function in a log
  grep -m1 -oE '^FAIL! +: [A-Za-z_]+::[A-Za-z_0-9]+(\([^)]*\))?' "$1" | sed -E 's/^FAIL! +: [A-Za-z_]+:://'
}

# run_one LOG DEADLINE TEST: runs the test program itself as ctest would, and stops it at its
# first failing function. True when it passes; sets failed_test and failed_function.
run_one() {
  local logf=$1 deadline=$2 t=$3 status
  local -a environment command
  run_verdict=caught
  eval "environment=(${env_of[$t]})"
  eval "command=(${command_of[$t]})"
  (cd "${dir_of[$t]}" && ulimit -v "$memory" && exec setsid nice -n 10 env "${environment[@]}" "${command[@]}") \
    >"$logf" 2>&1 &
  watch $! "$deadline" "$logf" '^FAIL!' 2>/dev/null; status=$?  # no job notices on the terminal
  ((status == 0)) && return 0
  failed_test=$t
  failed_function=$(first_failure "$logf")
  if ((status == 124)) && [[ -n $failed_function ]]; then
    :   # a test function failed before the process was stopped: a failing test all the same
  elif ((status == 124)); then
    run_verdict=timedout
    failed_function="time limit"
  elif [[ -z $failed_function ]] && ((status > 128)); then
    failed_function="killed by signal $((status - 128))"
  fi
  return 1
}

# run_tests LOG DEADLINE TEST...: the tests through ctest, stopping at the first failure.
run_tests() {
  local logf=$1 deadline=$2; shift 2
  local regex status
  run_verdict=caught
  regex="^($(IFS='|'; echo "$*"))\$"
  (ulimit -v "$memory" && exec setsid nice -n 10 ctest --test-dir "$build" -R "$regex" -j "$jobs" \
     --stop-on-failure --output-on-failure) >"$logf" 2>&1 &
  watch $! "$deadline" "$logf" 2>/dev/null; status=$?
  ((status == 0)) && return 0
  failed_test=$(grep -m1 -oE 'Test +#[0-9]+: [^ ]+ \.+\**(Failed|Timeout|Exception|Not Run|Subprocess)' \
                  "$logf" | sed -E 's/Test +#[0-9]+: ([^ ]+) .*/\1/')
  failed_function=$(first_failure "$logf")
  if ((status == 124)); then
    run_verdict=timedout
    failed_test='(time limit)'
  elif grep -qE 'Test +#[0-9]+: [^ ]+ \.+\**Timeout' "$logf"; then
    run_verdict=timedout   # ctest's own time-out of one test: a hang, not a failing test
  elif [[ -z $failed_test ]]; then
    failed_test='(ctest failed)'
  fi
  return 1
}

# The tests to try first: the one that caught the mutation last time, then those of its folder.
hint_tests() {
  local file=$1 key=$2 t known
  known=$(awk -F'\t' -v k="$key" '$1 == k { print $2 }' "$cache" 2>/dev/null | tail -n 1)
  local names=()
  [[ -n $known ]] && names+=("$known")
  case $file in
    link/framecodec*|link/hextext*|link/commstxt*|link/commevents*) names+=(link) ;;
    link/*) names+=(transfer window) ;;
    transfer/*) names+=(transfer faults) ;;
    image/*) names+=(image transfer) ;;
    serial/*) names+=(serial window) ;;
    app/*) names+=(window transfer) ;;
    cli/*) names+=(cli) ;;
  esac
  for t in "${names[@]}"; do
    [[ -n ${target_of[$t]+x} ]] && echo "$t"
  done | awk '!seen[$0]++' | head -n 2
}

start=$SECONDS
if ((baseline)); then
  echo "Building and running the unchanged suite in $work ..."
  if ! build_tests "$log/baseline-build" "${tests[@]}"; then
    tail -n 30 "$log/baseline-build" >&2; echo "the unchanged tree does not build" >&2; exit 2
  fi
  if ! run_tests "$log/baseline" $((SECONDS + 1800)) "${tests[@]}"; then
    echo "the unchanged suite fails ($failed_test $failed_function): see $log/baseline" >&2
    exit 2
  fi
  echo "unchanged suite passes ($((SECONDS - start)) s)"
fi

caught=0 survived=0 timedout=0 na=0 broken=0
record() {   # record NUMBER VERDICT TEST FUNCTION SECONDS: a line of the results file
  [[ -n $results ]] && printf '%s\t%s\t%s\t%s\t%s\n' "$@" >>"$results"
  return 0
}
survivors=() timeouts=()
for ((i = 0; i < count; i++)); do
  selected "$i" || continue
  number=$((i + 1))
  file=${m_file[i]}
  label=$(printf '%3d %-28s %s' "$number" "$file" "${m_fault[i]}")
  t0=$SECONDS
  if ! reason=$(mutate_text "$i" "$src/$file"); then
    echo "$label: n/a ($reason)"; na=$((na + 1)); record "$number" n/a '' '' 0; continue
  fi
  mutate_text "$i" "$src/$file" >/dev/null
  cp "$src/$file" "$work/unmutated"
  current=$file
  printf '%s' "$mutated" >"$src/$file"

  key="$file|${m_find[i]}|${m_into[i]}"
  mapfile -t first < <(hint_tests "$file" "$key")
  rest=()
  for t in "${tests[@]}"; do
    [[ " ${first[*]} " == *" $t "* ]] || rest+=("$t")
  done
  deadline=$((SECONDS + limit))
  verdict=survived
  for group in first rest; do
    if [[ $group == first ]]; then names=("${first[@]}"); else names=("${rest[@]}"); fi
    ((${#names[@]})) || continue
    if ! build_tests "$log/$number-build" "${names[@]}"; then verdict=broken; break; fi
    if [[ $group == first ]]; then
      for t in "${names[@]}"; do
        if ! run_one "$log/$number-$t" "$deadline" "$t"; then verdict=$run_verdict; break 2; fi
      done
    elif ! run_tests "$log/$number-rest" "$deadline" "${names[@]}"; then
      verdict=$run_verdict; break
    fi
  done
  restore
  took=$((SECONDS - t0))
  case $verdict in
    caught)
      caught=$((caught + 1))
      how=$failed_test${failed_function:+ ($failed_function)}
      echo "$label: caught by $how [${took}s]"
      record "$number" caught "$failed_test" "$failed_function" "$took"
      [[ $failed_test == \(* ]] || printf '%s\t%s\n' "$key" "$failed_test" >>"$cache" ;;
    timedout)
      timedout=$((timedout + 1)); timeouts+=("$number")
      echo "$label: TIMED OUT in $failed_test${failed_function:+ ($failed_function)} [${took}s]"
      record "$number" timed-out "$failed_test" "$failed_function" "$took" ;;
    survived)
      survived=$((survived + 1)); survivors+=("$number")
      echo "$label: SURVIVED [${took}s]"
      record "$number" survived '' '' "$took" ;;
    broken)
      broken=$((broken + 1))
      echo "$label: stillborn, does not build (see $log/$number-build)"
      record "$number" stillborn '' '' "$took" ;;
  esac
done

echo "$caught caught, $survived survived, $timedout timed out, $na n/a, $broken stillborn" \
     "($((SECONDS - start)) s)${survivors[*]:+; survived: ${survivors[*]}}${timeouts[*]:+; timed out: ${timeouts[*]}}"
((survived == 0 && timedout == 0 && na == 0 && broken == 0))
exit
}

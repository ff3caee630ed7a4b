#!/usr/bin/env python3
"""Which tests run which lines of the program: a map for scripts/mutants.py.

Usage: scripts/testmap.py [-w FOLDER] [-b BUILD] [-o MAP]

Builds the tree with gcc's coverage counters in FOLDER/build (default
/tmp/replix-testmap-<user>), then runs every test that ctest knows one unit at a time: a row of
a data-driven test function, a test function without rows, or a whole test that is no QtTest
program (the shell test). After each unit gcov tells which lines of app/ link/ transfer/ image/
serial/ cli/ ran. MAP (default FOLDER/testmap.json) holds, for every line the compiler counts,
the units that ran it (none: no test runs the line), and each unit's command and time.

A mutant of a line no unit runs cannot fail a test; a mutant of a line some units run can fail
only those (up to what the line's static data do at start-up, which every unit runs). So
mutants.py --map MAP runs only those units, quickest first, and a line no unit runs is a
survivor once the mutant builds. A line the compiler does not count (a declaration, a constant
table) has no entry and gets the whole suite as before. Make the map again after the tests
change: a unit that no longer exists fails, and a new test is not in it.
"""

import argparse
import gzip
import hashlib
import json
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDERS = ("app", "link", "transfer", "image", "serial", "cli")
EXCLUDE = "package"  # builds a Debian package: slow, and runs nothing the others do not


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


def ctest_tests(build):
    shown = run(["ctest", "--test-dir", build, "--show-only=json-v1"], check=True)
    tests = []
    for t in json.loads(shown.stdout)["tests"]:
        if t["name"] == EXCLUDE:
            continue
        env, cwd = {}, build
        for p in t.get("properties", []):
            if p["name"] == "ENVIRONMENT":
                env.update(v.split("=", 1) for v in p["value"])
            elif p["name"] == "WORKING_DIRECTORY":
                cwd = p["value"]
        tests.append({"name": t["name"], "command": t["command"], "env": env, "cwd": cwd})
    return tests


def units_of(test):
    """A QtTest program's rows and row-less functions; any other test is one unit."""
    program = test["command"][0]
    # A test that names its functions itself (the window at another DPI) is one unit.
    if not os.path.basename(program).startswith("test_") or len(test["command"]) > 1:
        return [None]
    env = dict(os.environ, **test["env"])
    tags = run([program, "-datatags"], env=env, cwd=test["cwd"]).stdout.split("\n")
    units = []
    for row in tags:
        parts = row.split(" ", 2)
        if len(parts) >= 2:
            units.append(parts[1] + (":" + parts[2] if len(parts) == 3 else ""))
    return units


def clear_counters(build):
    for folder, _, files in os.walk(build):
        for f in files:
            if f.endswith(".gcda"):
                os.unlink(os.path.join(folder, f))


def lines_run(build, scratch):
    """{path: {line: count}} of the program's files, from the counters on disk."""
    counts = {}
    data = [os.path.join(folder, f) for folder, _, files in os.walk(build) for f in files
            if f.endswith(".gcda")]
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    if not data:
        return counts
    run(["gcov", "-j", "-p", *data], cwd=scratch)
    for name in os.listdir(scratch):
        if not name.endswith(".gcov.json.gz"):
            continue
        with gzip.open(os.path.join(scratch, name), "rt") as f:
            report = json.load(f)
        for entry in report.get("files", []):
            path = os.path.relpath(os.path.realpath(os.path.join(report.get(
                "current_working_directory", ""), entry["file"])), ROOT)
            if not path.startswith(tuple(f + "/" for f in FOLDERS)):
                continue
            into = counts.setdefault(path, {})
            for line in entry["lines"]:
                into[line["line_number"]] = into.get(line["line_number"], 0) + line["count"]
    return counts


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("-w", dest="work", default=f"/tmp/replix-testmap-{os.getuid()}")
    parser.add_argument("-o", dest="out")
    parser.add_argument("-b", dest="build", help="the coverage build (default FOLDER/build)")
    args = parser.parse_args()
    build = os.path.abspath(args.build or os.path.join(args.work, "build"))
    out = args.out or os.path.join(args.work, "testmap.json")
    os.makedirs(args.work, exist_ok=True)
    # The map holds for the files as they are when the build starts; mutants.py checks each
    # file against this.
    digests = {}
    for folder in FOLDERS:
        for base, _, files in os.walk(os.path.join(ROOT, folder)):
            for name in files:
                full = os.path.join(base, name)
                with open(full, "rb") as f:
                    digests[os.path.relpath(full, ROOT)] = hashlib.sha1(f.read()).hexdigest()
    configure = ["cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug",
                 "-DCMAKE_CXX_FLAGS=--coverage -O0", "-DCMAKE_EXE_LINKER_FLAGS=--coverage"]
    for step in (configure, ["cmake", "--build", build]):
        done = run(step)
        if done.returncode != 0:
            sys.exit(f"testmap.py: {' '.join(step[:2])} failed:\n{done.stdout[-3000:]}"
                     f"{done.stderr[-3000:]}")
    # The remote cable's tests need the peers (ser2net, sredird) that scripts/setup.sh fetches
    # into the main build; without them those tests skip, and what only they run looks
    # untested.
    peers = os.path.join(ROOT, "build", "peers")
    if os.path.isdir(peers) and not os.path.exists(os.path.join(build, "peers")):
        os.symlink(peers, os.path.join(build, "peers"))
    units, lines = [], {}
    for test in ctest_tests(build):
        for unit in units_of(test):
            clear_counters(build)
            command = test["command"] + ([unit] if unit else [])
            began = time.monotonic()
            done = run(command, env=dict(os.environ, **test["env"]), cwd=test["cwd"],
                       timeout=600)
            took = time.monotonic() - began
            index = len(units)
            units.append({"test": test["name"], "unit": unit, "command": command,
                          "env": test["env"], "cwd": test["cwd"], "seconds": round(took, 2),
                          "passed": done.returncode == 0})
            if done.returncode != 0:
                print(f"testmap.py: {test['name']} {unit or ''} fails unchanged", file=sys.stderr)
            for path, counted in lines_run(build, os.path.join(args.work, "gcov")).items():
                into = lines.setdefault(path, {})
                for line, count in counted.items():
                    into.setdefault(str(line), [])
                    if count > 0:
                        into[str(line)].append(index)
            print(f"{index + 1:4d} {test['name']} {unit or ''} [{took:.1f}s]", flush=True)
    digests = {path: d for path, d in digests.items() if path in lines}
    with open(out, "w", encoding="utf-8") as f:
        json.dump({"root": ROOT, "build": build, "units": units, "lines": lines, "files": digests}, f)
    counted = sum(len(v) for v in lines.values())
    unrun = sum(1 for v in lines.values() for u in v.values() if not u)
    print(f"{len(units)} units; {counted} lines counted, {unrun} run by no test; map: {out}")


if __name__ == "__main__":
    main()

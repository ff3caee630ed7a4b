#!/usr/bin/env bash
# Builds everything and runs the whole test suite, headless: once as built for use (g++), once
# more built by clang under AddressSanitizer and UndefinedBehaviorSanitizer with leak checking
# (the same build carries the fuzzers' coverage), then each fuzzer for a bounded time
# (REPLIX_FUZZ_SECONDS, default 30); clang-tidy, when installed, before the fuzzers. lintian is
# installed so that the package check runs it.
set -euo pipefail
cd "$(dirname "$0")"
export QT_QPA_PLATFORM=offscreen

REPLIX_EXTRA_PACKAGES="clang libclang-rt-14-dev lintian clang-format" scripts/setup.sh build
# The house style (.clang-format) holds for every C++ file; any difference fails.
echo "== clang-format over $(git ls-files '*.cpp' '*.h' | wc -l) files"
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror

summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
ctest --test-dir build --output-on-failure -j2 | tee "$summary"

scripts/setup.sh build-asan -DCMAKE_CXX_COMPILER=clang++ -DREPLIX_FUZZ=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j2

# Static analysis of the program's sources with the checks in .clang-tidy, two files at a time;
# any warning fails. Skipped where clang-tidy is not installed.
if command -v clang-tidy >/dev/null; then
  sources=$(ls app/*.cpp link/*.cpp transfer/*.cpp image/*.cpp serial/*.cpp tools/*.cpp \
                cli/*.cpp 2>/dev/null || true)
  echo "== clang-tidy over $(echo "$sources" | wc -l) files"
  echo "$sources" | xargs -P2 -n1 clang-tidy -p build-asan --quiet
fi

REPLIX_FUZZ_BUILD_DIR=build-asan fuzz/run.sh "${REPLIX_FUZZ_SECONDS:-30}"

# The suite's verdict again, last, for whoever reads only the end.
grep -E 'tests passed|tests failed' "$summary" | tail -n 1

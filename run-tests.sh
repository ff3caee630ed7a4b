#!/usr/bin/env bash
# Builds everything and runs the whole test suite, headless: once as built for use, once more
# under AddressSanitizer and UndefinedBehaviorSanitizer (leak checking on).
set -euo pipefail
cd "$(dirname "$0")"
export QT_QPA_PLATFORM=offscreen

scripts/setup.sh build
ctest --test-dir build --output-on-failure -j2

scripts/setup.sh build-asan -DREPLIX_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j2

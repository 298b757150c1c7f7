#!/usr/bin/env bash
# Sets up, builds the suite with AddressSanitizer and UndefinedBehaviorSanitizer (and the concurrency
# tests with ThreadSanitizer) and runs it, then runs each fuzz harness for a few seconds; fails on any
# test failure, sanitizer report or fuzzer finding.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
# Leaks inside the OpenGL driver libraries (never the project's own code) are not reported.
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
"$root/scripts/build.sh" build-asan -DANIMATOR_SANITIZE=address
"$root/scripts/build.sh" build-tsan -DANIMATOR_SANITIZE=thread -DANIMATOR_TSAN_ONLY=ON
status=0
(cd "$root/build-asan" && ctest --output-on-failure -j2 --timeout 600) || status=1
(cd "$root/build-tsan" && ctest --output-on-failure -L tsan --timeout 600) || status=1
# Every fuzz harness for a short smoke run (a clang build of the harnesses alone, in build-fuzz), with a
# fixed seed so that a run repeats what the last one tried; longer runs go through scripts/fuzz.sh.
FUZZ_FLAGS="${FUZZ_FLAGS:--seed=1}" "$root/scripts/fuzz.sh" 10 || status=1
exit $status

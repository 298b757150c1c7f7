#!/usr/bin/env bash
# Builds the fuzz harnesses with clang under AddressSanitizer and UndefinedBehaviorSanitizer and runs each
# for SECONDS (default 60), from seeds out of data/ and the saved regression inputs, with the dictionary
# of the Lua keys. Usage: scripts/fuzz.sh [seconds] [harness...]
# Corpora grow under build-fuzz/corpus/<harness>; a crash leaves its input in build-fuzz/crashes/<harness>
# (keep it under fuzz/regressions/<harness>/ once it is mended: ctest replays those).
# FUZZ_FLAGS adds libFuzzer flags to every run (FUZZ_FLAGS=-runs=1000000 stops a run at that count).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}; shift || true
"$root/scripts/setup.sh"
build="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DANIMATOR_FUZZ=ON \
  -DANIMATOR_BUILD_BENCH=OFF >/dev/null
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  harnesses=(clip_descriptor skeleton_lua blend_space override graph route_planner model_config
             assbin_clip assbin_skeleton assbin_mesh)
fi
if ! cmake --build "$build" -j"$(nproc)" --target "${harnesses[@]/#/fuzz_}" >"$build/build.log" 2>&1; then
  cat "$build/build.log" >&2; exit 1
fi

seeds() {  # the sample files a harness starts from
  local d="$root/data"
  case "$1" in
    clip_descriptor) ls "$d"/animations/biped_lua/*.lua ;;
    skeleton_lua) ls "$d"/animations/*.skel ;;
    blend_space) ls "$d"/animations/*/blend_space/*.lua ;;
    override) ls "$d"/animations/*/override/*.lua ;;
    graph) ls "$d"/animations/*/graph/*.lua ;;
    route_planner) ls "$d"/animations/*/route_planner.lua ;;
    model_config) ls "$d"/models/*.chanimgpu ;;
    assbin_clip) ls "$d"/animations/biped/*.assbin ;;
    assbin_skeleton) ls "$d"/animations/*.anim ;;
    assbin_mesh) ls "$d"/models/*/*.assbin ;;
  esac
}

# A 32 MiB quarantine (256 MiB by default) still holds many inputs' worth of freed memory for the
# use-after-free check, and keeps the harnesses that make a fresh manager or model per input from
# touching new pages all the time (two to three times the executions per second).
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:quarantine_size_mb=32
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Lua data files run under lower bounds than the host's (100 million instructions, 256 MiB): an input
# that runs to them then costs milliseconds rather than a minute under the sanitizers, and the loaders
# meet the same errors.
export ORN_LUA_RUN_INSTRUCTIONS=${ORN_LUA_RUN_INSTRUCTIONS:-2000000} ORN_LUA_RUN_BYTES=${ORN_LUA_RUN_BYTES:-33554432}
status=0
for h in "${harnesses[@]}"; do
  corpus="$build/corpus/$h"; crashes="$build/crashes/$h"
  mkdir -p "$corpus" "$crashes"
  for f in $(seeds "$h"); do cp -n "$f" "$corpus/" 2>/dev/null || true; done
  regressions=()
  [ -d "$root/fuzz/regressions/$h" ] && regressions=("$root/fuzz/regressions/$h")
  echo "== $h: ${seconds}s"
  # The unit timeout leaves room for a Lua file that allocates on every instruction up to its bound.
  if ! "$build/bin/fuzz_$h" -max_total_time="$seconds" -timeout=120 -rss_limit_mb=4096 -max_len=262144 \
      -dict="$root/fuzz/lua.dict" -artifact_prefix="$crashes/" -print_final_stats=1 \
      ${FUZZ_FLAGS:-} "$corpus" "${regressions[@]}" 2>"$build/$h.log"; then
    status=1
    echo "   found a crash: see $build/$h.log and $crashes"
  fi
  { grep -E "stat::number_of_executed_units|stat::peak_rss_mb|cov:" "$build/$h.log" || true; } | tail -3 | sed 's/^/   /'
done
exit $status

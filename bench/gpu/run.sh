#!/usr/bin/env bash
# Builds the benchmarks and times the animation compute passes on the machine's GPU (OpenGL 4.5
# through EGL, the device found by EGL device enumeration) for 1,000, 10,000 and 100,000 characters
# of the sample biped, and draws whole frames of 1,000 and 10,000 skinned characters at 640x360
# (bench_render's BM_GlFrame). Prints milliseconds per frame.
#   bench/gpu/run.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
dir=${1:-build-gpu}
if ! command -v cmake >/dev/null || ! dpkg-query -W libbenchmark-dev >/dev/null 2>&1; then "$root/scripts/setup.sh"; fi
cmake -S "$root" -B "$root/$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/$dir" -j"$(nproc)" --target bench_compute_gl bench_render
ANIMATOR_BENCH_GPU=1 "$root/$dir/bin/bench_compute_gl" --benchmark_counters_tabular=true
ANIMATOR_BENCH_GPU=1 "$root/$dir/bin/bench_render" --benchmark_filter=BM_GlFrame

#!/usr/bin/env bash
# Prepares a machine to run the benchmarks (`npm run bench`), then builds what
# they run. Idempotent and quick when nothing is missing:
#   1. the regular build set-up (scripts/setup.sh: build dependencies, npm
#      dev dependencies, the addon in build/), which also installs the
#      command-line tools the benchmark runs side by side with Segue (sox,
#      rubberband-cli, ffmpeg) from Debian when missing;
#   2. the Google Benchmark cases and the stretch-quality report, configured
#      (Release) and built into build-bench/.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

# The peer tools come from Debian like the build dependencies do.
bash scripts/setup.sh sox rubberband-cli ffmpeg

# Two cores are usual here: build with at most two jobs.
jobs=$(($(nproc) < 2 ? $(nproc) : 2))
generator=()
if [[ ! -f build-bench/CMakeCache.txt ]] && command -v ninja >/dev/null; then generator=(-G Ninja); fi
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DSEGUE_BUILD_BENCH=ON -DSEGUE_BUILD_TESTS=OFF \
  -DSEGUE_BUILD_ADDON=OFF "${generator[@]}" >/dev/null
cmake --build build-bench --parallel "$jobs"

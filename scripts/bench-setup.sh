#!/usr/bin/env bash
# Prepares a machine to run the benchmarks (`npm run bench`), then builds what
# they run. Idempotent and quick when nothing is missing:
#   1. the regular build set-up (scripts/setup.sh: build dependencies, npm
#      dev dependencies, the addon in build/);
#   2. the command-line tools the benchmark runs side by side with Segue
#      (sox, rubberband-cli, ffmpeg), installed from Debian when missing;
#   3. the Google Benchmark cases and the stretch-quality report, configured
#      (Release) and built into build-bench/.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh

peers=(sox rubberband-cli ffmpeg)
missing=()
for package in "${peers[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} > 0)); then
  command="apt-get install -y --no-install-recommends ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then
    echo "The benchmarks compare against these Debian packages: ${missing[*]}" >&2
    echo "Install them as root, then run this again:" >&2
    echo "  apt-get update && $command" >&2
    exit 1
  fi
  echo "bench-setup: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $command
fi

# Two cores are usual here: build with at most two jobs.
jobs=$(($(nproc) < 2 ? $(nproc) : 2))
generator=()
if [[ ! -f build-bench/CMakeCache.txt ]] && command -v ninja >/dev/null; then generator=(-G Ninja); fi
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DSEGUE_BUILD_BENCH=ON -DSEGUE_BUILD_TESTS=OFF \
  -DSEGUE_BUILD_ADDON=OFF "${generator[@]}" >/dev/null
cmake --build build-bench --parallel "$jobs"

#!/usr/bin/env bash
# Runs the JavaScript suite against a build of the addon (and of the
# test-only modules) instrumented with AddressSanitizer and
# UndefinedBehaviorSanitizer, float-to-integer overflow included.
#
# node itself is not instrumented, so the sanitizer runtimes are preloaded
# into it; node's own allocations then pass through ASan too, which is why
# leak detection is off (node does not free everything at exit; the engine
# tests run under LeakSanitizer separately). The suite runs from a copy of
# the package whose build/ is the sanitized build, so index.js and the tests
# run exactly as shipped and users never see a way to load another build.
#
#   scripts/sanitized-js.sh [build dir] [test files...]
# The build dir defaults to build-sanitize-addon; the tests to every file of
# test/js/ that does not drive a browser.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
build=${1:-build-sanitize-addon}
shift || true

generator=()
if [[ ! -f $build/CMakeCache.txt ]] && command -v ninja >/dev/null; then generator=(-G Ninja); fi
# Optimised: the sanitizers work at -O2, and the suite has thousands of calls.
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSEGUE_SANITIZE=ON \
  -DSEGUE_BUILD_ADDON=ON -DSEGUE_BUILD_TESTS=ON -DCMAKE_CXX_FLAGS=-fsanitize=float-cast-overflow >/dev/null
cmake --build "$build" --parallel 2 --target segue_addon segue_test_host_plain segue_test_host_refusing

stage=$(mktemp -d "${TMPDIR:-/tmp}/segue-sanitized-XXXXXX")
trap 'rm -rf "$stage"' EXIT
# Everything but the builds, the dependencies (linked) and the history.
tar -C "$root" --exclude=./.git --exclude=./node_modules --exclude=./build --exclude='./build-*' -cf - . |
  tar -C "$stage" -xf -
if [[ $build == /* ]]; then ln -s "$build" "$stage/build"; else ln -s "$root/$build" "$stage/build"; fi
ln -s "$root/node_modules" "$stage/node_modules"

cd "$stage"
tests=("$@")
if ((${#tests[@]} == 0)); then
  # Every test file but those that drive a browser: the preloaded runtime
  # would reach Chromium too, which does not start under it, and those
  # tests check the report's page, not the addon.
  mapfile -t tests < <(grep -L 'withPage(' test/js/*.test.js)
fi
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  node --test "${tests[@]}"

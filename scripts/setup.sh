#!/usr/bin/env bash
# Prepares a machine to build and test Segue, then builds it. Idempotent and
# quick when nothing is missing:
#   1. installs the Debian packages the build needs (apt-get update once, then
#      only what is missing);
#   2. installs the npm dev dependencies when node_modules lacks one;
#   3. configures (Release) and builds into build/.
# Extra Debian packages can be asked for by name: scripts/setup.sh chromium
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

packages=(libfftw3-dev libebur128-dev libsoxr-dev librubberband-dev pkg-config cmake g++ libgtest-dev libbenchmark-dev "$@")

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} > 0)); then
  command="apt-get install -y --no-install-recommends ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then
    echo "Segue needs these Debian packages: ${missing[*]}" >&2
    echo "Install them as root, then run this again:" >&2
    echo "  apt-get update && $command" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $command
fi

# npm dev dependencies: install when any declared package is absent.
if ! node -e '
  const pkg = require("./package.json");
  const fs = require("fs");
  const names = Object.keys({ ...pkg.dependencies, ...pkg.devDependencies });
  process.exit(names.every((n) => fs.existsSync(`node_modules/${n}/package.json`)) ? 0 : 1);
'; then
  echo "setup: installing npm dependencies"
  if [[ -f package-lock.json ]]; then npm ci --no-audit --no-fund; else npm install --no-audit --no-fund; fi
fi

generator=()
if [[ ! -f build/CMakeCache.txt ]] && command -v ninja >/dev/null; then generator=(-G Ninja); fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "${generator[@]}" >/dev/null
cmake --build build --parallel "$(nproc)"

#!/usr/bin/env bash
# Configure and build into build/ (or build-sanitize/ with --sanitize), with
# warnings as errors, as a developer builds. Prints the build directory last.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build
flags=(-DHARLUNE_WERROR=ON)
if [ "${1:-}" = "--sanitize" ]; then
    dir=build-sanitize
    flags+=(-DHARLUNE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DHARLUNE_BENCH=OFF)
fi
cmake -S . -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
echo "$dir"

#!/usr/bin/env bash
# Configure and build into build/ (or build-sanitize/ with --sanitize), with
# warnings as errors, as a developer builds; everything, or only the targets
# named. The build's progress goes to stderr, the build directory to stdout.
#
#   scripts/build.sh [--sanitize] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build
flags=(-DHARLUNE_WERROR=ON)
if [ "${1:-}" = "--sanitize" ]; then
    shift
    dir=build-sanitize
    flags+=(-DHARLUNE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DHARLUNE_BENCH=OFF)
fi
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake -S . -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)" "${targets[@]}" >&2
echo "$dir"

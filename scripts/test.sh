#!/usr/bin/env bash
# Install what is missing, build and run the whole test suite; then name each
# test that skipped (a tool or facility this machine lacks) with its reason.
# --sanitize: the same under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
dir=$(scripts/build.sh "$@")
if [ "${1:-}" = "--sanitize" ]; then
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
status=0
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" || status=$?

# The reason of each skip, from ctest's log: a GoogleTest skip's message
# follows its "Skipped" line; a script says why on its last line.
awk '
    /^[0-9]+\/[0-9]+ Testing: / { name = $3; out = ""; last = ""; why = ""; next }
    /^<end of output>$/ { inside = 0; next }
    inside {
        if (prev ~ /: Skipped$/ && why == "") why = $0
        if ($0 != "" && $0 !~ /^\[/) last = $0
        if ($0 ~ /^\[  SKIPPED \]/) skipped = 1
        prev = $0
        next
    }
    /^Output:$/ { getline; inside = 1; skipped = 0; prev = ""; next }
    / end time: / && name != "" {
        if (skipped || last ~ /skipping$/) printf "skipped: %s: %s\n", name, (why != "" ? why : last)
        name = ""
    }
' "$dir/Testing/Temporary/LastTest.log" | sort
exit $status

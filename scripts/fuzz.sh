#!/usr/bin/env bash
# Runs every fuzz target of a fuzzing tree for a bounded time: scripts/fuzz.sh [tree]
# (default build-fuzz, see fuzz/CMakeLists.txt). CUEDECK_FUZZ_SECONDS sets the time per
# target (default 30). Each target starts from its seed corpus in fuzz/corpus/<name>/ and from
# what earlier runs found, kept in <tree>/fuzz/work/<name>/. A crash, leak, sanitizer report,
# failed check or hang is a finding: the input is saved as <tree>/fuzz/findings/<name>/crash-*
# (or leak-*, timeout-*, oom-*) and the script fails. Add a finding, once mended, to the
# target's seed corpus so that every later run replays it.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tree=$top/${1:-build-fuzz}
seconds=${CUEDECK_FUZZ_SECONDS:-30}
list=$tree/fuzz/targets.txt
if [ ! -f "$list" ]; then
    echo "no fuzz targets in $tree: configure it with -DCUEDECK_FUZZ=ON" >&2
    exit 1
fi

failed=()
while IFS=$'\t' read -r name exe corpus; do
    [ -n "$name" ] || continue
    work=$tree/fuzz/work/$name
    findings=$tree/fuzz/findings/$name
    mkdir -p "$work" "$findings"
    echo "-- $name: $seconds s"
    # New inputs go to the work corpus; the seed corpus in the source tree stays as it is.
    if ! "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
        -print_final_stats=1 -artifact_prefix="$findings/" "$work" "$corpus" \
        >"$tree/fuzz/$name.log" 2>&1; then
        tail -n 40 "$tree/fuzz/$name.log" >&2
        failed+=("$name")
    else
        grep -E '^(stat::number_of_executed_units|stat::new_units_added)' \
            "$tree/fuzz/$name.log" | sed 's/^/   /' || true
    fi
done <"$list"

if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzzing found faults in: ${failed[*]} (inputs in $tree/fuzz/findings/)" >&2
    exit 1
fi

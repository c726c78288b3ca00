#!/usr/bin/env bash
# fuzz.sh [SECONDS]: builds the libFuzzer targets (scripts/build.sh fuzz, into build-fuzz/) and
# runs each for SECONDS (default 20), one after the other, over a copy of its corpus in
# fuzz/corpus/<target>/; the repository's corpus is never written to. A finding (a crash, a
# sanitizer report, a leak, an input that runs for over a minute, or one that takes over 2 GB) fails
# the run: its input is kept in build-fuzz/fuzz-findings/<target>/ and named in the output, with
# the fuzzer's report. The exit status is 0 when no target found anything.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ] || [ "$seconds" -gt 86400 ]; then
    echo "usage: fuzz.sh [SECONDS]   (1 to 86400 seconds a target; default 20)" >&2
    exit 2
fi

targets=()
for source in fuzz/fuzz_*.cpp; do
    targets+=("$(basename "$source" .cpp)")
done

scripts/build.sh fuzz "${targets[@]}" || { echo "fuzz.sh: the fuzz build failed" >&2; exit 1; }

findings=build-fuzz/fuzz-findings
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vfu-fuzz.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT

# UndefinedBehaviorSanitizer only prints its report unless told to stop there; stopped, it is a
# crash that the fuzzer keeps.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

failed=()
for target in "${targets[@]}"; do
    corpus=$scratch/$target
    mkdir -p "$corpus" "$findings/$target"
    cp -- fuzz/corpus/"$target"/* "$corpus"/ || { echo "fuzz.sh: no corpus for $target" >&2; exit 1; }
    options=()
    # Definitions documents are texts of a few kilobytes; longer inputs only slow the search.
    [ "$target" = fuzz_definitions ] && options+=(-max_len=4096)
    log=$scratch/$target.log
    touch "$scratch/$target.start"

    status=0
    build-fuzz/fuzz/"$target" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$findings/$target/" "${options[@]}" "$corpus" >"$log" 2>&1 || status=$?

    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    if [ "$status" -eq 0 ]; then
        echo "$target: ${runs:-?} runs in $seconds s, no finding"
        continue
    fi

    failed+=("$target")
    echo "FINDING: $target ended with status $status after ${runs:-?} runs; the fuzzer's report:"
    grep -v '^#[0-9]' "$log" | tail -n 60
    kept=$(find "$findings/$target" -type f -newer "$scratch/$target.start" -printf '  %p\n')
    if [ -n "$kept" ]; then
        echo "its input, kept:"
        echo "$kept"
    else
        echo "(the fuzzer kept no input; its whole output is above)"
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz.sh: findings in ${failed[*]} (inputs in $findings/)" >&2
    exit 1
fi

#!/usr/bin/env bash
# Runs each fuzz target for a bounded time from the seed corpus in the
# repository. Usage: tests/fuzz/run.sh BUILD_DIR [SECONDS]
# The same seed every run, so that a run that passed here passes in CI too
# (FUZZ_SEED picks another). A crash, leak or broken invariant fails the
# run; the input that caused it is left in BUILD_DIR/fuzz-artifacts, to be
# added to the tests.
set -euo pipefail
build=$1
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
export LSAN_OPTIONS="suppressions=$here/lsan.supp"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for target in open actions heifboxes; do
    work=$(mktemp -d)
    cp "$here/corpus/$target/"* "$work/"
    echo "fuzz_$target: ${seconds}s"
    "$build/tests/fuzz/fuzz_$target" "$work" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
        -max_len=65536 -seed="${FUZZ_SEED:-1}" -artifact_prefix="$artifacts/$target-" -print_final_stats=1 2>&1 |
        grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|==[0-9]+==ERROR|SUMMARY|Done)' || true
    rm -rf "$work"
    if ls "$artifacts/$target-"* >/dev/null 2>&1; then
        echo "fuzz_$target found a failing input: $(ls "$artifacts/$target-"*)" >&2
        exit 1
    fi
done

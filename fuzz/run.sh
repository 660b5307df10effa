#!/usr/bin/env bash
# Builds the libFuzzer targets with the fuzz preset in build-fuzz/ (or $FUZZ_BUILD)
# and runs each for the given number of seconds (default 600), several at a time.
# The committed corpora are copied to a temporary directory first, so a run never
# grows them. Exits non-zero when any target crashes, leaks, times out or breaks
# an invariant.
set -euo pipefail

seconds=${1:-600}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz}
jobs=${FUZZ_JOBS:-$(nproc)}

mkdir -p "$build"
(cd "$root" && cmake --preset fuzz -B "$build") > "$build/configure.log" 2>&1 \
    || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" --target fuzz_targets -j "$(nproc)"
# The targets are listed once, in fuzz/CMakeLists.txt.
mapfile -t targets < "$build/fuzz/targets.txt"

work=$(mktemp -d /tmp/vorlan-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
artifacts="$build/artifacts"
mkdir -p "$artifacts"

run_one() {
    local target=$1
    # Long enough for an input shape that amplifies what a call takes to show it.
    local max_len=8192
    case "$target" in fuzz_diff|fuzz_apply) max_len=131072 ;; esac
    mkdir -p "$work/$target"
    cp "$root/fuzz/corpus/$target/"* "$work/$target/"
    local status=0
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
        "$build/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=1536 -timeout=30 -max_len="$max_len" \
        -print_final_stats=1 -artifact_prefix="$artifacts/$target-" "$work/$target" \
        > "$work/$target.log" 2>&1 || status=$?
    local runs
    runs=$(grep -aoE 'stat::number_of_executed_units: *[0-9]+' "$work/$target.log" | grep -oE '[0-9]+$' || echo '?')
    printf '%-24s %s s, %s runs, corpus %s -> %s files: %s\n' "$target" "$seconds" "$runs" \
        "$(ls "$root/fuzz/corpus/$target" | wc -l)" "$(ls "$work/$target" | wc -l)" \
        "$([ "$status" -eq 0 ] && echo ok || echo "FAILED (exit $status)")"
    if [ "$status" -ne 0 ]; then
        grep -aE 'invariant violated|ERROR:|SUMMARY:|runtime error|first:|second:|Base64:|Test unit written' \
            "$work/$target.log" | head -20 | sed 's/^/    /'
        return 1
    fi
}

for target in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
    ( if run_one "$target" > "$work/$target.summary" 2>&1; then echo 0; else echo 1; fi > "$work/$target.rc" ) &
done
wait
failed=0
for target in "${targets[@]}"; do
    cat "$work/$target.summary"
    [ "$(cat "$work/$target.rc" 2>/dev/null)" = 0 ] || failed=1
done
[ "$failed" -eq 0 ] || { echo "fuzz: crash inputs are in $artifacts"; exit 1; }
echo "fuzz: ${#targets[@]} targets ran clean for $seconds s each"

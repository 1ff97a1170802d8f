#!/usr/bin/env bash
# Runs the fuzz targets built by the "fuzz" preset, one after the other, SECONDS each.
#   tests/fuzz/run_fuzz.sh [--fresh] [SECONDS]     (default 180)
# Without --fresh the inputs found are kept in out/fuzz/corpus/<target> and the next run goes on
# from them; with --fresh (what ./run test does) every run starts again from the committed seeds
# in tests/fuzz/corpus/<target>. A failing input is saved as out/fuzz/crashes/<target>-*; rerun
# it with `out/fuzz/<target> FILE`. Prints one line of figures per target.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$(pwd)

fresh=0
if [ "${1:-}" = "--fresh" ]; then
    fresh=1
    shift
fi
seconds=${1:-180}

# The simulated machine puts its files below TMPDIR: a RAM disk makes a run several times faster.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
mkdir -p out/fuzz/crashes
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

status=0
for target in package command_line; do
    if [ $fresh -eq 1 ]; then
        corpus=$scratch/$target
    else
        corpus=out/fuzz/corpus/$target
    fi
    mkdir -p "$corpus"
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -malloc_limit_mb=16
             -print_final_stats=1 -artifact_prefix="out/fuzz/crashes/$target-")
    case $target in
        package) options+=(-max_len=8192) ;;
        command_line) options+=(-max_len=4096 -dict=tests/fuzz/command_line.dict) ;;
    esac
    log=out/fuzz/$target.log
    if ! "out/fuzz/fuzz_$target" "${options[@]}" "$corpus" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
        status=1
        echo "fuzz_$target FAILED (log: $ROOT/$log):" >&2
        grep -E "fuzz property failed|ERROR: |SUMMARY|Test unit written" -A1 "$log" >&2 || tail -20 "$log" >&2
        continue
    fi
    # "#N DONE cov: C ft: F corp: K/S ..." and the final statistics.
    done_line=$(grep -E "^#[0-9]+[[:space:]]+DONE" "$log" | tail -1 || true)
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")
    corp=$(sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p' <<<"$done_line")
    printf 'fuzz_%-13s %3ss  runs %8s  exec/s %5s  cov %5s  ft %6s  corpus %5s  no failure\n' \
        "$target" "$seconds" "$runs" "$speed" "$cov" "$ft" "$corp"
done
exit $status

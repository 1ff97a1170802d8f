#!/usr/bin/env bash
# Line coverage of the launcher's code reached by the fuzz corpora: builds the fuzz targets once
# more with source-based coverage (out/fuzz-cov), runs every input of the committed seeds and of
# out/fuzz/corpus (what ./run fuzz found) once, and prints llvm-cov's report for the files the
# targets are aimed at.
#   tests/fuzz/coverage.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
build=out/fuzz-cov
cmake --preset fuzz -B "$build" -DVESK_FUZZ_COVERAGE=ON >/dev/null
cmake --build "$build" >/dev/null
if [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
rm -f "$build"/*.profraw
declare -A files=(
    [package]="src/unpack/unpack.cpp src/unpack/package_file.cpp src/unpack/package_format.cpp"
    [command_line]="src/app/command_line.cpp src/app/instructions.cpp src/app/elevation.cpp src/app/settings.cpp"
)
for target in package command_line; do
    corpora=(tests/fuzz/corpus/$target)
    [ -d out/fuzz/corpus/$target ] && corpora+=(out/fuzz/corpus/$target)
    LLVM_PROFILE_FILE="$build/$target.profraw" "$build/fuzz_$target" -runs=0 "${corpora[@]}" \
        >"$build/$target.log" 2>&1
    llvm-profdata-14 merge -sparse "$build/$target.profraw" -o "$build/$target.profdata"
    echo "fuzz_$target, $(find "${corpora[@]}" -type f | wc -l) inputs:"
    # shellcheck disable=SC2086
    llvm-cov-14 report "$build/fuzz_$target" -instr-profile="$build/$target.profdata" \
        ${files[$target]}
done

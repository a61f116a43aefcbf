#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang in build/fuzz and runs each for
# SECONDS (default 60), then prints executions, time and faults per harness.
#   fuzz/run_fuzzers.sh [SECONDS] [HARNESS...]
# Each harness starts from its saved inputs in tests/fuzz_corpus/<harness>
# and grows a working corpus in build/fuzz/corpus/<harness>; inputs that made
# it fail go to build/fuzz/faults/<harness>. Copy such an input into
# tests/fuzz_corpus/<harness>/ once the fault is fixed, so that the test suite
# replays it. Exit status 1 when any harness found a fault.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[[ $seconds =~ ^[1-9][0-9]*$ ]] || { echo "usage: fuzz/run_fuzzers.sh [SECONDS] [HARNESS...]" >&2; exit 2; }
shift || true
all=(sensor_array source_rows dipole_rows npy local_spheres freesurfer)
[ $# -gt 0 ] && harnesses=("$@") || harnesses=("${all[@]}")
dir=build/fuzz

command -v clang++ >/dev/null || { echo "run_fuzzers.sh: clang++ is missing (apt-get install clang)" >&2; exit 2; }
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DMEGFWD_FUZZ=ON \
    -DMEGFWD_BUILD_TESTS=OFF -DMEGFWD_BUILD_QT=OFF -DMEGFWD_BUILD_BENCH=OFF -DMEGFWD_BUILD_PYTHON=OFF >/dev/null
targets=()
for h in "${harnesses[@]}"; do targets+=("fuzz_$h"); done
cmake --build "$dir" -j 2 --target "${targets[@]}" >/dev/null

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
summary=()
failed=0
for h in "${harnesses[@]}"; do
    corpus=$dir/corpus/$h
    faults=$dir/faults/$h
    mkdir -p "$corpus" "$faults"
    log=$dir/$h.log
    start=$(date +%s)
    # A harness stops at its first fault and saves the input that caused it.
    set +e
    "$dir/fuzz/fuzz_$h" "$corpus" tests/fuzz_corpus/$h -max_total_time="$seconds" -rss_limit_mb=2048 \
        -malloc_limit_mb=1024 -max_len=65536 -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$faults/" >"$log" 2>&1
    rc=$?
    set -e
    elapsed=$(( $(date +%s) - start ))
    execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1 || true)
    nfaults=$(find "$faults" -type f -newermt "@$start" | wc -l)
    [ "$rc" -ne 0 ] && [ "$nfaults" -eq 0 ] && nfaults=1
    [ "$nfaults" -gt 0 ] && failed=1
    summary+=("$(printf '%-14s %12s executions %6s s %4s faults' "$h" "${execs:-?}" "$elapsed" "$nfaults")")
    [ "$nfaults" -gt 0 ] && echo "run_fuzzers.sh: $h: see $log and $faults" >&2
done
printf '%s\n' "${summary[@]}"
exit $failed

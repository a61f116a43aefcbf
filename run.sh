#!/usr/bin/env bash
# megfwd set-up and run script.
#   ./run.sh demo [--sanitize]   install what is missing, build (release), run the demo
#   ./run.sh test [--sanitize]   install what is missing, build (tests), run the whole suite
#   ./run.sh test --tsan         the threaded fast-path tests built with ThreadSanitizer
#   ./run.sh matlab              install what is missing, build the Octave toolbox into build/matlab
# Debian packages are installed with apt-get only when one is missing.
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libsimdjson-dev
          libcli11-dev qt6-base-dev fonts-dejavu-core python3-numpy python3-dev pybind11-dev
          python3-pytest python3-setuptools python3-wheel python3-venv python3-pip
          python3-mne python3-numba python3-dask python3-distributed python3-zarr
          octave liboctave-dev libopenblas-dev)

usage() {
    echo "usage: ./run.sh demo|test|matlab [--sanitize | --tsan] [extra arguments for the demo or ctest]" >&2
    exit 2
}

install_missing() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "run.sh: installing ${missing[*]}" >&2
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

configure_build() {  # dir, extra cmake args... (BUILD_TARGETS: targets to build, default all)
    local dir=$1; shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    local targets=()
    [ -n "${BUILD_TARGETS:-}" ] && targets=(--target $BUILD_TARGETS)
    cmake --build "$dir" -j "$(nproc)" "${targets[@]}" >/dev/null 2>"$dir.build.log" || { cat "$dir.build.log" >&2; exit 1; }
    grep -i "warning" "$dir.build.log" >&2 || true
}

[ $# -ge 1 ] || usage
cmd=$1; shift
sanitize=0
tsan=0
args=()
for a in "$@"; do
    case "$a" in
        --sanitize) sanitize=1 ;;
        --tsan) tsan=1 ;;
        *) args+=("$a") ;;
    esac
done

install_missing
if [ $sanitize -eq 1 ]; then
    dir=build/sanitize
    extra=(-DMEGFWD_SANITIZE=ON -DMEGFWD_BUILD_BENCH=OFF)
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp}
else
    extra=()
fi

case "$cmd" in
    demo)
        [ $sanitize -eq 1 ] || dir=build/release
        mkdir -p build
        configure_build "$dir" -DMEGFWD_BUILD_TESTS=OFF "${extra[@]}"
        exec "$dir/megfwd" demo "${args[@]}"
        ;;
    test)
        if [ $tsan -eq 1 ]; then
            # Only the tests that run the scan on several threads (the fast
            # path's, the dipole fit's, the toolbox gateway's C++ part, and
            # computations at once on one system's kept plans); the whole
            # suite under ThreadSanitizer would add little and take long.
            dir=build/tsan
            mkdir -p build
            BUILD_TARGETS="megfwd test_forward_fast test_forward_api test_dipole_fit test_matlab" configure_build "$dir" -DMEGFWD_TSAN=ON \
                -DMEGFWD_BUILD_TESTS=ON -DMEGFWD_BUILD_QT=OFF -DMEGFWD_BUILD_BENCH=OFF
            export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
            # OpenBLAS without its own threads from the start: the library
            # asks for one thread per scan thread anyway, and the pool that
            # OpenBLAS starts when it loads is code ThreadSanitizer cannot see.
            export OPENBLAS_NUM_THREADS=1
            # Without address-space randomisation: ThreadSanitizer's fixed
            # memory layout can clash with the randomised one of newer kernels.
            norand=()
            setarch "$(uname -m)" -R true 2>/dev/null && norand=(setarch "$(uname -m)" -R)
            "${norand[@]}" "$dir/tests/test_forward_fast" "${args[@]}"
            "${norand[@]}" "$dir/tests/test_dipole_fit"
            "${norand[@]}" "$dir/tests/test_forward_api" --gtest_filter='SensorPlanCache.*'
            # The toolbox gateway's weights, applied on the scan's threads.
            exec "${norand[@]}" "$dir/tests/test_matlab"
        fi
        [ $sanitize -eq 1 ] || dir=build/test
        mkdir -p build
        configure_build "$dir" -DMEGFWD_BUILD_TESTS=ON "${extra[@]}"
        export QT_QPA_PLATFORM=offscreen
        ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" "${args[@]}"
        ;;
    matlab)
        # The toolbox for Octave: the library (release) and the gateway only.
        [ $sanitize -eq 0 ] && [ $tsan -eq 0 ] || { echo "run.sh: matlab takes no sanitizer option" >&2; exit 2; }
        dir=build/release
        mkdir -p build
        BUILD_TARGETS=megfwd_octave configure_build "$dir" -DMEGFWD_BUILD_TESTS=OFF -DMEGFWD_MATLAB_DIR="$PWD/build/matlab"
        echo "The toolbox is in $PWD/build/matlab; in Octave: addpath('$PWD/build/matlab')"
        ;;
    *) usage ;;
esac

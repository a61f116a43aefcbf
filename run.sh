#!/usr/bin/env bash
# megfwd set-up and run script.
#   ./run.sh demo [--sanitize]   install what is missing, build (release), run the demo
#   ./run.sh test [--sanitize]   install what is missing, build (tests), run the whole suite
# Debian packages are installed with apt-get only when one is missing.
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
          libcli11-dev qt6-base-dev fonts-dejavu-core python3-numpy)

usage() {
    echo "usage: ./run.sh demo|test [--sanitize] [extra arguments for the demo or ctest]" >&2
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

configure_build() {  # dir, extra cmake args...
    local dir=$1; shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)" >/dev/null 2>"$dir.build.log" || { cat "$dir.build.log" >&2; exit 1; }
    grep -i "warning" "$dir.build.log" >&2 || true
}

[ $# -ge 1 ] || usage
cmd=$1; shift
sanitize=0
args=()
for a in "$@"; do
    if [ "$a" = "--sanitize" ]; then sanitize=1; else args+=("$a"); fi
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
        [ $sanitize -eq 1 ] || dir=build/test
        mkdir -p build
        configure_build "$dir" -DMEGFWD_BUILD_TESTS=ON "${extra[@]}"
        export QT_QPA_PLATFORM=offscreen
        ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" "${args[@]}"
        ;;
    *) usage ;;
esac

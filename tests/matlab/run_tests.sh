#!/bin/sh
# The toolbox's Octave tests: a fixture from the Python package and the
# command-line program of this build, then the test function in octave-cli,
# then Ctrl-C during a scan.
#   run_tests.sh PYTHON PYTHONPATH TOOLBOX_DIR SOURCE_DIR OCTAVE_CLI MEGFWD_CLI
set -eu
python=$1 pythonpath=$2 toolbox=$3 source=$4 octave=$5 cli=$6
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
PYTHONPATH=$pythonpath "$python" "$source/tests/matlab/make_fixture.py" "$dir" "$cli"
"$octave" --norc --no-history --no-gui --eval \
    "addpath('$toolbox', '$source/tests/matlab'); test_toolbox('$dir', '$source/README.md')"
"$python" "$source/tests/matlab/interrupt_check.py" "$octave" "$toolbox"

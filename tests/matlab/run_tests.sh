#!/bin/sh
# The toolbox's Octave tests: a fixture from the Python package and the
# command-line program of this build, then the test function in octave-cli
# with the oct-file gateway and again with the MEX front end (the one MATLAB
# uses, built by Octave), then Ctrl-C during a scan on a sphere and on the single shell.
#   run_tests.sh PYTHON PYTHONPATH TOOLBOX_DIR SOURCE_DIR OCTAVE_CLI MEGFWD_CLI [MEX_TOOLBOX_DIR]
set -eu
python=$1 pythonpath=$2 toolbox=$3 source=$4 octave=$5 cli=$6 mex=${7:-}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
PYTHONPATH=$pythonpath "$python" "$source/tests/matlab/make_fixture.py" "$dir" "$cli"
for tb in "$toolbox" $mex; do
    echo "--- the toolbox in $tb"
    "$octave" --norc --no-history --no-gui --eval \
        "addpath('$tb', '$source/tests/matlab'); test_toolbox('$dir', '$source/README.md')"
done
"$python" "$source/tests/matlab/interrupt_check.py" "$octave" "$toolbox" "$dir/fixture.bin"

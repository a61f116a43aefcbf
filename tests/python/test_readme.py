"""The README's examples run as written."""
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest


def readme_blocks(heading, language):
    """The `language` code blocks of the README section under `heading` (e.g.
    "## Python"), up to the next heading of the same or a higher level."""
    readme = Path(os.environ.get("MEGFWD_SOURCE_DIR", Path(__file__).parents[2])) / "README.md"
    lines = readme.read_text().split(f"\n{heading}\n", 1)[1].splitlines()
    level = len(heading) - len(heading.lstrip("#"))
    fenced = False  # a "# comment" inside a code block is no heading
    for n, line in enumerate(lines):
        fenced ^= line.startswith("```")
        if not fenced and re.match(r"#{1,%d} " % level, line):
            lines = lines[:n]
            break
    return re.findall(rf"```{language}\n(.*?)```", "\n".join(lines) + "\n", re.S)


def test_readme_python_example_runs(capsys):
    blocks = readme_blocks("## Python", "python")
    assert blocks, "no Python example in the README's Python section"
    exec(compile(blocks[0], "README.md", "exec"), {})
    assert "(2, 30, 3) [ True  True]" in capsys.readouterr().out


def test_readme_mne_example_and_convert_command_run(capsys, tmp_path, monkeypatch):
    pytest.importorskip("mne")
    monkeypatch.chdir(tmp_path)  # the example saves toy_raw.fif in the working directory
    exec(compile(readme_blocks("## MNE-Python bridge", "python")[0], "README.md", "exec"), {})
    out = capsys.readouterr().out
    assert "<SensorArray | 30 channels: 30 measurement, 0 reference sensors>" in out
    assert re.search(r"\(30, \d+\) True", out), out
    convert = [line for line in readme_blocks("## MNE-Python bridge", "sh")[0].splitlines() if line.strip()]
    argv = shlex.split(convert[0])
    assert argv[0] == "V/bin/python"  # the virtual environment of the Python section
    run = subprocess.run([sys.executable, *argv[1:]], capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert run.returncode == 0, run.stderr
    assert (tmp_path / "toy-sensors.json").stat().st_size > 0


def test_readme_dask_example_runs(tmp_path, monkeypatch, capsys):
    pytest.importorskip("distributed")
    monkeypatch.chdir(tmp_path)
    exec(compile(readme_blocks("## Dask", "python")[0], "README.md", "exec"), {})
    assert capsys.readouterr().out.splitlines() == ["(33380, 30, 3) (9, 1, 1)", "True", "(33380, 30, 3) True T/(A*m)"]


def test_readme_worked_example_runs(tmp_path):
    blocks = readme_blocks("### Worked example", "sh")
    assert blocks, "no shell block in the README's worked example"
    cli = os.environ.get("MEGFWD_CLI")
    if not cli:
        pytest.skip("MEGFWD_CLI is not set (the tests run it under ctest)")
    # The README runs the program that ./run.sh demo builds; this test runs
    # the program of the build under test in its place, and changes nothing
    # else in the block.
    script = blocks[0].replace("build/release/megfwd ", f"'{cli}' ")
    assert script != blocks[0], "the worked example does not run build/release/megfwd"
    run = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", script], cwd=tmp_path,
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, f"exit {run.returncode}\n{run.stdout}\n{run.stderr}"
    for name in ["helmet.json", "lf.npy", "lf.json", "map.svg"]:
        assert (tmp_path / name).stat().st_size > 0, name
    # The last line prints the array's shape and the unit of the values.
    assert re.search(r"\(\d+, 275, 3\) T/\(A", run.stdout), run.stdout


def test_readme_single_shell_example_runs(tmp_path, monkeypatch, capsys):
    pytest.importorskip("mne")
    monkeypatch.chdir(tmp_path)  # the example writes shell.json
    exec(compile(readme_blocks("## Single-shell head model (inner skull)", "python")[0], "README.md", "exec"), {})
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("<SingleShell | 2562 vertices, 5120 triangles, order 25, galerkin fit, centre (")
    assert out[1] == "(3, 60, 3) galerkin"
    assert (tmp_path / "shell.json").stat().st_size > 0


def test_readme_single_shell_drop_in_example_runs(capsys):
    pytest.importorskip("mne")
    exec(compile(readme_blocks("### The MNE drop-in with a single shell", "python")[0], "README.md", "exec"), {})
    out = capsys.readouterr().out.splitlines()
    assert out == ["2553 sources in the ball, 1731 inside the inner skull and 5 mm from it", "(61, 5193)"]


def test_readme_local_spheres_example_runs(tmp_path):
    cli = os.environ.get("MEGFWD_CLI")
    if not cli:
        pytest.skip("MEGFWD_CLI is not set (the tests run it under ctest)")
    block = readme_blocks("### Local spheres fitted to the head", "sh")[0]
    script = block.replace("build/release/megfwd ", f"'{cli}' ").replace("/usr/bin/python3 ", f"'{sys.executable}' ")
    run = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", script], cwd=tmp_path, capture_output=True, text=True,
                         timeout=600)
    assert run.returncode == 0, f"exit {run.returncode}\n{run.stdout}\n{run.stderr}"
    assert "fell back to the global sphere: 0" in run.stdout, run.stdout
    for name in ["spheres.json", "lf_local.npy", "lf_local.json", "spheres.svg"]:
        assert (tmp_path / name).stat().st_size > 0, name


def test_readme_dipole_example_runs(capsys):
    exec(compile(readme_blocks("## Dipole fitting", "python")[0], "README.md", "exec"), {})
    assert capsys.readouterr().out.splitlines() == ["[20.2  9.9 79.2] 30.6 nA m, GOF 99 %", "(1, 60, 3, 3)"]

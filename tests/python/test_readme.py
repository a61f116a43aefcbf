"""The README's Python examples run as written."""
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest


def _section(title):
    readme = Path(os.environ.get("MEGFWD_SOURCE_DIR", Path(__file__).parents[2])) / "README.md"
    return readme.read_text().split(f"\n## {title}\n", 1)[1].split("\n## ", 1)[0]


def test_readme_python_example_runs(capsys):
    blocks = re.findall(r"```python\n(.*?)```", _section("Python"), re.S)
    assert blocks, "no Python example in the README's Python section"
    exec(compile(blocks[0], "README.md", "exec"), {})
    assert "(2, 30, 3) [ True  True]" in capsys.readouterr().out


def test_readme_mne_example_and_convert_command_run(capsys, tmp_path, monkeypatch):
    pytest.importorskip("mne")
    section = _section("MNE-Python bridge")
    code = re.findall(r"```python\n(.*?)```", section, re.S)[0]
    monkeypatch.chdir(tmp_path)  # the example saves toy_raw.fif in the working directory
    exec(compile(code, "README.md", "exec"), {})
    out = capsys.readouterr().out
    assert "<SensorArray | 30 channels: 30 measurement, 0 reference sensors>" in out
    assert re.search(r"\(30, \d+\) True", out), out
    convert = [line for line in re.findall(r"```sh\n(.*?)```", section, re.S)[0].splitlines() if line.strip()]
    argv = shlex.split(convert[0])
    assert argv[0] == "V/bin/python"  # the virtual environment of the Python section
    run = subprocess.run([sys.executable, *argv[1:]], capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert run.returncode == 0, run.stderr
    assert (tmp_path / "toy-sensors.json").stat().st_size > 0

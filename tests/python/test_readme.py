"""The README's examples run as written."""
import os
import re
import subprocess
from pathlib import Path

import pytest


def readme_blocks(section, language):
    """The code blocks of `language` in the README section that starts with `section`."""
    readme = Path(os.environ.get("MEGFWD_SOURCE_DIR", Path(__file__).parents[2])) / "README.md"
    text = readme.read_text().split(section, 1)[1]
    text = re.split(r"\n## |\n### ", text, 1)[0]  # up to the next heading
    return re.findall(rf"```{language}\n(.*?)```", text, re.S)


def test_readme_python_example_runs(capsys):
    blocks = readme_blocks("## Python", "python")
    assert blocks, "no Python example in the README's Python section"
    exec(compile(blocks[0], "README.md", "exec"), {})
    assert "(2, 30, 3) [ True  True]" in capsys.readouterr().out


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

"""The README's Python example runs as written."""
import os
import re
from pathlib import Path


def test_readme_python_example_runs(capsys):
    readme = Path(os.environ.get("MEGFWD_SOURCE_DIR", Path(__file__).parents[2])) / "README.md"
    section = readme.read_text().split("## Python", 1)[1]
    blocks = re.findall(r"```python\n(.*?)```", section, re.S)
    assert blocks, "no Python example in the README's Python section"
    exec(compile(blocks[0], "README.md", "exec"), {})
    assert "(2, 30, 3) [ True  True]" in capsys.readouterr().out

"""Every formula, option and keyword the README, the command line's --help
and the docstrings name is one the library's setting and formula tables
know, so that documentation cannot drift from what the parser accepts."""
import inspect
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import megfwd
import megfwd.dask
from megfwd import _megfwd

README = Path(os.environ.get("MEGFWD_SOURCE_DIR", Path(__file__).parents[2])) / "README.md"
# A formula code: two capitals and two digits with an optional middle part
# (ST01, SV_NT04, a misspelt CF_FT05), or the one code without that shape.
FORMULA_CODE = re.compile(r"\b(?:[A-Z]{2}(?:_[A-Z]+)*\d{2}|BiotSavart\d{2}|DX)\b")
# A formula given by name: --formula NAME on a command line, formula="name" in Python.
FORMULA_GIVEN = re.compile(r"""--formula[ =]([\w-]+)|formula=["']([\w-]+)["']""")


def _help(cli, command):
    return subprocess.run([cli, command, "--help"], capture_output=True, text=True, check=True).stdout


def _dask_help():
    out = subprocess.run([sys.executable, "-m", "megfwd.dask", "leadfield", "--help"], capture_output=True,
                         text=True, check=True, env={**os.environ, "COLUMNS": "200"})
    return out.stdout


def _documents(cli):
    docs = {"README.md": README.read_text(), "megfwd.dask --help": _dask_help()}
    for command in ("leadfield", "field"):
        docs[f"megfwd {command} --help"] = _help(cli, command)
    for fn in (megfwd.leadfield, megfwd.field, megfwd.dask.leadfield, megfwd.dask.field):
        docs[f"{fn.__module__}.{fn.__name__}"] = fn.__doc__ or ""
    return docs


def _known_formula(name, magnetic):
    try:
        _megfwd.parse_formula(name, magnetic)
        return True
    except ValueError:
        return False


def test_every_formula_named_in_the_documents_parses(cli):
    unknown = []
    for where, text in _documents(cli).items():
        names = set(FORMULA_CODE.findall(text))
        # Upper-case words after --formula are placeholders (NAME) or codes, which the first pattern finds.
        names |= {a or b for a, b in FORMULA_GIVEN.findall(text) if not (a or b).isupper()}
        unknown += [(where, n) for n in sorted(names) if not (_known_formula(n, False) or _known_formula(n, True))]
    assert not unknown, f"formula names no parser accepts: {unknown}"


def test_every_formula_of_the_table_is_in_the_help(cli):
    # The other direction: --help lists every code and descriptive name.
    text = _help(cli, "leadfield")
    for magnetic in (False, True):
        for code, name, aliases in _megfwd.formula_names(magnetic):
            for n in ([] if magnetic else [name]) + aliases:
                assert n in text, f"--help does not name formula {n!r} (code {code})"


# Options the README gives programs other than megfwd and its Python
# modules: CMake, run.sh, the benches and the settings window.
FOREIGN_OPTIONS = {"--install", "--prefix", "--sanitize", "--tsan", "--screenshot", "--runs", "--mesh-error",
                   "--write-fixture", "--benchmark_enable_random_interleaving", "--check-selection", "--profile"}


def test_every_option_the_readme_names_is_in_a_help(cli):
    helps = "".join(_help(cli, c) for c in ("leadfield", "field", "dipole", "spheres", "info", "plot", "demo"))
    helps += subprocess.run([cli, "--help"], capture_output=True, text=True, check=True).stdout  # --yes, --sync
    env = {**os.environ, "COLUMNS": "200"}
    for args in (["megfwd.dask", "leadfield"], ["megfwd", "convert"]):
        helps += subprocess.run([sys.executable, "-m", *args, "--help"], capture_output=True, text=True,
                                check=True, env=env).stdout
    fenced, missing = False, set()
    for line in README.read_text().replace("\\\n", " ").splitlines():
        if line.startswith("```"):
            fenced = not fenced
            continue
        # In code blocks only the command lines of megfwd and its modules.
        if fenced and not re.match(r"\s*(\S*/)?(megfwd|\S*python3? -m megfwd)\b", line):
            continue
        for option in re.findall(r"(?<![\w-])--[a-z][\w-]*", line):
            if option not in FOREIGN_OPTIONS and not re.search(rf"(?<![\w-]){re.escape(option)}\b", helps):
                missing.add(option)
    assert not missing, f"options the README names but no --help has: {sorted(missing)}"


def test_python_keywords_of_the_setting_table_are_parameters():
    keywords = _megfwd.setting_keywords()
    params = set(inspect.signature(megfwd.leadfield).parameters) | set(inspect.signature(megfwd.field).parameters)
    assert set(keywords) <= params, set(keywords) - params
    # And the README calls megfwd.leadfield / megfwd.field with keywords they have.
    for fn in (megfwd.leadfield, megfwd.field):
        names = set(inspect.signature(fn).parameters)
        for call in re.findall(rf"megfwd\.{fn.__name__}\(([^\n]*)\)", README.read_text()):
            used = set(re.findall(r"\b([a-z_]+)=(?!=)", call))
            assert used <= names, f"README passes {used - names} to megfwd.{fn.__name__}"


def test_formula_names_reach_the_library_by_their_code(helmet, sources):
    # Names and codes select the same formula: the values agree bit for bit.
    for code, name, aliases in _megfwd.formula_names(False):
        ref = megfwd.leadfield(helmet, sources[:3], sphere=(0, 0, 0.04, 0.09), formula=name)
        for alias in aliases:
            assert (megfwd.leadfield(helmet, sources[:3], sphere=(0, 0, 0.04, 0.09), formula=alias) == ref).all(), alias
    with pytest.raises(ValueError, match="CF_FT05"):
        megfwd.leadfield(helmet, sources[:1], formula="CF_FT05")

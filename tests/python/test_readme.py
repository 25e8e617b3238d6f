"""The README's examples run as written: every Python block alone and all of them
in order, and the command-line example on files it makes itself."""

from __future__ import annotations

import importlib.util
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

from quintara import cli

README = Path(__file__).resolve().parents[2] / "README.md"
TEXT = README.read_text(encoding="utf-8")
# (line of the opening fence, code) per block of each kind.
PYTHON = [(TEXT[: m.start()].count("\n") + 1, m.group(1))
          for m in re.finditer(r"^```python\n(.*?)^```", TEXT, re.S | re.M)]
SHELL = [m.group(1) for m in re.finditer(r"^```sh\n(.*?)^```", TEXT, re.S | re.M)]
EXTRAS = {"matplotlib": "matplotlib", "dask": "distributed"}


def _needs_missing_extra(code: str) -> str | None:
    for name, module in EXTRAS.items():
        if re.search(rf"^\s*(from|import) {name}\b", code, re.M) and \
                importlib.util.find_spec(module) is None:
            return name
    return None


def _run(code: str, line: int, namespace: dict[str, object]) -> None:
    exec(compile(code, f"{README.name}, block at line {line}", "exec"), namespace)  # noqa: S102


def test_the_readme_has_its_examples() -> None:
    # A fence the patterns miss (```py, a typo) would silently drop a block.
    fences = re.findall(r"^```(\w*)$", TEXT, re.M)
    assert set(fences) <= {"python", "sh", ""}, fences
    assert len(PYTHON) >= 15 and any("import dask" in c or "from dask" in c for _, c in PYTHON)


@pytest.mark.parametrize(("line", "code"), PYTHON, ids=[f"line{n}" for n, _ in PYTHON])
def test_each_python_block_runs_alone(
    line: int, code: str, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    missing = _needs_missing_extra(code)
    if missing:
        pytest.skip(f"needs the optional {missing}")
    monkeypatch.chdir(tmp_path)
    _run(code, line, {"__name__": "__readme__"})


def test_python_blocks_run_in_order(
    capsys: pytest.CaptureFixture[str], tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.chdir(tmp_path)
    namespace: dict[str, object] = {"__name__": "__readme__"}
    for line, code in PYTHON:
        if _needs_missing_extra(code) is None:
            _run(code, line, namespace)
    assert "SCResult(" in capsys.readouterr().out


def _commands(block: str) -> list[list[str]]:
    return [shlex.split(c) for c in block.replace("\\\n", " ").splitlines() if c.strip()]


def test_command_line_example_runs_on_the_files_it_names(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    blocks = [b for b in SHELL if re.search(r"^quintara \w", b, re.M)]
    assert len(blocks) == 1
    monkeypatch.chdir(tmp_path)
    ran = []
    for argv in _commands(blocks[0]):
        if argv[0] == "python":
            subprocess.run([sys.executable, *argv[1:]], check=True, cwd=tmp_path)
            continue
        assert argv[0] == "quintara"
        if "--plot" in argv and importlib.util.find_spec("matplotlib") is None:
            continue
        # Every file a command reads is there before it runs.
        assert (tmp_path / argv[2]).is_file(), argv[2]
        assert cli.main(argv[1:]) == 0, argv
        ran.append(argv[1])
    assert ran and "fit" in ran
    out = capsys.readouterr().out
    assert "Synthetic control results" in out
    assert (tmp_path / "fit.json").stat().st_size > 0

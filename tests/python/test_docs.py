"""The documentation's own checks that need no Sphinx: every public name is
in the API reference, and the guides' Python blocks run as written.

The full site, walkthroughs executed, is built by scripts/build_docs.sh.
"""

from __future__ import annotations

import re
from pathlib import Path

import pytest

import quintara
from quintara import cli, datasets, distributed, plots

DOCS = Path(__file__).resolve().parents[2] / "docs"
DIRECTIVE = re.compile(r"^\.\. auto(?:function|class|exception|method)::\s+(\S+)", re.M)


def documented() -> set[str]:
    names: set[str] = set()
    for page in (DOCS / "api").glob("*.rst"):
        text = page.read_text(encoding="utf-8")
        module = ""
        for line in text.splitlines():
            if m := re.match(r"\.\. currentmodule::\s+(\S+)", line):
                module = m.group(1)
            elif m := DIRECTIVE.match(line):
                name = m.group(1)
                names.add(name if "." in name else f"{module}.{name}")
    return names


@pytest.mark.parametrize(("module", "public"), [
    ("quintara", quintara.__all__), ("quintara.datasets", datasets.__all__),
    ("quintara.distributed", distributed.__all__), ("quintara.plots", plots.__all__),
    ("quintara.cli", cli.__all__),
])
def test_every_public_name_has_an_api_entry(module: str, public: list[str]) -> None:
    missing = sorted(n for n in public if f"{module}.{n}" not in documented())
    assert not missing, f"not in docs/api: {missing}"


def python_blocks(page: Path) -> list[str]:
    """The bodies of a page's ``.. code-block:: python`` directives, dedented."""
    blocks, lines = [], page.read_text(encoding="utf-8").splitlines()
    for i, line in enumerate(lines):
        if line.strip() != ".. code-block:: python":
            continue
        body = []
        for nxt in lines[i + 1 :]:
            if nxt.strip() and not nxt.startswith("   "):
                break
            body.append(nxt[3:])
        blocks.append("\n".join(body).strip("\n") + "\n")
    return blocks


PAGES = sorted(p for p in DOCS.rglob("*.rst") if "walkthroughs" not in p.parts)


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(DOCS)))
def test_guide_examples_run(page: Path, capsys: pytest.CaptureFixture[str]) -> None:
    namespace: dict[str, object] = {}
    for block in python_blocks(page):
        exec(compile(block, str(page), "exec"), namespace)  # noqa: S102
    capsys.readouterr()


def test_block_extraction_stops_at_the_text_after_a_block(tmp_path: Path) -> None:
    page = tmp_path / "p.rst"
    page.write_text("Intro\n\n.. code-block:: python\n\n   x = 1\n\n   y = x\n\nText.\n\n"
                    ".. code-block:: sh\n\n   ls\n", encoding="utf-8")
    assert python_blocks(page) == ["x = 1\n\ny = x\n"]

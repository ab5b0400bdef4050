"""The documentation cannot go stale: every Python block of README.md and docs/ runs, page by page.

The blocks of one page share a namespace and run in page order, against the installed module.
"""

import re
from pathlib import Path

import pytest
from sybil import Sybil
from sybil.parsers.markdown import PythonCodeBlockParser

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("**/*.md"))]
PARSE = Sybil(parsers=[PythonCodeBlockParser()])

# Everything fenced must say what it is, so that no Python block escapes the run unlabelled.
FENCE = re.compile(r"^ {0,3}(```+|~~~+)(.*)$")
LABELS = {"python", "sh", "text", "yaml", "toml"}


def page_id(page):
    return str(page.relative_to(ROOT))


@pytest.mark.parametrize("page", PAGES, ids=page_id)
def test_python_blocks_run(page, monkeypatch, tmp_path):
    for package in ("pandas", "polars"):
        if f"import {package}" in page.read_text(encoding="utf-8"):
            pytest.importorskip(package, reason=f"{page_id(page)} shows {package}, which is not installed")
    monkeypatch.chdir(tmp_path)  # a block that writes a file leaves nothing behind
    (tmp_path / "data").symlink_to(ROOT / "data")  # the bundled bars, as from the repository's root
    document = PARSE.parse(page)
    examples = list(document.examples())
    for example in examples:
        try:
            example.evaluate()
        except Exception as error:
            error.add_note(f"in the Python block at {page_id(page)}:{example.line}")
            raise


@pytest.mark.parametrize("page", PAGES, ids=page_id)
def test_every_fence_is_labelled(page):
    opened = None
    for number, line in enumerate(page.read_text(encoding="utf-8").splitlines(), 1):
        match = FENCE.match(line)
        if not match:
            continue
        if opened is None:
            opened = match.group(1)
            label = match.group(2).strip().split()[0] if match.group(2).strip() else ""
            assert label in LABELS, f"{page_id(page)}:{number}: fence labelled {label!r}"
        elif match.group(1).startswith(opened) and not match.group(2).strip():
            opened = None
    assert opened is None, f"{page_id(page)}: a fence is never closed"

"""Python started in the checkout's root finds the companions' source folders first: it says so, and what to do."""

import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).parent.parent


@pytest.mark.parametrize("package", ["brindlex_batch", "brindlex_stream"])
def test_the_source_folder_says_it_is_one(package):
    child = subprocess.run([sys.executable, "-c", f"import {package}"], cwd=ROOT, capture_output=True,
                           text=True, timeout=120)
    assert child.returncode == 1
    assert child.stderr.strip().splitlines()[-1] == (
        f"ImportError: {package} was imported from its source folder {ROOT / package}, which holds no compiled "
        "module: Python looks in the current directory first. Run Python from another directory, or with -P, "
        "to import the installed package.")

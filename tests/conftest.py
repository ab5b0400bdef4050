"""Shared fixtures: the test-only extension's build folder on sys.path, and array helpers."""

import os
import sys

import numpy as np
import pytest

testing_dir = os.environ.get("BRINDLEX_TESTING_DIR")
if testing_dir:
    sys.path.insert(0, testing_dir)

NAN_MARKER = 0x7FF8000000000000


def bits(array):
    """The raw 64-bit patterns, so that comparisons see NaN payloads and signed zeros."""
    return np.ascontiguousarray(array, dtype=np.float64).view(np.uint64)


@pytest.fixture
def as_bits():
    return bits

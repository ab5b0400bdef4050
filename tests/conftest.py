"""Shared set-up: the test-only extension's folder on sys.path, array helpers, and the tests skipped under the sanitizers."""

import os
import sys

import numpy as np
import pytest

testing_dir = os.environ.get("BRINDLEX_TESTING_DIR")
if testing_dir:
    sys.path.insert(0, testing_dir)

NAN_MARKER = 0x7FF8000000000000

# Set by `scripts/test --sanitize`: the module and the test-only extension run under ASan and UBSan.
SANITIZED = bool(os.environ.get("BRINDLEX_SANITIZED"))
# Set by `scripts/test --arch aarch64`: the interpreter runs under qemu-user, which keeps address-space
# limits (RLIMIT_AS) to itself rather than apply them to the program it runs.
EMULATED = bool(os.environ.get("BRINDLEX_EMULATED"))


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "resident_memory: measures the process's resident memory, which AddressSanitizer's "
        "quarantine of freed blocks makes grow; skipped under the sanitizers")


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    skip = pytest.mark.skip(reason="AddressSanitizer holds freed memory in quarantine, so resident memory grows")
    for item in items:
        if "resident_memory" in item.keywords:
            item.add_marker(skip)


def bits(array):
    """The raw 64-bit patterns, so that comparisons see NaN payloads and signed zeros."""
    return np.ascontiguousarray(array, dtype=np.float64).view(np.uint64)


def same_values(got, want):
    """Every number equal to the last bit (signed zeros included) and NaN exactly where `want` has
    NaN. A NaN that arithmetic makes of NaN or infinite inputs has no fixed payload: which operand's
    NaN an addition passes on is the compiler's choice, in brindlex as in the companions. Where the
    marker itself must stand, the C++ tests check against the oracle's record of marker stores."""
    got, want = np.asarray(got, dtype=np.float64), np.asarray(want, dtype=np.float64)
    nan = np.isnan(want)
    return (got.shape == want.shape and np.array_equal(np.isnan(got), nan)
            and np.array_equal(bits(got)[~nan], bits(want)[~nan]))


@pytest.fixture
def as_bits():
    return bits

"""An input's strides, dtype or shape changed in place while it is borrowed never ends the process.

With its own registry the module ends exactly the borrow it took. With another module's registry,
which can only recompute the key from the array, it leaves that one entry stale rather than end a
borrow the registry never recorded.
"""


import numpy as np
import pytest

import _brindlex_testing as t
import layout_changes as lc
from layout_changes import CHANGES
from test_borrow_registry import registry_left_empty, run_fresh  # noqa: F401

THREADED = [(function, what) for function in ("sma", "ema", "macd") for what in ("strides", "dtype")]


@pytest.fixture
def registry_of_another_module():
    # The test-only extension published the registry when the suite was collected, so for the
    # installed module it is another module's.
    assert t.borrow_counts(np.zeros(0)) is not None, "brindlex created the registry of this process"


def only_stale_entry(data):
    assert t.borrow_counts(data) == (1, 1, 1)
    t.end_shared(data)


@pytest.mark.parametrize("what", CHANGES)
def test_converters_end_the_borrow_they_took_in_their_own_registry(what):
    a = np.array([2.0])
    t.hold_inputs((a,), ("data",), lambda: lc.change(a, what))
    lc.restore(a, 1)
    assert t.borrow_counts(a) == (0, 0, 0)


@pytest.mark.parametrize("what", CHANGES)
def test_len_changing_data_leaves_one_stale_entry_in_another_registry(registry_of_another_module, what):
    only_stale_entry(lc.through_len(what))


@pytest.mark.parametrize("function, what", THREADED)
def test_thread_changing_data_leaves_one_stale_entry_in_another_registry(registry_of_another_module,
                                                                          function, what):
    only_stale_entry(lc.from_thread(function, what))


def test_own_registry_is_left_empty_both_ways():
    # A fresh process in which brindlex creates the registry. Its state is private, so emptiness
    # is shown as other modules see it: an exclusive borrow of every byte of the buffer is granted.
    result = run_fresh(f"""
    import layout_changes as lc
    from borrow_capsule import CAPSULE, multiarray, published_record
    np = lc.np
    assert not hasattr(multiarray(), CAPSULE)
    lc.brindlex.indicator_sma(1, np.zeros(1), np.zeros(1))
    api = published_record()

    def left_empty(data):
        every_byte = np.ndarray((data.nbytes,), np.uint8, buffer=data)
        assert api.borrow_exclusive(api.state, every_byte) == 0
        api.end_exclusive(api.state, every_byte)

    for what in lc.CHANGES:
        left_empty(lc.through_len(what))
    for function, what in {THREADED!r}:
        left_empty(lc.from_thread(function, what))
    print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"

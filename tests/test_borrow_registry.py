"""The shared borrow registry, driven as another module would drive it: through the capsule record."""

import contextlib
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import _brindlex_testing as t
from borrow_capsule import CAPSULE, Record, name_and_address

INT64_MIN = -(2**63)


def capsule_record():
    t.registry_record()  # creates and publishes the registry if nobody has yet
    capsule = getattr(sys.modules[t.multiarray_module_name()], CAPSULE)
    return (capsule, *name_and_address(capsule))


API = Record.from_address(capsule_record()[2])


@contextlib.contextmanager
def exclusive(array):
    assert API.borrow_exclusive(API.state, array) == 0
    try:
        yield
    finally:
        API.end_exclusive(API.state, array)


def owners():
    return t.borrow_counts(np.empty(0))[0]


@pytest.fixture(autouse=True)
def registry_left_empty():
    yield
    assert owners() == 0, "a borrow outlived its test"


def refused(array, name="data"):
    with pytest.raises(BufferError, match=f"argument '{name}': the array is borrowed for writing"):
        t.extract_input(array, name)


# --- The record other modules read -------------------------------------------------------------

def test_published_record_is_version_1_under_its_own_name_and_is_the_one_in_use():
    capsule, name, pointer = capsule_record()
    assert type(capsule).__name__ == "PyCapsule"
    assert name == CAPSULE.encode()
    assert pointer == t.registry_record()
    assert API.api_version == 1


def test_multiarray_module_follows_the_numpy_major_version():
    core = "numpy._core" if int(np.__version__.split(".")[0]) >= 2 else "numpy.core"
    assert t.multiarray_module_name() == core + ".multiarray"


# --- Region keys -------------------------------------------------------------------------------

def address(array):
    return array.__array_interface__["data"][0]


def view(a, offset, shape, strides, dtype=np.float64):
    """A view whose base is `a` itself (as_strided would interpose an owner of its own)."""
    return np.ndarray(shape, dtype, buffer=a, offset=offset, strides=strides)


def test_keys_span_the_touched_bytes_with_the_stride_divisor():
    a = np.zeros(10)
    p = address(a)
    assert t.region_key(a) == (p, p + 80, p, 8)
    assert t.region_key(a[::-1]) == (p, p + 80, p + 72, -8)
    assert t.region_key(a[1::3]) == (p + 8, p + 8 + 8 + 2 * 24, p + 8, 24)
    m = np.zeros((3, 4))
    q = address(m)
    assert t.region_key(m) == (q, q + 96, q, 8)
    assert t.region_key(m[::-1, ::2]) == (q, q + 96 - 8, q + 64, 16)


@pytest.mark.parametrize("dtype", ["i1", "i2", "f4", "c16", "S7", [("a", "f8"), ("b", "i2", 7)]])
def test_element_size_is_read_from_the_descriptor_layout_of_this_numpy(dtype):
    a = np.zeros(5, dtype=dtype)
    p = address(a)
    assert t.region_key(a) == (p, p + 5 * a.itemsize, p, a.itemsize)


def test_empty_and_zero_dimensional_arrays_have_empty_ranges():
    z = np.zeros(())
    assert t.region_key(z) == (address(z),) * 3 + (1,)
    e = view(np.zeros(3), 0, (0, 3), (24, 8))
    assert t.region_key(e) == (address(e),) * 3 + (8,)


# --- gcd ---------------------------------------------------------------------------------------

@given(st.integers(INT64_MIN + 1, 2**63 - 1), st.integers(INT64_MIN + 1, 2**63 - 1))
def test_gcd_agrees_with_the_gcd_of_magnitudes(a, b):
    assert t.gcd(a, b) == math.gcd(a, b)


@given(st.integers(INT64_MIN, 2**63 - 1))
def test_gcd_with_the_most_negative_value_is_the_common_power_of_two(x):
    zeros = 64 if x == 0 else (x & -x).bit_length() - 1
    expected = 2 ** min(63, zeros)
    assert t.gcd(INT64_MIN, x) == t.gcd(x, INT64_MIN) == (expected if expected < 2**63 else INT64_MIN)


# --- The conflict rule -------------------------------------------------------------------------

def test_interleaved_views_do_not_conflict_but_overlapping_grids_do():
    a = np.zeros(10)
    with exclusive(a[::2]):
        t.extract_input(a[1::2], "data")
        refused(a)
        refused(a[2:4], "close")


def test_reversed_view_conflicts_with_an_exclusive_borrow_either_way():
    a = np.zeros(6)
    with exclusive(a[::-1]):
        refused(a)
    assert t.hold_inputs((a,), ("data",), lambda: API.borrow_exclusive(API.state, a[::-1])) == -1


def test_empty_view_conflicts_only_strictly_inside_a_stored_range():
    a = np.zeros(10)
    with exclusive(a):
        refused(view(a, 24, (0,), (8,)))
        t.extract_input(view(a, 0, (0,), (8,)), "data")
        t.extract_input(view(a, 80, (0,), (8,)), "data")


def test_zero_divisors_conflict_when_the_ranges_overlap():
    a = np.zeros(4)
    with exclusive(view(a, 4, (5,), (0,), np.uint8)):
        refused(view(a, 0, (3,), (0,)))
        t.extract_input(view(a, 8, (3,), (0,)), "data")
    assert t.regions_conflict((0, 8, 0, 0), (4, 12, 4, 0))
    assert not t.regions_conflict((0, 8, 0, 0), (8, 16, 8, 0))


# --- Counts and owners -------------------------------------------------------------------------

def test_shared_borrows_of_one_key_are_counted_and_released_to_nothing():
    a = np.zeros(4)
    for _ in range(3):
        assert t.borrow_shared(a) == 0
    assert t.borrow_counts(a) == (1, 1, 3)
    for _ in range(3):
        t.end_shared(a)
    assert t.borrow_counts(a) == (0, 0, 0)


def test_the_same_array_three_times_through_the_converters():
    a = np.zeros(4)
    assert t.hold_inputs((a, a, a), ("high", "low", "close"), lambda: t.borrow_counts(a)) == (1, 1, 3)


def test_exclusive_is_refused_for_any_held_key():
    a = np.zeros(4)
    assert t.hold_inputs((a,), ("data",), lambda: API.borrow_exclusive(API.state, a)) == -1
    with exclusive(a):
        assert t.borrow_shared(a) == -1
        assert t.borrow_counts(a) == (1, 1, -1)


def test_read_only_array_is_refused_exclusively_and_the_registry_is_unchanged():
    a = np.zeros(4)
    a.flags.writeable = False
    assert t.borrow_shared(a) == 0
    before = t.borrow_counts(a)
    assert API.borrow_exclusive(API.state, a) == -2
    assert API.borrow_exclusive(API.state, a[1:]) == -2
    assert t.borrow_counts(a) == before
    t.end_shared(a)


def test_views_are_keyed_by_the_object_owning_the_memory():
    a = np.zeros(8)
    assert t.borrow_owner(a[2:][1:][::2]) is a
    data = bytes(64)
    first, second = np.frombuffer(data), np.frombuffer(data, offset=8)
    assert t.borrow_owner(first) is data
    counts = t.hold_inputs((first, second), ("high", "low"), lambda: t.borrow_counts(first))
    assert counts == (1, 2, 1)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.booleans(), st.integers(0, 39)), max_size=120))
def test_many_owners_stay_findable_as_they_come_and_go(steps):
    arrays = [np.zeros(2) for _ in range(40)]
    held = [0] * 40
    for take, i in steps:
        if take:
            assert t.borrow_shared(arrays[i]) == 0
            held[i] += 1
        elif held[i]:
            t.end_shared(arrays[i])
            held[i] -= 1
        assert owners() == sum(1 for n in held if n)
    assert [t.borrow_counts(a)[2] for a in arrays] == held
    for a, n in zip(arrays, held):
        for _ in range(n):
            t.end_shared(a)


# --- Registries of other modules and broken capsules (fresh processes) -------------------------

def run_fresh(code):
    """Runs `code` in a new interpreter that can import the test-only extension and the tests'
    helper modules."""
    path = [os.path.dirname(t.__file__), os.path.dirname(__file__), os.environ.get("PYTHONPATH")]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, path)))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=60)


PUBLISH = """
    import ctypes, numpy as np
    from borrow_capsule import BORROW, CAPSULE, END, multiarray
    multiarray = multiarray()
    new = ctypes.pythonapi.PyCapsule_New
    new.argtypes, new.restype = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p], ctypes.py_object
    NAME = CAPSULE.encode()
    calls = []
    ops = [BORROW(lambda s, a: calls.append(("shared", s)) or 0), BORROW(lambda s, a: -1),
           END(lambda s, a: calls.append(("end", s))), END(lambda s, a: None)]
    record = (ctypes.c_uint64 * 6)(VERSION, 4242, *[ctypes.cast(f, ctypes.c_void_p).value for f in ops])
    capsule = new(ctypes.addressof(record), NAME, None)
    setattr(multiarray, NAME.decode(), capsule)
"""


def test_a_registry_published_by_another_module_is_used_not_replaced():
    result = run_fresh(PUBLISH.replace("VERSION", "7") + """
    import _brindlex_testing as t
    t.extract_input(np.zeros(3), "data")
    assert getattr(multiarray, NAME.decode()) is capsule
    assert t.registry_record() == ctypes.addressof(record)
    assert t.borrow_counts(np.zeros(1)) is None
    print(calls)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[('shared', 4242), ('end', 4242)]"


@pytest.mark.parametrize("setup, message", [
    (PUBLISH.replace("VERSION", "0"), "Version 0 "),
    ("import numpy as np\nsetattr(np._core.multiarray if hasattr(np, '_core') else np.core.multiarray,"
     " '_RUST_NUMPY_BORROW_CHECKING_API', 5)\n", "'int' object cannot be converted to 'PyCapsule'"),
])
def test_an_unusable_registry_attribute_is_an_internal_failure(setup, message):
    result = run_fresh(textwrap.dedent(setup) + "import _brindlex_testing as t\nt.extract_input(np.zeros(3), 'data')\n")
    assert result.returncode == -6
    assert "Interal borrow checking API error: " in result.stderr
    assert message in result.stderr


def test_a_registry_that_cannot_be_published_is_freed_and_an_internal_failure():
    result = run_fresh("""
    import sys, types, numpy as np, _brindlex_testing as t
    t.is_float64_vector(np.zeros(1))
    class Frozen(types.ModuleType):
        def __setattr__(self, name, value): raise PermissionError("frozen " + name)
    sys.modules[t.multiarray_module_name()] = Frozen("frozen")
    t.extract_input(np.zeros(3), "data")
    """)
    assert result.returncode == -6
    assert "Interal borrow checking API error: " in result.stderr
    assert "frozen _RUST_NUMPY_BORROW_CHECKING_API" in result.stderr


def test_ending_a_borrow_that_is_not_recorded_is_an_internal_failure():
    result = run_fresh("import numpy as np, _brindlex_testing as t\nt.end_shared(np.zeros(3))\n")
    assert result.returncode == -6
    assert "Ending a shared borrow of an owner that holds none" in result.stderr


# --- The indicator functions under a borrow held elsewhere ------------------------------------


def test_an_input_written_elsewhere_is_refused_by_every_function_and_nothing_is_computed():
    import brindlex

    data, other = np.arange(1.0, 9.0), np.arange(1.0, 9.0)
    out = [np.full(8, 7.0) for _ in range(3)]
    with exclusive(data):
        for call, name in [
            (lambda: brindlex.indicator_sma(2, data, out[0]), "data"),
            (lambda: brindlex.indicator_ema(2, data, out[0]), "data"),
            (lambda: brindlex.indicator_macd(2, 3, 2, data, *out), "data"),
            # The borrows of high and low, taken first, are given back.
            (lambda: brindlex.indicator_atr(2, other, other, data, out[0]), "close"),
        ]:
            with pytest.raises(BufferError, match=f"^argument '{name}': the array is borrowed"):
                call()
            assert all((o == 7.0).all() for o in out)
        # Being written elsewhere does not stop an array from being an output.
        brindlex.indicator_sma(2, other, data)
    assert data[1] == 1.5

    # Only an overlapping grid conflicts: with the even elements written elsewhere, an odd one
    # (a one-element view, contiguous whatever its stride) can be read.
    single = np.zeros(1)
    with exclusive(other[::2]):
        brindlex.indicator_sma(1, other[1::16], single)
        with pytest.raises(BufferError):
            brindlex.indicator_sma(1, other[2::16], single)
    assert single[0] == other[1]

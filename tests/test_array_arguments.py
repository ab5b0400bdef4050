"""Array arguments: which objects pass as float64 vectors, the conversions' failures and lifetimes, views."""

import sys

import numpy as np
import pytest

import _brindlex_testing as t
# exclusive() reads the capsule record as another module would; the fixture checks no borrow outlives a test.
from test_borrow_registry import exclusive, registry_left_empty, run_fresh  # noqa: F401


def address(array):
    return array.__array_interface__["data"][0]


def strided(length, stride):
    """A float64 vector of `length` elements `stride` bytes apart, inside a buffer of its own."""
    span = 8 + abs(stride) * max(length - 1, 0)
    buffer = np.zeros(span // 8 + 2)
    offset = abs(stride) * max(length - 1, 0) if stride < 0 else 0
    return np.ndarray((length,), np.float64, buffer=buffer, offset=offset, strides=(stride,))


def counts(array):
    return t.borrow_counts(array)


class Outer:
    class Inner:
        pass


# --- Which objects are float64 vectors ----------------------------------------------------------

class Series(np.ndarray):
    pass


@pytest.mark.parametrize("make", [
    lambda: np.zeros(3),
    lambda: np.zeros(0),
    lambda: np.zeros(6)[::-2],
    lambda: np.zeros(3).view(Series),
    lambda: np.zeros(3, dtype=np.dtype("f8", metadata={"unit": "usd"})),  # equivalent, not identical
    lambda: np.frombuffer(bytes(24)),  # read-only
])
def test_accepted(make):
    array = make()
    assert t.is_float64_vector(array)
    t.extract_output(array, "output")


@pytest.mark.parametrize("value", [np.zeros(3, "f4"), np.zeros(3, "i8"), np.zeros((2, 2)), np.zeros(()),
                                   np.zeros(3, "c16"), np.zeros(3, "f2")])
def test_other_arrays_are_refused_as_ndarray(value):
    assert not t.is_float64_vector(value)
    with pytest.raises(TypeError) as error:
        t.extract_input(value, "data")
    assert str(error.value) == "argument 'data': 'ndarray' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize("value, shown", [([1.0, 2.0], "list"), (None, "NoneType"), (3.5, "float"),
                                          (Outer.Inner(), "Outer.Inner")])
def test_non_arrays_are_refused_by_qualified_type_name(value, shown):
    assert not t.is_float64_vector(value)
    with pytest.raises(TypeError) as error:
        t.extract_output(value, "hist_output")
    assert str(error.value) == f"argument 'hist_output': '{shown}' object cannot be converted to 'PyArray<T, D>'"


def test_byte_swapped_float64_is_decided_by_numpy_equivalence():
    swapped = np.zeros(3, dtype=np.dtype("f8").newbyteorder())
    assert t.is_float64_vector(swapped) == (swapped.dtype == np.dtype(np.float64))


# --- Lifetimes: one reference and one borrow per input, none per output -------------------------

def test_inputs_hold_one_reference_and_one_borrow_until_dropped():
    a = np.zeros(4)
    objects = (a,)
    before = sys.getrefcount(a)
    inside = t.hold_inputs(objects, ("data",), lambda: (sys.getrefcount(a), counts(a)))
    assert inside == (before + 1, (1, 1, 1))
    assert sys.getrefcount(a) == before
    assert counts(a) == (0, 0, 0)


def test_outputs_take_nothing_so_an_input_may_also_be_an_output():
    a = np.zeros(4)
    before = sys.getrefcount(a)
    t.hold_inputs((a,), ("data",), lambda: t.extract_output(a, "output"))
    t.extract_output(a, "output")
    assert sys.getrefcount(a) == before and counts(a) == (0, 0, 0)


def test_a_later_failed_conversion_releases_the_earlier_inputs():
    high, low = np.zeros(3), np.zeros(3)
    before = sys.getrefcount(high), sys.getrefcount(low)
    with pytest.raises(TypeError, match="argument 'close': 'list'"):
        t.hold_inputs((high, low, [0.0]), ("high", "low", "close"), lambda: None)
    assert (sys.getrefcount(high), sys.getrefcount(low)) == before
    assert counts(high)[0] == 0


def test_a_refused_borrow_releases_its_reference_and_the_earlier_inputs():
    high, low = np.zeros(3), np.zeros(3)
    before = sys.getrefcount(high), sys.getrefcount(low)
    with exclusive(low):
        with pytest.raises(BufferError, match="argument 'low': the array is borrowed for writing"):
            t.hold_inputs((high, low), ("high", "low"), lambda: None)
        assert counts(high)[1] == 0
    assert (sys.getrefcount(high), sys.getrefcount(low)) == before


# --- Views ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("stride", [8, -8, 16, 0, 3, -12])
@pytest.mark.parametrize("length", [0, 1, 2, 5])
def test_contiguity_is_decided_on_the_byte_stride(length, stride):
    array = strided(length, stride)
    data, n, byte_stride, element_stride, contiguous = t.vector_view(array)
    assert (data, n, byte_stride) == (address(array), length, stride)
    assert element_stride == int(stride / 8)
    assert contiguous == (length < 2 or stride == 8)


# --- NumPy access, in fresh processes -----------------------------------------------------------

def test_numpy_is_imported_by_the_first_conversion_not_before():
    result = run_fresh("""
        import sys, _brindlex_testing as t
        assert "numpy" not in sys.modules
        assert not t.is_float64_vector([1.0])
        assert "numpy" in sys.modules
    """)
    assert result.returncode == 0, result.stderr


def test_numpy_that_cannot_be_imported_is_an_internal_failure():
    result = run_fresh("import sys; sys.modules['numpy'] = None\n"
                       "import _brindlex_testing as t; t.is_float64_vector([1.0])")
    assert result.returncode == -6
    assert "Failed to access NumPy array API capsule: PyErr" in result.stderr
    assert "ModuleNotFoundError" in result.stderr


def test_a_view_of_more_than_one_dimension_is_an_internal_failure():
    result = run_fresh("import numpy as np, _brindlex_testing as t; t.vector_view(np.zeros((2, 2)))")
    assert result.returncode == -6
    assert "vector_view of an array with 2 dimensions" in result.stderr

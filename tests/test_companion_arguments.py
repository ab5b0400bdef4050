"""The argument policy both companion modules share: one rule for which protocol of an array-like
is read, and brindlex_batch's memory checks of `out` against NumPy's own."""

import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import brindlex_batch as bb
import brindlex_stream
from conftest import EMULATED, SANITIZED, bits

EXAMPLES = 50 if SANITIZED else 300


class Offering:
    """An array-like offering DLPack of one array and, optionally, another protocol of another."""

    def __init__(self, dlpack, other, protocol):
        self._dlpack = dlpack
        if protocol == "__array__":
            self.__array__ = lambda dtype=None, copy=None: other
        elif protocol == "__array_interface__":
            self.__array_interface__ = other.__array_interface__
            self._keep = other

    def __dlpack__(self, **kwargs):
        return self._dlpack.__dlpack__(**kwargs)

    def __dlpack_device__(self):
        return self._dlpack.__dlpack_device__()


@pytest.mark.parametrize("protocol", ["none", "__array__", "__array_interface__"])
def test_dlpack_is_read_only_when_numpy_has_no_other_protocol_to_read(protocol):
    through_dlpack, through_other = np.array([1.0, 2.0, 4.0, 8.0]), np.array([3.0, 1.0, -2.0, 5.0])
    given = Offering(through_dlpack, through_other, protocol)
    want = through_dlpack if protocol == "none" else through_other
    assert np.array_equal(bits(bb.ema(given, 2)), bits(bb.ema(want, 2)))
    assert np.array_equal(bits(brindlex_stream.Ema(2).update_many(given)), bits(bb.ema(want, 2)))


def views(draw, buffer):
    """A float64 view of `buffer`: a start, a length and a step of either sign."""
    start = draw(st.integers(0, len(buffer) - 1))
    step = draw(st.sampled_from([1, 2, 3, -1, -2]))
    stop = draw(st.integers(-1, len(buffer)))
    return buffer[start:stop if stop >= 0 else None:step]


@settings(max_examples=EXAMPLES, deadline=None)
@given(data=st.data())
def test_out_is_refused_exactly_when_numpy_says_it_may_share_memory(data):
    buffer = np.linspace(1.0, 2.0, 24)
    inputs = data.draw(st.sampled_from(["1d", "2d"]))
    x = views(data.draw, buffer)
    out = views(data.draw, buffer)
    if inputs == "2d" and x.size % 2 == 0 and out.size == x.size:
        x, out = x.reshape(2, -1), out.reshape(-1, 2).T
    if out.shape != x.shape:
        return
    before = bits(buffer).copy()
    if np.may_share_memory(x, out):
        with pytest.raises(ValueError, match="shares memory with argument 'data'"):
            bb.ema(x, 2, out=out)
        assert np.array_equal(bits(buffer), before)
    else:
        assert np.array_equal(bits(bb.ema(x, 2, out=out)), bits(bb.ema(x.copy(), 2)))


def element_addresses(array):
    """The byte offset of every element from the array's first one."""
    offsets = np.zeros(array.shape, np.int64)
    for axis, (size, step) in enumerate(zip(array.shape, array.strides)):
        shape = [1] * array.ndim
        shape[axis] = size
        offsets = offsets + (np.arange(size) * step).reshape(shape)
    return offsets.ravel()


@settings(max_examples=EXAMPLES, deadline=None)
@given(rows=st.integers(1, 4), columns=st.integers(1, 4),
       strides=st.tuples(*[st.sampled_from([0, 8, 16, 24, 32, -8, -16]) for _ in range(2)]))
def test_out_whose_elements_coincide_is_refused_untouched(rows, columns, strides):
    buffer = np.zeros(200)
    out = np.lib.stride_tricks.as_strided(buffer[100:], (rows, columns), strides, writeable=True)
    offsets = element_addresses(out)
    distinct = len(set(offsets.tolist())) == offsets.size
    try:
        result = bb.sma(np.ones((rows, columns)), 1, out=out)
    except ValueError as refused:
        # Refused by a test of strides, which may also refuse a few layouts that interleave.
        assert "its elements may overlap each other" in str(refused)
        assert not buffer.any()
    else:
        assert distinct and result is out and (out == 1.0).all()


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves far more address space than any limit here")
@pytest.mark.skipif(EMULATED, reason="qemu-user applies no address-space limit to the program it runs")
def test_memory_exhausted_by_outputs_or_copies_is_memory_error():
    script = """if True:
        import resource, numpy as np, brindlex_batch as bb
        x = np.ones(25_000_000)                     # 200 MB
        ints = np.ones(25_000_000, dtype=np.int32)  # its float64 copy needs 200 MB
        out = np.full(25_000_000, 3.0)
        with open("/proc/self/statm") as statm:
            size = int(statm.read().split()[0]) * resource.getpagesize()
        limit = size + 100_000_000
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        for call in (lambda: bb.ema(x, 3), lambda: bb.macd(x), lambda: bb.ema(ints, 3, out=out)):
            try:
                call()
            except MemoryError:
                pass
            else:
                raise SystemExit("no MemoryError")
        assert (out == 3.0).all()
    """
    subprocess.run([sys.executable, "-P", "-c", script], check=True, timeout=120)

"""The whole argument surface of each function, fuzzed against a model of which calls are acceptable.

Each example draws a call: positional and keyword mixes, unknown and repeated keywords (through a
hand-built vectorcall as well as Python call syntax), periods of every Python type, and arrays of
other dtypes, byte orders, dimensions, strides, alignments and writeability, with zero lengths,
views overlapping one another, subclasses, non-arrays, and inputs written elsewhere (an exclusive
borrow held in the registry). Every call must return None or raise TypeError, ValueError,
OverflowError or BufferError; it must succeed exactly when the model accepts it; a failing call
must change no byte of any argument; and a successful one must change every byte exactly as the
same call does on plain, aligned copies laid out the same way.

CI runs 2,000 examples per function. BRINDLEX_FUZZ_PROFILE=long runs 25,000, for example
    BRINDLEX_FUZZ_PROFILE=long scripts/test
"""

import operator
import os

import numpy as np
from hypothesis import HealthCheck, given, settings, strategies as st

import _brindlex_testing as t
import brindlex
from test_borrow_registry import exclusive, registry_left_empty  # noqa: F401

EXAMPLES = {"ci": 2_000, "long": 25_000}[os.environ.get("BRINDLEX_FUZZ_PROFILE", "ci")]

SIGNATURES = {
    "sma": ["period", "data", "output"],
    "ema": ["period", "data", "output"],
    "macd": ["fast_period", "slow_period", "signal_period", "data", "macd_output", "signal_output",
             "hist_output"],
    "atr": ["period", "high", "low", "close", "output"],
}
INPUTS = {"data", "high", "low", "close"}
RAISED = (TypeError, ValueError, OverflowError, BufferError)
FAULTS = ("period", "kind", "non-array", "layout", "length", "readonly", "binding", "held")
SLOTS = 80  # float64 elements of room in every arena
MAX_LENGTH = 12


# --- periods -------------------------------------------------------------------------------------

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IndexRaises:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error("no index")


class IntWithOtherIndex(int):
    """An int subclass is read as the int it is; its own __index__ is not asked."""

    def __index__(self):
        return -1


periods = st.one_of(
    st.integers(0, 30),
    st.integers(-(2**70), 2**70),
    st.sampled_from([2**64 - 1, 2**64, 2**63, -1, True, False]),
    st.integers(-3, 30).map(np.int64),
    st.integers(0, 30).map(np.uint8),
    st.just(np.uint64(2**64 - 1)),
    st.integers(-3, 2**65).map(Index),
    st.sampled_from([TypeError, ValueError, OverflowError]).map(IndexRaises),
    st.integers(0, 30).map(IntWithOtherIndex),
    st.sampled_from([Index(3.0), Index("3"), 3.0, float("nan"), "3", None, [3], 3 + 0j, b"3",
                     np.float64(3.0)]),
)

# The types a readable period comes in.
as_period_type = st.sampled_from([int, int, int, np.int64, np.uint64, Index, IntWithOtherIndex])


@st.composite
def readable_periods(draw, function):
    """Periods every check accepts: any for SMA, EMA and ATR, 0 < fast < slow and signal > 0 for MACD."""
    if function == "macd":
        fast = draw(st.integers(1, 10))
        numbers = [fast, draw(st.integers(fast + 1, 30)), draw(st.integers(1, 10))]
    else:
        numbers = [draw(st.one_of(st.integers(0, 20), st.sampled_from([2**64 - 1, 2**40])))]
    types = [draw(as_period_type) for _ in numbers]
    return [np.uint64(k) if kind is np.int64 and k >= 2**63 else kind(k) for kind, k in zip(types, numbers)]


def period_value(value):
    """The period the call reads, or None when it cannot be read."""
    if isinstance(value, int):
        number = int.__index__(value)
    else:
        try:
            number = operator.index(value)
        except Exception:
            return None
    return number if 0 <= number < 2**64 else None


# --- arrays --------------------------------------------------------------------------------------

class Series(np.ndarray):
    pass


class LyingLength(np.ndarray):
    """len() need not be the first dimension; MACD asks both."""

    def __len__(self):
        return self.claimed


class Arena:
    """The memory several views share: SLOTS float64 slots starting `misalignment` bytes past an
    8-byte boundary, owned by one uint8 array."""

    def __init__(self, misalignment, values):
        self.misalignment = misalignment
        self.owner, self.origin = placed(misalignment)
        self.region[:] = values

    @property
    def region(self):
        return self.owner[self.origin:self.origin + SLOTS * 8]


def placed(misalignment):
    owner = np.zeros(SLOTS * 8 + 16, np.uint8)
    origin = (misalignment - owner.ctypes.data) % 8
    return owner, origin


class View:
    """A drawn argument built over an arena, remembering how, so that it can be rebuilt over a copy."""

    def __init__(self, arena, offset, shape, strides, dtype, cls=np.ndarray, writeable=True, claimed=None):
        self.arena, self.offset, self.shape, self.strides, self.dtype = arena, offset, shape, strides, dtype
        self.cls, self.writeable, self.claimed = cls, writeable, claimed
        self.array = self.build(arena.owner, arena.origin, cls, dtype)
        self.array.flags.writeable = writeable
        if claimed is not None:
            self.array.claimed = claimed

    def __repr__(self):
        flags = [] if self.writeable else ["read-only"]
        flags += [] if self.claimed is None else [f"len() {self.claimed}"]
        return (f"<{self.cls.__name__} {self.dtype.str}{list(self.shape)} strides {list(self.strides)} at byte "
                f"{self.offset} of arena {id(self.arena) % 10000} (+{self.arena.misalignment}) {' '.join(flags)}>")

    def build(self, owner, origin, cls, dtype):
        return cls.__new__(cls, self.shape, dtype, buffer=owner, offset=origin + self.offset,
                           strides=self.strides)

    def is_vector(self):
        return self.shape is not None and len(self.shape) == 1 and self.dtype == np.dtype(np.float64)

    def length(self):
        return self.shape[0]

    def contiguous(self):
        return self.shape[0] < 2 or self.strides[0] == 8

    def lengths(self):
        """What the checks compare: the first dimension, and len() as MACD asks it."""
        return self.shape[0], self.claimed if self.claimed is not None else self.shape[0]


@st.composite
def views(draw, arenas, n, output, faults):
    """An array over a new or an existing arena: a contiguous float64 vector of length n that the
    checks accept, unless `faults` allows it to be of another kind, layout, length or writeability."""
    if not arenas or draw(st.integers(0, 3)) == 0:
        values = draw(st.one_of(
            st.integers(0, 2**32).map(lambda seed: np.random.default_rng(seed).bytes(SLOTS * 8)),
            st.integers(0, 2**32).map(
                lambda seed: (np.random.default_rng(seed).standard_normal(SLOTS).cumsum() + 50).tobytes()),
        ))
        arenas.append(Arena(draw(st.sampled_from([0, 0, 0, 1, 3, 4, 7])), np.frombuffer(values, np.uint8)))
    arena = draw(st.sampled_from(arenas))
    float64s = [np.dtype(np.float64)] * 8 + [np.dtype("=f8"), np.dtype(np.float64, metadata={"unit": "usd"})]
    others = [np.dtype(">f8"), np.dtype(np.float32), np.dtype(np.int64), np.dtype(np.complex128),
              np.dtype(np.float16)]
    dtype = draw(st.sampled_from(float64s + others if "kind" in faults else float64s))
    shape_kind = draw(st.sampled_from(["vector"] * 10 + ["scalar", "matrix"])) if "kind" in faults else "vector"
    length = draw(st.integers(0, MAX_LENGTH)) if "length" in faults and draw(st.booleans()) else n
    size = dtype.itemsize
    strides = [2 * size, -size, 0, 3 * size, size + 4, -2 * size]
    stride = draw(st.sampled_from([size] * 6 + (strides if "layout" in faults or length < 2 else [])))
    if shape_kind == "scalar":
        shape, strides = (), ()
    elif shape_kind == "matrix":
        shape, strides = (2, length // 2), (abs(stride) * max(length // 2, 1), stride)
    else:
        shape, strides = (length,), (stride,)
    low = sum((d - 1) * s for d, s in zip(shape, strides) if s < 0 and d > 0)
    high = sum((d - 1) * s for d, s in zip(shape, strides) if s > 0 and d > 0) + size
    # Whole slots from the arena's start, so that views of one arena share its alignment.
    first = draw(st.integers((-low + 7) // 8, (SLOTS * 8 - high) // 8))
    cls = draw(st.sampled_from([np.ndarray] * 6 + [Series, LyingLength]))
    claimed = None
    if cls is LyingLength:
        claimed = draw(st.integers(0, MAX_LENGTH)) if "length" in faults and draw(st.booleans()) else length
    # Read-only inputs are fine; a read-only output is a fault.
    writeable = (output and "readonly" not in faults) or draw(st.integers(0, 3)) > 0
    return View(arena, first * 8, shape, strides, dtype, cls, writeable, claimed)


non_arrays = st.sampled_from([None, 3, 1.5, "data", b"\0" * 8, [1.0, 2.0], (1.0,), np.float64(1.0),
                          memoryview(b"\0" * 8)])


# --- the call ------------------------------------------------------------------------------------

@st.composite
def calls(draw, function):
    params = SIGNATURES[function]
    n = draw(st.integers(0, MAX_LENGTH))
    # Calls are drawn among the acceptable ones, or with one kind of fault allowed, or with any:
    # so both sides of the property are tried often, and each rule alone at its boundary.
    mode = draw(st.sampled_from(["none", "none", "one", "one", "any"]))
    faults = {"none": set(), "one": {draw(st.sampled_from(FAULTS))}, "any": set(FAULTS)}[mode]
    arenas = []
    values = [] if "period" in faults else draw(readable_periods(function))
    for name in params[len(values):]:
        output = name not in INPUTS
        earlier = [v for v in values if isinstance(v, View) and (v.writeable or "readonly" in faults)]
        if name.endswith("period"):
            values.append(draw(periods))
        elif "non-array" in faults and draw(st.integers(0, 3)) == 0:
            values.append(draw(non_arrays))
        elif output and earlier and draw(st.integers(0, 4)) == 0:
            # An output that is one of the earlier arrays itself.
            values.append(draw(st.sampled_from(earlier)))
        else:
            values.append(draw(views(arenas, n, output, faults)))
    vector = draw(st.booleans())
    npos = draw(st.integers(0, len(params)))
    names = list(params[npos:])
    names = draw(st.permutations(names))
    keywords = [(name, values[params.index(name)]) for name in names]
    positional = list(values[:npos])
    mistake = None
    if "binding" in faults:
        mistake = draw(st.sampled_from(["extra", "unknown", "missing", "repeat"]))
    if mistake == "extra":
        positional.append(values[-1])
    elif mistake == "unknown":
        name = draw(st.sampled_from(["window", "Period", "", "data_", "\ud800"] if vector else ["window", "Period", "data_"]))
        keywords.insert(draw(st.integers(0, len(keywords))), (name, values[0]))
    elif mistake == "missing" and (positional or keywords):
        if keywords and draw(st.booleans()):
            keywords.pop(draw(st.integers(0, len(keywords) - 1)))
        elif positional:
            positional.pop()
    elif mistake == "repeat" and vector:
        name = draw(st.sampled_from(params))
        keywords.insert(draw(st.integers(0, len(keywords))), (name, values[params.index(name)]))
    held = None
    if arenas and "held" in faults and draw(st.integers(0, 1)) == 0:
        held = draw(st.sampled_from(arenas))
    return function, positional, keywords, vector, held


def bound(params, positional, keywords):
    """The value bound to each parameter, or None when the binding fails."""
    if len(positional) > len(params):
        return None
    slots = dict(zip(params, positional))
    for name, value in keywords:
        if name not in params or name in slots:
            return None
        slots[name] = value
    return slots if len(slots) == len(params) else None


def overlaps_held(view, held):
    """Whether an exclusive borrow of every byte of the arena refuses a shared borrow of the view."""
    if view.arena is not held:
        return False
    start = held.owner.ctypes.data + held.origin
    address = start + view.offset
    if view.length() == 0:
        return start < address < start + SLOTS * 8
    return True


def acceptable(function, slots, held):
    params = SIGNATURES[function]
    periods_read = [period_value(slots[p]) for p in params if p.endswith("period")]
    if None in periods_read:
        return False
    arrays = [slots[p] for p in params if not p.endswith("period")]
    if not all(isinstance(a, View) and a.is_vector() for a in arrays):
        return False
    inputs = [slots[p] for p in params if p in INPUTS]
    outputs = [slots[p] for p in params if not p.endswith("period") and p not in INPUTS]
    if any(overlaps_held(a, held) for a in inputs):
        return False
    if not all(a.contiguous() and a.writeable for a in outputs) or not all(a.contiguous() for a in inputs):
        return False
    n = inputs[0].length()
    if function == "macd":
        fast, slow, signal = periods_read
        if not (0 < fast < slow and signal > 0):
            return False
        return all(length == n for a in outputs for length in a.lengths())
    return all(a.length() == n for a in inputs + outputs)


def argument(value):
    return value.array if isinstance(value, View) else value


def call_as_drawn(function, positional, keywords, vector):
    fn = getattr(brindlex, "indicator_" + function)
    args = [argument(v) for v in positional]
    if vector:
        return t.vectorcall(fn, tuple(args + [argument(v) for _, v in keywords]),
                            tuple(name for name, _ in keywords) or None)
    return fn(*args, **{name: argument(v) for name, v in keywords})


def replay_on_aligned_copies(function, slots, arenas):
    """The same call on plain float64 views over aligned copies of the arenas; their bytes after."""
    copies = {}
    for arena in arenas:
        owner, origin = placed(0)
        owner[origin:origin + SLOTS * 8] = arena.region
        copies[id(arena)] = (owner, origin)
    args = []
    for p in SIGNATURES[function]:
        value = slots[p]
        if p.endswith("period"):
            args.append(period_value(value))
        else:
            owner, origin = copies[id(value.arena)]
            args.append(value.build(owner, origin, np.ndarray, np.dtype(np.float64)))
    getattr(brindlex, "indicator_" + function)(*args)
    return [owner[origin:origin + SLOTS * 8].tobytes() for owner, origin in copies.values()]


def check(function, positional, keywords, vector, held):
    given_values = positional + [value for _, value in keywords]
    arenas = list({id(v.arena): v.arena for v in given_values if isinstance(v, View)}.values())
    before = [a.region.tobytes() for a in arenas]
    slots = bound(SIGNATURES[function], positional, keywords)
    expected = slots is not None and acceptable(function, slots, held)
    replayed = replay_on_aligned_copies(function, slots, arenas) if expected else None
    if held is not None:
        every_byte = np.ndarray((SLOTS * 8,), np.uint8, buffer=held.owner, offset=held.origin)
        with exclusive(every_byte):
            result = outcome(function, positional, keywords, vector)
    else:
        result = outcome(function, positional, keywords, vector)
    assert t.borrow_counts(np.zeros(0))[0] == 0, "a borrow outlived the call"
    after = [a.region.tobytes() for a in arenas]
    if isinstance(result, BaseException):
        assert isinstance(result, RAISED), repr(result)
        assert not expected, f"refused an acceptable call: {result!r}"
        assert after == before, "a failing call changed an argument"
    else:
        assert result is None
        assert expected, "accepted a call the model refuses"
        assert after == replayed, "the result differs from the same call on plain aligned copies"


def outcome(function, positional, keywords, vector):
    try:
        return call_as_drawn(function, positional, keywords, vector)
    except Exception as error:  # the property decides which are allowed
        return error


def fuzz(function):
    @settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow],
              database=None)
    @given(calls(function))
    def test(call):
        check(*call)

    return test


test_sma = fuzz("sma")
test_ema = fuzz("ema")
test_macd = fuzz("macd")
test_atr = fuzz("atr")

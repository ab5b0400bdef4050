"""Interpreter-boundary runtime, driven through the test-only extension's hooks.

Grouped by the fault each test would catch: lock-depth bookkeeping that drifts, references
released without the lock, lost or released twice, exception values raising the wrong thing,
normalisation that builds twice or dead-locks, text forms that fail or leak an error, and the
process-ending paths (run in a child interpreter, since they abort).
"""

import ctypes
import gc
import io
import os
import re
import resource
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from hypothesis import example, given, strategies as st

import _brindlex_testing as t
from conftest import EMULATED

REPORT = re.compile(r"brindlex: internal failure in thread (\d+) at (\S+):(\d+): (.*)")


def run_isolated(code, timeout=60):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.dirname(t.__file__), env.get("PYTHONPATH")]))
    try:
        proc = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, encoding="utf-8",
            errors="replace", env=env, timeout=timeout,
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0)))
    except subprocess.TimeoutExpired:
        pytest.fail(f"the child did not finish within {timeout} s (dead-lock?)")
    if EMULATED:  # qemu-user adds its own line on the signal that ended the program
        proc.stderr = re.sub(r"^qemu: uncaught target signal .*\n", "", proc.stderr, flags=re.M)
    return proc


def failure_report(proc):
    """The report of a child that aborted; it must be the last line on its stderr."""
    assert proc.returncode == -6, proc.stderr  # SIGABRT
    match = REPORT.fullmatch(proc.stderr.rstrip("\n").splitlines()[-1])
    assert match, proc.stderr
    return match


@pytest.fixture
def no_gc():
    """A collection could free a hook's value, whose destructor enters and applies the pool."""
    gc.disable()
    yield
    gc.enable()


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


def counting_builder(calls, cls=ValueError, text="built"):
    def builder():
        calls.append(threading.get_ident())
        return cls, text
    return builder


def raise_from_here():
    raise RuntimeError("with frames")


# --- lock depth: every raise matched by one lowering, per thread ---------------------------------

def test_depth_counts_nesting_per_thread_and_returns_to_zero():
    other_thread = []

    def nested():
        worker = threading.Thread(target=lambda: other_thread.append(t.lock_depth()))
        worker.start()
        worker.join()
        return t.call_held(t.lock_depth), t.guarded_call(t.lock_depth)

    assert t.call_held(nested) == (2, (True, 2))
    assert other_thread == [0]
    assert t.lock_depth() == 0
    assert t.depth_in_allow_threads() == (0, 1)


def test_guarded_acquire_in_allow_threads_takes_the_lock_and_gives_it_back():
    stop = threading.Event()

    def keep_signalling():
        while not stop.is_set():
            t.send_signal()
            time.sleep(0.001)

    signaller = threading.Thread(target=keep_signalling)
    signaller.start()
    try:
        result = t.guarded_call_in_allow_threads(t.lock_depth)
    finally:
        stop.set()
        signaller.join()
    # Not already held, depth 1 inside, and another thread ran after guarded_release.
    assert result == (False, 1, True)


def installed_tls_words():
    """A reader of the calling thread's thread-local block of the installed module, as 64-bit words.

    The module exports nothing but its init function and the test-only extension links its own copy
    of the runtime, so the module's lock depth is found in its thread-local block: the dynamic
    linker hands out the block's address for a module id, and the block's size is in the module's
    program headers.
    """
    import brindlex

    with open(brindlex.__file__, "rb") as elf:
        image = elf.read()
    phoff, = struct.unpack_from("<Q", image, 0x20)
    phentsize, phnum = struct.unpack_from("<HH", image, 0x36)
    sizes = [struct.unpack_from("<Q", image, phoff + i * phentsize + 0x28)[0] for i in range(phnum)
             if struct.unpack_from("<I", image, phoff + i * phentsize)[0] == 7]  # PT_TLS
    assert len(sizes) == 1, "the module has no thread-local block"
    libc = ctypes.CDLL(None)
    handle = ctypes.CDLL(brindlex.__file__, mode=os.RTLD_NOLOAD | os.RTLD_NOW)._handle
    module_id = ctypes.c_size_t()
    libc.dlinfo.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p]
    assert libc.dlinfo(handle, 9, ctypes.byref(module_id)) == 0  # RTLD_DI_TLS_MODID
    libc.__tls_get_addr.restype = ctypes.c_void_p
    index = (ctypes.c_size_t * 2)(module_id.value, 0)
    count = sizes[0] // 8
    # The address is the calling thread's: read it on the thread that makes the calls.
    return lambda: list((ctypes.c_int64 * count).from_address(libc.__tls_get_addr(index)))


def test_installed_module_lowers_its_depth_on_every_failing_call():
    import brindlex
    import numpy as np

    words = installed_tls_words()
    data, out = np.arange(1.0, 9.0), np.zeros(8)
    inside = []

    class Output(np.ndarray):
        # MACD asks len() of its outputs with the depth raised: Python code running there sees it.
        def __len__(self):
            inside.append(words())
            return super().__len__()

    outs = [np.zeros(8).view(Output) for _ in range(3)]
    idle = words()
    brindlex.indicator_macd(2, 3, 2, data, *outs)
    depth = [i for i, (a, b) in enumerate(zip(idle, inside[0])) if (a, b) == (0, 1)]
    assert len(depth) == 1, (idle, inside[0])
    depth = depth[0]
    failing = [
        lambda: brindlex.indicator_sma(3, data),                          # binding
        lambda: brindlex.indicator_ema(-1, data, out),                    # period conversion
        lambda: brindlex.indicator_atr(3, data, data, None, out),         # array conversion
        lambda: brindlex.indicator_sma(3, data, out[:2]),                 # check
        lambda: brindlex.indicator_macd(2, 3, 2, data, outs[0], outs[1], out[:2]),  # check after len()
    ]
    for call in failing:
        with pytest.raises((TypeError, ValueError, OverflowError)):
            call()
        assert words()[depth] == 0
    # A failing call nested in a running one leaves the outer call's depth as it found it.
    class Nested(np.ndarray):
        def __len__(self):
            with pytest.raises(ValueError):
                brindlex.indicator_sma(3, data, out[:2])
            inside.append(words()[depth])
            return super().__len__()

    brindlex.indicator_macd(2, 3, 2, data, *[np.zeros(8).view(Nested) for _ in range(3)])
    assert inside[-3:] == [1, 1, 1]
    assert words()[depth] == 0


# --- deferred releases: never without the lock, never lost, never twice, in order ----------------

class Logged:
    def __init__(self, name, log):
        self.name, self.log = name, log

    def __del__(self):
        self.log.append(self.name)


@pytest.mark.parametrize("order", [("A", "B"), ("B", "A"), tuple("ABCDEFGHIJ")])
def test_release_without_the_lock_waits_for_an_entry_and_keeps_queue_order(no_gc, order):
    log, witness = [], object()
    baseline = sys.getrefcount(witness)
    objects = [Logged(name, log) for name in order]
    t.release_from_native_thread(*objects, witness)
    del objects
    assert log == [] and sys.getrefcount(witness) == baseline + 1
    assert t.pool_exists()
    t.enter_and_leave()
    t.enter_and_leave()
    assert log == list(order) and sys.getrefcount(witness) == baseline


def test_end_of_allow_threads_applies_what_the_section_queued(no_gc):
    witness = object()
    baseline = sys.getrefcount(witness)
    t.release_in_allow_threads(witness, witness, witness)
    assert sys.getrefcount(witness) == baseline


@pytest.mark.parametrize("immortal", [None, True, (), 7])
def test_immortal_objects_keep_their_count(immortal):
    baseline = sys.getrefcount(immortal)
    t.release_unowned(immortal, 5)
    assert sys.getrefcount(immortal) == baseline


def test_values_release_what_they_hold_when_dropped_or_raised():
    class Source:
        pass

    instance = ValueError("held")
    counts = sys.getrefcount(Source), sys.getrefcount(instance)
    normalized, deferred = t.err_from_instance(instance), t.err_downcast(Source(), "PyList")
    assert sys.getrefcount(Source) == counts[0] + 1
    del normalized, deferred
    with pytest.raises(TypeError):
        t.err_raise(t.err_downcast(Source(), "PyList"))
    assert (sys.getrefcount(Source), sys.getrefcount(instance)) == counts


def test_fresh_process_creates_pool_and_panic_type_only_when_first_needed():
    proc = run_isolated("""
        import gc, _brindlex_testing as t
        def panic_types():
            return [c for c in gc.get_objects()
                    if isinstance(c, type) and f"{c.__module__}.{c.__name__}" == "pyo3_runtime.PanicException"]
        assert not t.pool_exists() and panic_types() == []
        t.call_held(lambda: None)
        try:
            t.err_raise(t.err_message("value", "x"))
        except ValueError:
            pass
        assert panic_types() == [], "created before any exception was taken"
        raised = TypeError("plain")
        def fail():
            raise raised
        assert t.err_instance(t.err_take(fail)[0]) is raised
        assert panic_types() == [t.panic_type()]
        assert not t.pool_exists(), "released at depth >= 1 but queued anyway"
        t.release_from_native_thread(object())
        assert t.pool_exists()
        print("ok")
    """)
    assert (proc.returncode, proc.stdout) == (0, "ok\n"), proc.stderr


# --- raising exception values: exactly the class and message the builder names -------------------

@pytest.mark.parametrize("kind, cls", [
    ("value", ValueError), ("type", TypeError), ("import", ImportError), ("overflow", OverflowError),
])
def test_message_builders_raise_exactly_their_class_and_text(kind, cls):
    text = "period must be positive: ünïcode ✓"
    with pytest.raises(cls) as caught:
        t.err_raise(t.err_message(kind, text))
    assert type(caught.value) is cls and caught.value.args == (text,)


def test_fetching_with_nothing_set_gives_system_error():
    for cap in (t.err_fetch(), t.err_message("none_set", "")):
        with pytest.raises(SystemError) as caught:
            t.err_raise(cap)
        assert caught.value.args == ("attempted to fetch exception but none was set",)


@pytest.mark.parametrize("not_a_class", [5, int, "ValueError", object, type])
def test_builder_naming_no_exception_class_raises_type_error(not_a_class):
    t.set_builder(lambda: (not_a_class, "ignored"))
    with pytest.raises(TypeError) as caught:
        t.err_raise(t.err_custom())
    assert type(caught.value) is TypeError
    assert str(caught.value) == "exceptions must derive from BaseException"


def test_builder_may_name_any_base_exception_subclass():
    class Stop(BaseException):
        pass

    t.set_builder(lambda: (Stop, "halt"))
    with pytest.raises(Stop) as caught:
        t.err_raise(t.err_custom())
    assert caught.value.args == ("halt",)


class Outer:
    class Inner:
        pass


class Unnamed:
    pass


Unnamed.__qualname__ = "bad\ud800name"


@pytest.mark.parametrize("obj, target, source", [
    (5, "PyArray<T, D>", "int"),
    (Outer.Inner(), "PyCapsule", "Outer.Inner"),
    (Unnamed(), "PyString", "<failed to extract type name>"),
])
def test_conversion_failure_names_qualified_source_and_target(obj, target, source):
    with pytest.raises(TypeError) as caught:
        t.err_raise(t.err_downcast(obj, target))
    assert str(caught.value) == f"'{source}' object cannot be converted to '{target}'"
    assert caught.value.__context__ is None


# --- taking exceptions out of the interpreter: cleared, same instance, identity test for panics ---

@pytest.mark.parametrize("cls", [KeyError, type("NotQuiteAPanic", (t.panic_type(),), {})])
def test_taking_the_current_exception_clears_it_and_keeps_identity(cls):
    raised = cls("k")

    def fail():
        raise raised

    cap, still_set = t.err_take(fail)
    assert still_set is False
    assert t.err_instance(cap) is raised
    with pytest.raises(cls) as caught:
        t.err_raise(cap)
    assert caught.value is raised
    assert t.err_take(lambda: 1) == (None, False)


# --- normalisation: built once, never dead-locked ------------------------------------------------

def test_normalising_twice_builds_once_and_raises_that_instance():
    calls = []
    t.set_builder(counting_builder(calls))
    cap = t.err_custom()
    assert calls == []
    first = t.err_instance(cap)
    assert t.err_instance(cap) is first
    assert type(first) is ValueError and first.args == ("built",)
    with pytest.raises(ValueError) as caught:
        t.err_raise(cap)
    assert caught.value is first and len(calls) == 1
    instance = LookupError("already")
    assert t.err_instance(t.err_from_instance(instance)) is instance


def test_threads_normalising_one_value_wait_for_a_single_build():
    # In a child: a dead-lock there holds the interpreter lock, so only a timeout can report it.
    proc = run_isolated("""
        import threading, time, _brindlex_testing as t
        calls, building = [], threading.Event()
        def slow_builder():
            calls.append(threading.get_ident())
            building.set()
            time.sleep(0.2)  # gives the lock away: the other threads arrive meanwhile
            return ValueError, "shared"
        t.set_builder(slow_builder)
        cap = t.err_custom()
        results = [None] * 4
        threads = [threading.Thread(target=lambda i=i: results.__setitem__(i, t.err_instance(cap)))
                   for i in range(4)]
        threads[0].start()
        building.wait()
        for thread in threads[1:]:
            thread.start()
        for thread in threads:
            thread.join()
        print(len(calls), all(result is results[0] for result in results))
    """, timeout=30)
    assert (proc.returncode, proc.stdout) == (0, "1 True\n"), proc.stderr


# --- debug form: normalises, formats the traceback, never fails ----------------------------------

def test_debug_form_without_traceback():
    t.set_builder(lambda: (KeyError, "k"))
    cap = t.err_custom()
    expected = "PyErr { type: <class 'KeyError'>, value: KeyError('k'), traceback: None }"
    assert t.err_debug(cap) == expected
    assert t.err_debug_without_lock(cap) == expected


def test_debug_form_carries_the_formatted_traceback():
    cap, _ = t.err_take(raise_from_here)
    text = t.err_debug(cap)
    assert text.startswith(
        "PyErr { type: <class 'RuntimeError'>, value: RuntimeError('with frames'), traceback: "
        '"Traceback (most recent call last):\\n  File \\"' + __file__ + '\\", line ')
    assert "in raise_from_here\\n" in text and text.endswith('" }') and "\n" not in text
    assert t.err_debug_without_lock(cap) == text


class WriteFails(io.StringIO):
    def write(self, text):
        raise OSError("cannot write")


class ValueNotText(io.StringIO):
    def getvalue(self):
        return 42


@pytest.mark.parametrize("buffer_class, failure", [(WriteFails, OSError), (ValueNotText, TypeError)])
def test_unformattable_traceback_is_reported_and_replaced(monkeypatch, unraisable, buffer_class, failure):
    cap, _ = t.err_take(raise_from_here)
    traceback = t.err_instance(cap).__traceback__
    monkeypatch.setattr(io, "StringIO", buffer_class)
    text = t.err_debug(cap)
    monkeypatch.undo()
    assert text.endswith(f'traceback: "<unformattable {traceback!r}>" }}')
    assert [(type(u.exc_value), u.object) for u in unraisable] == [(failure, traceback)]


# --- text forms: never fail, never leave an error behind ----------------------------------------

class RenderFails:
    def __str__(self):
        raise ArithmeticError("no str")

    __repr__ = __str__


@pytest.mark.parametrize("render", [t.str_text, t.repr_text])
def test_failing_rendering_is_reported_and_replaced(unraisable, render):
    obj = RenderFails()
    assert render(obj) == "<unprintable RenderFails object>"
    assert [(type(u.exc_value), u.object) for u in unraisable] == [(ArithmeticError, obj)]


@given(st.lists(st.one_of(st.characters(), st.integers(0xD800, 0xDFFF).map(chr))).map("".join))
@example("a\ud800b")
def test_lossy_text_replaces_lone_surrogates_like_the_decoder(text):
    assert t.lossy_text(text) == text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


# Bytes at the edges of the UTF-8 ranges, where validators usually go wrong.
edge_bytes = st.sampled_from(
    [0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1,
     0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF])


@given(st.one_of(st.binary(), st.lists(edge_bytes).map(bytes)))
def test_invalid_utf8_is_replaced_like_the_interpreter_does(data):
    assert t.lossy_utf8(data) == data.decode("utf-8", "replace")


# --- panic exception type -----------------------------------------------------------------------

def test_panic_type_is_one_base_exception_subclass():
    panic = t.panic_type()
    assert t.panic_type() is panic
    assert f"{panic.__module__}.{panic.__name__}" == "pyo3_runtime.PanicException"
    assert panic.__bases__ == (BaseException,)
    doc = panic.__doc__.encode()
    assert len(doc) == 235 and doc.startswith(b"\n") and doc.endswith(b"\n")


# --- process-ending paths: report on stderr first, abort second ---------------------------------

@pytest.mark.parametrize("on_worker", [False, True])
def test_internal_failure_reports_thread_and_location_then_aborts(on_worker):
    proc = run_isolated(f"""
        import threading, _brindlex_testing as t
        def fail():
            print(threading.get_native_id(), flush=True)
            t.internal_failure("boom: \u00e9")
        worker = threading.Thread(target=fail) if {on_worker} else None
        worker.start() if worker else fail()
        worker.join() if worker else None
        print("survived")
    """)
    report = failure_report(proc)
    assert proc.stderr.count("\n") == 1
    assert report.group(1) == proc.stdout.strip()
    assert report.group(2).endswith("runtime_hooks.cpp") and report.group(4) == "boom: \u00e9"


TRAVERSE = "Access to the GIL is prohibited while a __traverse__ implmentation is running."
PANIC_PRELUDE = [
    "--- brindlex is resuming a panic after fetching a PanicException from Python. ---",
    "Python stack trace below:",
    "Traceback (most recent call last):",
]


@pytest.mark.parametrize("code, message, printed_before", [
    ("t.leave_unmatched(); t.call_held(int)", TRAVERSE, []),
    ("t.leave_unmatched(); t.leave_unmatched(); t.call_held(int)",
     "Access to the GIL is currently prohibited.", []),
    ("t.leave_unmatched(); t.guarded_call(int)", TRAVERSE, []),
    ("t.set_builder(lambda: t.err_instance(cap)); cap = t.err_custom(); t.err_instance(cap)",
     "Re-entrant normalization of PyErrState detected", []),
    ("cap = t.err_message('value', 'once'); t.err_take(lambda: t.err_raise(cap)); t.err_raise(cap)",
     "PyErr state should never be invalid outside of normalization", []),
    ("t.fail_after_error(lambda: 1 / 0)", "Python API call failed",
     ["Traceback (most recent call last):", "ZeroDivisionError: division by zero"]),
    ("def deep(): raise t.panic_type()('kaboom')\nt.err_take(deep)", "kaboom",
     PANIC_PRELUDE + ["pyo3_runtime.PanicException: kaboom"]),
    ("class NoText:\n def __str__(self): raise ValueError\n"
     "def deep(): raise t.panic_type()(NoText())\nt.err_take(deep)",
     "Unwrapped panic from Python code", PANIC_PRELUDE),
], ids=["depth-1", "depth-2", "guarded-depth-1", "re-entrant", "raised-twice", "api-error",
        "panic", "panic-without-text"])
def test_process_ending_failures(code, message, printed_before):
    proc = run_isolated("import _brindlex_testing as t\n" + code + "\nprint('survived')")
    assert failure_report(proc).group(4) == message
    assert "survived" not in proc.stdout
    lines = proc.stderr.splitlines()
    positions = [lines.index(line) for line in printed_before]
    assert positions == sorted(positions), proc.stderr
    if message == "kaboom":
        assert lines[:3] == PANIC_PRELUDE and "in deep" in proc.stderr

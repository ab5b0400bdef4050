"""Python code changing a borrowed input's layout in place during a call, in both ways it can.

Shared by the tests that run against another module's registry (in the test process) and the fresh
process in which brindlex owns the registry. Each scenario returns the input with its layout put
back, so that the caller can ask the registry what is still recorded for it.
"""

import sys
import threading
import warnings

import numpy as np

import brindlex

CHANGES = ("strides", "dtype", "shape")


def change(array, what):
    # In-place layout changes are deprecated in newer NumPy, and still work.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        if what == "strides":
            array.strides = (0,)
        elif what == "dtype":
            array.dtype = np.float32
        else:
            array.shape = ()


def restore(array, n):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        array.dtype = np.float64
        array.shape = (n,)
        array.strides = (8,)


def through_len(what):
    """MACD asks len() of its outputs while `data` is borrowed: a subclass's __len__ changes it.

    One element, so that each of the three changes gives the array another region key.
    """
    data = np.array([2.0])

    class Output(np.ndarray):
        def __len__(self):
            change(data, what)
            return super().__len__()

    outs = [np.zeros(1).view(Output) for _ in range(3)]
    assert brindlex.indicator_macd(1, 2, 1, data, *outs) is None
    assert data.shape != (1,) or data.strides != (8,)
    restore(data, 1)
    return data


def from_thread(function, what, n=1 << 21, attempts=20):
    """Another thread changes `data` while the kernel runs without the interpreter lock.

    With a long switch interval the calling thread keeps the lock from waking the other thread
    until the kernel gives it away, so the other thread runs either during the kernel or only once
    the call has returned; it records which, and a late run is tried again.
    """
    saved = sys.getswitchinterval()
    sys.setswitchinterval(30.0)
    try:
        for _ in range(attempts):
            data = np.linspace(1.0, 2.0, n)
            outs = [np.empty(n) for _ in range(3)]
            go, seen = threading.Event(), {"returned": False, "during": False}

            def mutate():
                go.wait()
                seen["during"] = not seen["returned"]
                change(data, what)

            thread = threading.Thread(target=mutate)
            thread.start()
            go.set()
            if function == "macd":
                brindlex.indicator_macd(12, 26, 9, data, *outs)
            else:
                getattr(brindlex, "indicator_" + function)(20, data, outs[0])
            seen["returned"] = True
            thread.join()
            restore(data, n)
            if seen["during"]:
                return data
    finally:
        sys.setswitchinterval(saved)
    raise AssertionError("the other thread never ran while the kernel computed")

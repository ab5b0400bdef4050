"""The module object: attributes, signatures, re-import, and what the import does and does not do."""

import inspect
import subprocess
import sys
import textwrap

import pytest

import brindlex

NAMES = ["indicator_sma", "indicator_ema", "indicator_macd", "indicator_atr"]


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)


def test_attributes():
    assert brindlex.__all__ == NAMES
    assert brindlex.__doc__ == ""
    for name in NAMES:
        function = getattr(brindlex, name)
        assert function.__module__ == "brindlex"
        assert function.__self__ is brindlex
        assert function.__name__ == name
        assert function.__doc__ is None
    assert brindlex.indicator_sma.__text_signature__ == "(period, data, output)"
    assert list(inspect.signature(brindlex.indicator_macd).parameters) == [
        "fast_period", "slow_period", "signal_period", "data", "macd_output", "signal_output",
        "hist_output"]
    assert str(inspect.signature(brindlex.indicator_atr)) == "(period, high, low, close, output)"


def test_reimport_returns_the_cached_module():
    first = sys.modules.pop("brindlex")
    try:
        import brindlex as again
        assert again is first
        assert again.__all__ == NAMES
    finally:
        sys.modules["brindlex"] = first


def test_import_does_not_import_numpy():
    result = run_python("""
        import sys
        import brindlex
        assert "numpy" not in sys.modules, "imported too early"
        import numpy as np
        out = np.zeros(3)
        brindlex.indicator_sma(1, np.ones(3), out)
        major = int(np.__version__.split(".")[0])
        core = "numpy._core.multiarray" if major >= 2 else "numpy.core.multiarray"
        assert core in sys.modules
        print("ok")
    """)
    assert result.stdout.strip() == "ok", result.stderr


def test_a_second_interpreter_is_refused():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no way to run a subinterpreter here")
    result = run_python("""
        import os, tempfile, _testcapi
        import numpy as np
        import brindlex
        path = tempfile.mktemp()
        _testcapi.run_in_subinterp(f'''
        try:
            import brindlex
        except ImportError as e:
            open({path!r}, "w").write("ImportError: " + str(e))
        else:
            open({path!r}, "w").write("imported")
        ''')
        print(open(path).read())
        os.remove(path)
        out = np.zeros(3)
        brindlex.indicator_sma(1, np.ones(3), out)  # the first interpreter's module still works
        print(out.sum())
    """)
    lines = result.stdout.splitlines()
    assert lines and lines[0].startswith(
        "ImportError: PyO3 modules do not yet support subinterpreters, see https://"), result.stderr
    assert lines[1] == "3.0"

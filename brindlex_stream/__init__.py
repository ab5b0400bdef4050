"""Live bars: indicators one bar at a time, exactly as brindlex computes the whole series.

``Sma``, ``Ema``, ``Macd`` and ``Atr`` each commit bars with ``update`` (one) or ``update_many``
(a stretch), preview a forming bar with ``peek``, and copy and pickle exactly. Every value equals
the matching ``brindlex.indicator_*`` function's value at that position over all the bars committed
so far, bit for bit.
"""

from pathlib import Path as _Path

try:
    from ._native import Atr, Ema, Macd, MacdValues, Sma
except ImportError as _import_error:  # run from a checkout's root, this source folder hides the installed package
    if list(_Path(__file__).parent.glob("_native.*.so")):
        raise
    raise ImportError(f"brindlex_stream was imported from its source folder {__path__[0]}, which holds no "
                      "compiled module: Python looks in the current directory first. Run Python from "
                      "another directory, or with -P, to import the installed package.") from _import_error

__all__ = ["Sma", "Ema", "Macd", "MacdValues", "Atr"]

"""Live bars: indicators one bar at a time, exactly as brindlex computes the whole series.

``Sma``, ``Ema``, ``Macd`` and ``Atr`` each commit bars with ``update`` (one) or ``update_many``
(a stretch), preview a forming bar with ``peek``, and copy and pickle exactly. Every value equals
the matching ``brindlex.indicator_*`` function's value at that position over all the bars committed
so far, bit for bit.
"""

from ._native import Atr, Ema, Macd, MacdValues, Sma

__all__ = ["Sma", "Ema", "Macd", "MacdValues", "Atr"]

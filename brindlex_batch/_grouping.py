"""Long frames: where each group's rows lie, and one kernel call over all groups of a column."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TypeAlias

import numpy as np
import numpy.typing as npt

# A kernel over one column of consecutive series: its inputs and the series' lengths, giving one
# array per output.
_LongKernel: TypeAlias = Callable[[Sequence[npt.NDArray[np.float64]], npt.NDArray[np.integer]],
                                  Sequence[npt.NDArray[np.float64]]]


@dataclass(frozen=True)
class Layout:
    """The groups of a column: ``order`` lists the rows group by group, each group's rows in frame
    order (None when every group already is one run of adjacent rows), and ``lengths`` gives the
    groups' sizes in that order."""

    order: npt.NDArray[np.integer] | None
    lengths: npt.NDArray[np.integer]


def layout_of_codes(codes: npt.NDArray[np.integer], groups: int) -> Layout:
    """The layout of rows labelled by group numbers from 0 to ``groups - 1``."""
    rows = len(codes)
    if rows == 0:
        return Layout(None, np.zeros(0, dtype=np.intp))
    starts = np.flatnonzero(codes[1:] != codes[:-1]) + 1
    # The groups are adjacent when no group heads two runs of rows (unused numbers are no groups).
    if np.bincount(codes[np.concatenate(([0], starts))], minlength=groups).max() == 1:
        return Layout(None, np.diff(starts, prepend=0, append=rows))
    # A stable sort keeps each group's rows in frame order; on 16-bit keys NumPy's stable sort is
    # a radix sort, linear in the rows.
    narrow = codes.astype(np.uint16 if groups <= 1 << 16 else np.int64, copy=False)
    return Layout(np.argsort(narrow, kind="stable"), np.bincount(codes, minlength=groups))


def compute_long(layout: Layout, kernel: _LongKernel,
                 columns: Sequence[npt.NDArray[np.float64]]) -> list[npt.NDArray[np.float64]]:
    """The kernel's outputs in the columns' row order: groups already adjacent are computed in
    place; any other order is gathered group by group, computed, and scattered back."""
    lengths = layout.lengths.astype(np.int64, copy=False)
    if layout.order is None:
        return list(kernel(columns, lengths))
    gathered = [np.take(column, layout.order) for column in columns]
    results: list[npt.NDArray[np.float64]] = []
    for result in kernel(gathered, lengths):
        scattered = np.empty_like(result)
        scattered[layout.order] = result
        results.append(scattered)
    return results

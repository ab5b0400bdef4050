"""Parameter sweeps: an indicator over every combination of its swept periods, one result slice each."""

from __future__ import annotations

import itertools
import operator
from collections.abc import Callable, Sequence
from typing import Any, SupportsIndex, Union, cast

import numpy as np
import numpy.typing as npt

from . import _native

__all__ = ["Period", "is_sweep", "swept_call", "sweep_values"]

# What every period argument takes: one period, or a one-dimensional sequence of them.
Period = Union[SupportsIndex, Sequence[SupportsIndex]]


# The lane kernels of one series under many periods, by the one-period function they stand for.
_LANES: dict[Callable[..., Any], Callable[..., None]] = {
    _native.sma: _native.sma_sweep, _native.ema: _native.ema_sweep, _native.atr: _native.atr_sweep,
    _native.macd: _native.macd_sweep}

# Many series go series after series with the combinations in the lanes (each element loaded once
# for a whole group of them) from this many combinations on, when one thread computes them: a group
# of lanes then holds enough combinations, up to a whole one (8 lanes on SSE2, 16 on AVX2), to beat
# series in the lanes, one combination after the other, which load each element once per
# combination. Fewer combinations leave too many lanes empty; several threads share the series.
_LANES_FROM = 8

# Periods any call takes, for the calls that check a sweep's other arguments without computing
# (on empty inputs), or that a sweep with no combination at all makes: it must still refuse what a
# call with periods would refuse.
_ANY_VALID = {1: (1,), 3: (1, 2, 1)}


def _one_period(value: object) -> bool:
    """Whether `value` is given as one period (or as something the one-period call refuses)."""
    if isinstance(value, np.ndarray):
        return value.ndim == 0
    return hasattr(type(value), "__index__") or isinstance(value, (str, bytes, bytearray)) or \
        not hasattr(type(value), "__iter__")


def is_sweep(periods: Sequence[object]) -> bool:
    """Whether any of a call's period arguments is a sequence of periods."""
    return not all(_one_period(p) for p in periods)


def sweep_values(value: object, name: str) -> list[Any] | None:
    """None for one period; else the items of a one-dimensional sequence, unchecked (the
    indicator's own checks see each). ValueError for nested sequences."""
    if _one_period(value):
        return None
    items: list[Any] = list(value)  # type: ignore[call-overload]
    if not all(_one_period(item) for item in items):
        raise ValueError(f"argument '{name}': expected an integer or a one-dimensional sequence of"
                         f" integers, got a sequence of sequences")
    return items


def _distinct_elements(array: npt.NDArray[Any]) -> bool:
    """Whether no two elements of `array` lie at one address (strides of 0 or too short), by the
    sufficient test that each axis, by increasing step, steps over all the smaller ones."""
    if array.size == 0:
        return True
    reach = array.itemsize
    axes = sorted(((abs(t), s) for s, t in zip(array.shape, array.strides) if s > 1))
    for step, size in axes:
        if step < reach:
            return False
        reach = step * (size - 1) + reach
    return True


def _checked_out(out: Any, name: str, shape: tuple[int, ...], inputs: Sequence[tuple[str, Any]],
                 earlier: Sequence[tuple[str, npt.NDArray[np.float64]]]) -> npt.NDArray[np.float64]:
    """`out` checked for the whole sweep as each call checks its slice, and against every input
    and earlier output in full: a slice sharing memory with another slice's input or output
    would otherwise show only after earlier slices were written."""
    if not isinstance(out, np.ndarray):
        raise TypeError(f"argument '{name}': expected a numpy.ndarray, got {type(out).__name__}")
    given = cast(npt.NDArray[Any], out)
    if given.dtype != np.float64:
        raise TypeError(f"argument '{name}': expected dtype float64, got {given.dtype}")
    if given.shape != shape:
        raise ValueError(f"argument '{name}': expected the sweep's shape {shape}, got {given.shape}")
    if not given.flags.writeable:
        raise ValueError(f"argument '{name}': the array is read-only")
    if not _distinct_elements(given):
        raise ValueError(f"argument '{name}': its elements may overlap each other (a stride of 0 or"
                         f" too short)")
    for other, array in [*inputs, *earlier]:
        if np.may_share_memory(given, array):
            raise ValueError(f"argument '{name}': shares memory with argument '{other}'")
    return given


def _new_result(shape: tuple[int, ...], like: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """A result whose every slice has the layout of a one-period call's: the input's order, so
    that the kernels read and write at the same speed."""
    if like.ndim == 2 and like.flags.f_contiguous and not like.flags.c_contiguous:
        return np.empty(shape[:-2] + shape[:-3:-1]).swapaxes(-1, -2)
    return np.empty(shape)


def swept_call(function: Callable[..., Any], inputs: Sequence[tuple[str, Any]],
               periods: Sequence[tuple[str, Any]], axis: SupportsIndex, lengths: object,
               groups: object, out: Any, threads: SupportsIndex, outputs: int) -> list[npt.NDArray[np.float64]]:
    """The one-period `function` of brindlex_batch._native over every combination of the swept
    periods, each writing its slice of the results (`outputs` arrays). Every argument is checked
    before anything is written."""
    names = [name for name, _ in periods]
    values = [sweep_values(value, name) for name, value in periods]
    axes = [v if v is not None else [p] for v, (_, p) in zip(values, periods)]
    combinations = list(itertools.product(*axes))
    empty = [np.empty(0) for _ in inputs]
    for combination in combinations:
        try:
            function(*empty, *combination, -1, None, None, None, 1)
        except (TypeError, OverflowError, ValueError) as error:
            given = ", ".join(f"{n}={p}" for n, p in zip(names, combination))
            raise type(error)(f"{error} (in the combination {given})") from None
    arrays = [(name, _native.input_array(x, name)) for name, x in inputs]
    if lengths is not None or groups is not None:
        arrays = [(name, np.ascontiguousarray(a)) for name, a in arrays]
    shape = tuple(len(v) for v in values if v is not None) + arrays[0][1].shape
    results: list[npt.NDArray[np.float64]] = []
    if out is None:
        results = [_new_result(shape, arrays[0][1]) for _ in range(outputs)]
    elif outputs == 1:
        results = [_checked_out(out, "out", shape, [*arrays, *_given(inputs)], [])]
    else:
        kind = type(out).__name__
        if not isinstance(out, (tuple, list)) or len(cast(Sequence[Any], out)) != outputs:
            raise TypeError(f"argument 'out': expected a tuple of {outputs} arrays, got {kind}")
        for k, given in enumerate(cast(Sequence[Any], out)):
            earlier = [(f"out[{j}]", r) for j, r in enumerate(results)]
            results.append(_checked_out(given, f"out[{k}]", shape, [*arrays, *_given(inputs)], earlier))
    ins = [a for _, a in arrays]
    lanes = _LANES.get(function)
    on_lanes = ins[0].ndim == 1 or (len(combinations) >= _LANES_FROM and _one(threads))
    if lanes is not None and on_lanes and lengths is None and groups is None:
        flat = [int(operator.index(p)) for combination in combinations for p in combination]
        _on_lanes(lanes, function, ins, flat, _ANY_VALID[len(periods)], results, axis, threads)
        return results
    if not combinations:  # nothing to compute, but the other arguments are checked all the same
        function(*ins, *_ANY_VALID[len(periods)], axis, lengths, groups, None, threads)
    for index, combination in zip(np.ndindex(*shape[:len(shape) - ins[0].ndim]), combinations):
        slices = [r[index] for r in results]
        function(*ins, *combination, axis, lengths, groups, slices[0] if outputs == 1 else tuple(slices), threads)
    return results


def _on_lanes(lanes: Callable[..., None], function: Callable[..., Any], data: list[npt.NDArray[np.float64]],
              periods: list[int], valid: tuple[int, ...], results: list[npt.NDArray[np.float64]],
              axis: SupportsIndex, threads: SupportsIndex) -> None:
    """Every series under every combination, series after series, each group of lanes taking as
    many combinations (see core/many/sweep_driver.h), into the results seen as (combinations,
    *data's shape). The other arguments are checked first by a call on empty inputs (on the inputs
    themselves when their shapes differ, which it refuses)."""
    empty = [a[:0] for a in data] if len({a.shape for a in data}) == 1 else data
    function(*empty, *valid, axis, None, None, None, threads)
    shape = (len(periods) // len(valid), *data[0].shape)
    views = [_combinations_first(r, shape) for r in results]
    targets = [np.empty(shape) if v is None else v for v in views]
    each = np.array(periods, dtype=np.uint64)
    if data[0].ndim == 1:
        lanes(*data, each, *targets, operator.index(threads))
    else:  # one thread (see _LANES_FROM), series after series
        time = operator.index(axis) % 2
        series = [np.moveaxis(a, time, -1) for a in data]
        rows = [np.moveaxis(t, 1 + time, -1) for t in targets]
        for k in range(series[0].shape[0]):
            lanes(*(x[k] for x in series), each, *(r[:, k] for r in rows), 1)
    for result, view, target in zip(results, views, targets):
        if view is None:
            np.copyto(result, target.reshape(result.shape))


def _combinations_first(result: npt.NDArray[np.float64], shape: tuple[int, ...]) -> npt.NDArray[np.float64] | None:
    """`result` seen as `shape` (the combinations flat, then the input's axes) without a copy,
    stepping in whole elements; None when it cannot be."""
    view = result.reshape(shape)  # a copy when the steps do not allow a view
    if result.size and not np.may_share_memory(view, result):
        return None
    return view if all(step % 8 == 0 for step in view.strides) else None


def _one(threads: SupportsIndex) -> bool:
    """Whether `threads` asks for one thread (a value of another type is left to the call's checks)."""
    return hasattr(type(threads), "__index__") and operator.index(threads) == 1


def _given(inputs: Sequence[tuple[str, object]]) -> list[tuple[str, Any]]:
    """The caller's own input arrays, which an output must not share memory with even when the
    call computes on a converted copy."""
    return [(name, x) for name, x in inputs if isinstance(x, np.ndarray)]

"""Zone ids: a labelled demand aligned to a network's zones, and ids to nodes.

pandas is never imported here: a labelled frame is recognised by what it
offers (index, columns, to_numpy), so ``import lumo.arrays`` stays numpy-only.
"""
from __future__ import annotations

from collections.abc import Iterable
from typing import Any

import numpy as np

from . import _arrays

InputError: type[ValueError] = _arrays.InputError

#: How many offending ids a message names.
_NAMED = 5


def _key(label: Any) -> Any:
    """The form in which ids are compared: integers (Python or numpy) as
    their decimal text, so that a frame read with numeric zone numbers meets
    ids kept as text."""
    if isinstance(label, (bool, np.bool_)):
        return label
    if isinstance(label, (int, np.integer)):
        return str(int(label))
    if isinstance(label, np.str_):
        return str(label)
    return label


def name_ids(ids: Iterable[Any]) -> str:
    """Up to five ids for a message, with how many more there are."""
    ids = list(ids)
    shown = ", ".join(repr(_key(i)) for i in ids[:_NAMED])
    more = len(ids) - _NAMED
    return shown + (f" and {more} more" if more > 0 else "")


def is_frame(value: Any) -> bool:
    """Whether value is a labelled two-dimensional table (a pandas DataFrame)."""
    return (type(value).__module__.split(".")[0] == "pandas" and hasattr(value, "columns")
            and hasattr(value, "index") and hasattr(value, "to_numpy"))


def zone_ids(network: Any) -> list[Any] | None:
    ids = getattr(network, "zone_ids", None)
    return None if ids is None else [_key(i) for i in ids]


def _positions(known: dict[Any, int], labels: list[Any], what: str) -> np.ndarray:
    keys = [_key(v) for v in labels]
    seen: set[Any] = set()
    dup = [k for k in keys if k in seen or seen.add(k)]  # type: ignore[func-returns-value]
    if dup:
        raise InputError(f"demand {what} lists zone ids more than once: "
                         f"{name_ids(dict.fromkeys(dup))}")
    unknown = [k for k in keys if k not in known]
    if unknown:
        raise InputError(f"demand {what} has ids that are not zones of the network: "
                         f"{name_ids(unknown)}")
    return np.array([known[k] for k in keys], dtype=np.int64)


def zone_index(network: Any, ids: Iterable[Any]) -> np.ndarray:
    """The zone (node) of each id, in the order given."""
    known_ids = zone_ids(network)
    if known_ids is None:
        raise InputError("the network has no zone_ids: set network.zone_ids, one id per zone")
    known = {k: i for i, k in enumerate(known_ids)}
    keys = [_key(v) for v in ids]
    unknown = [k for k in keys if k not in known]
    if unknown:
        raise InputError(f"ids that are not zones of the network: {name_ids(unknown)}")
    return np.array([known[k] for k in keys], dtype=np.int64)


def align(network: Any, frame: Any, missing: str = "error") -> np.ndarray:
    """The Z × Z float32 matrix of a frame whose index (origins) and columns
    (destinations) are zone ids, in the order of ``network.zone_ids``.

    With ``missing="error"`` the frame must name every zone once in its index
    and once in its columns; with ``missing="zero"`` zones it leaves out have
    no demand."""
    if missing not in ("error", "zero"):
        raise InputError(f"missing_zones must be \"error\" or \"zero\", got {missing!r}")
    known_ids = zone_ids(network)
    if known_ids is None:
        raise InputError("demand is a labelled frame but the network has no zone_ids: "
                         "give a plain matrix or set network.zone_ids")
    known = {k: i for i, k in enumerate(known_ids)}
    rows = _positions(known, list(frame.index), "index (origins)")
    cols = _positions(known, list(frame.columns), "columns (destinations)")
    if missing == "error":
        row_set, col_set = set(rows.tolist()), set(cols.tolist())
        if row_set != col_set:
            odd = [known_ids[i] for i in sorted(row_set ^ col_set)]
            raise InputError("demand is not square: ids in only one of its index and its "
                             f"columns: {name_ids(odd)}")
        absent = [known_ids[i] for i in range(len(known_ids)) if i not in row_set]
        if absent:
            raise InputError(f"demand has no row or column for the zones {name_ids(absent)} "
                             "(missing_zones=\"zero\" gives them no demand)")
    try:
        values = np.asarray(frame.to_numpy(), dtype=np.float32)
    except (TypeError, ValueError) as exc:
        raise InputError(f"demand must hold numbers: {exc}") from None
    z = len(known_ids)
    mat = np.zeros((z, z), dtype=np.float32)
    mat[np.ix_(rows, cols)] = values
    return mat


def demand(network: Any, value: Any, missing: str) -> Any:
    """The demand argument of assign: a labelled frame aligned by id; a plain
    matrix of a network with zone ids must have one row and column per zone."""
    if is_frame(value):
        return align(network, value, missing)
    ids = getattr(network, "zone_ids", None)
    if ids is not None and not (isinstance(value, tuple) and len(value) == 3):
        shape = np.shape(value)
        z = len(ids)
        if len(shape) == 2 and shape != (z, z):
            raise InputError(f"demand must be {z} × {z}, one row and column per zone of "
                             f"network.zone_ids, got {shape[0]} × {shape[1]}")
    return value

"""The line form's expansion into arcs, shared by lumo.arrays and lumo.gtfs."""
from __future__ import annotations

from typing import Any

import numpy as np

from ._arrays import ALIGHTING, BOARDING, IN_VEHICLE

__all__ = ["line_arcs", "per_line"]


def line_arcs(aligned: list[np.ndarray], freqs: np.ndarray, segment_times: list[np.ndarray],
              first_route_node: int) -> dict[str, np.ndarray]:
    """The lines' arcs in the line form's order, as flat arrays: one route node
    per line and position from ``first_route_node`` on, stops as given."""
    n_lines = len(aligned)
    lengths = np.array([len(a) for a in aligned], dtype=np.int64)
    n_seg = lengths - 1
    seg_line = np.repeat(np.arange(n_lines), n_seg)
    seg_pos = np.arange(n_seg.sum()) - np.repeat(np.cumsum(n_seg) - n_seg, n_seg)
    offset = np.r_[0, np.cumsum(lengths)[:-1]]
    stop_flat = np.concatenate(aligned) if n_lines else np.empty(0, np.int64)
    s_from = stop_flat[offset[seg_line] + seg_pos]
    s_to = stop_flat[offset[seg_line] + seg_pos + 1]
    r_from = first_route_node + offset[seg_line] + seg_pos
    r_to = r_from + 1
    f_line = freqs[seg_line]
    t_seg = np.concatenate(segment_times) if n_lines else np.empty(0)
    every = np.ones(len(seg_pos), bool)
    inf = np.inf
    # Every segment offers four slots: the first stop's boarding (first
    # segment only), the in-vehicle arc, the boarding at its end (unless the
    # line ends there) and the alighting there. A boarding arc has no "to"
    # stop, an alighting arc no "from" stop.
    slots = [
        # present, tail, head, freq, cost, kind, from stop, to stop, position
        (seg_pos == 0, s_from, r_from, f_line, 0.0, BOARDING, s_from, -1, seg_pos),
        (every, r_from, r_to, inf, t_seg, IN_VEHICLE, s_from, s_to, seg_pos),
        (seg_pos + 1 < n_seg[seg_line], s_to, r_to, f_line, 0.0, BOARDING, s_to, -1, seg_pos + 1),
        (every, r_to, s_to, inf, 0.0, ALIGHTING, -1, s_to, seg_pos + 1),
    ]
    present = np.stack([slot[0] for slot in slots], axis=1).reshape(-1)
    names = ["tail", "head", "freq", "cost", "kind", "from_stop", "to_stop", "position"]
    out = {}
    for j, name in enumerate(names, start=1):
        dtype = np.float64 if name in ("freq", "cost") else np.int64
        cols = [np.broadcast_to(np.asarray(slot[j], dtype=dtype), (len(seg_pos),)) for slot in slots]
        out[name] = np.stack(cols, axis=1).reshape(-1)[present]
    out["line"] = np.repeat(seg_line, 4)[present]
    return out


def per_line(tt: Any, lines: list[np.ndarray]) -> bool:
    """Whether a list holds one array of segment times per line rather than
    the rows of the S × S matrix: one flat entry per line, and either not
    square or fitting every line while too small to be the matrix."""
    if len(tt) != len(lines) or not lines or not all(np.ndim(t) == 1 for t in tt):
        return False
    if not all(len(t) == len(tt) for t in tt):
        return True
    fits = all(len(t) == a.shape[0] - 1 for t, a in zip(tt, lines))
    stops = max((int(a.max()) + 1 for a in lines if a.size), default=0)
    return fits and len(tt) < stops

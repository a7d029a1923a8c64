"""A synthetic demand for a network built from a feed."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from ..arrays import ACCESS, BOARDING
from ._geometry import great_circle_m
from ._network import TransitNetwork


def gravity_demand(network: TransitNetwork, total: float = 20_000.0, scale_km: float = 3.0,
                   decimals: int | None = 3) -> npt.NDArray[np.float32]:
    """A synthetic Z x Z demand between the network's zones (or stops).

    Each stop weighs 1 + the departures of the lines that leave it in the
    window (a line's last stop counts none); a zone weighs 1 + the departures
    at the stops it reaches by an access arc. demand[o, d] = K * w_o * w_d *
    exp(-distance / scale_km) for o != d (great-circle distance), K such that
    the demand adds up to `total` trips.

    With `decimals`, entries are whole multiples of 10**-decimals apportioned
    by largest remainder, so that they still add up to `total` (to float32
    rounding), and every destination with demand towards it keeps at least
    one unit (at its largest entry) rather than rounding away.
    """
    n_zones = network.n_zones
    Z = n_zones if n_zones else network.n_stops
    kind = np.asarray(network.kind)
    tail = np.asarray(network.tail)
    freq = np.asarray(network.freq, dtype=np.float64)
    board = kind == BOARDING
    departures = np.bincount(tail[board], weights=freq[board] * network.window_minutes,
                             minlength=network.n_nodes)
    if n_zones:
        acc = kind == ACCESS
        w = 1.0 + np.bincount(tail[acc], weights=departures[np.asarray(network.head)[acc]],
                              minlength=Z)[:Z]
    else:
        w = 1.0 + departures[:Z]
    lat = network.stops["lat"].to_numpy()[:Z]
    lon = network.stops["lon"].to_numpy()[:Z]
    dist_km = great_circle_m(lat[:, None], lon[:, None], lat[None, :], lon[None, :]) / 1000.0
    g = w[:, None] * w[None, :] * np.exp(-dist_km / scale_km)
    np.fill_diagonal(g, 0.0)
    s = g.sum()
    out = g * (total / s) if s > 0 else g
    if decimals is not None and s > 0:
        out = apportion(out, total, 10.0 ** -decimals)
    return out.astype(np.float32)


def apportion(share: npt.NDArray[np.float64], total: float, unit: float
              ) -> npt.NDArray[np.float64]:
    """Whole units adding up to round(total / unit), close to `share` (which
    adds up to total): floors, then one more unit for the largest remainders;
    a column with demand whose floors are all zero first gets one unit at its
    largest entry."""
    units = int(round(total / unit))
    q = share / unit
    flat = q.ravel()
    counts = np.floor(flat)
    col_has = share.sum(axis=0) > 0
    empty = col_has & (np.floor(q).sum(axis=0) == 0)
    reserved = np.zeros(flat.shape, bool)
    if empty.any() and units >= int(col_has.sum()):
        cols = np.flatnonzero(empty)
        rows = np.argmax(q[:, cols], axis=0)
        at = rows * q.shape[1] + cols
        counts[at] = 1.0
        reserved[at] = True
    left = units - int(counts.sum())
    if left > 0:
        rem = np.where(reserved, -1.0, flat - np.floor(flat))
        top = np.argpartition(-rem, left - 1)[:left] if left < len(rem) else np.arange(len(rem))
        counts[top] += 1.0
    elif left < 0:  # more reserved units than the remainders held: take the smallest back
        have = np.where(reserved | (counts < 1), np.inf, flat - counts)
        take = np.argpartition(have, -left - 1)[:-left]
        counts[take] -= 1.0
    out: npt.NDArray[np.float64] = (counts * unit).reshape(share.shape)
    return out

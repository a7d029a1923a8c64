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
    the demand adds up to `total` trips, each entry rounded to `decimals`.
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
    if decimals is not None:
        out = np.round(out, decimals)
    return out.astype(np.float32)

"""Perceived costs: the weights and penalties a modeller puts on the minutes
of a trip, laid onto a network's arcs.

The search and the loading follow the perceived cost; the minutes stay on
the network (`minutes`) so that the skims can still report waiting, riding
and walking in minutes:

    perceived = wait_factor * wait + in_vehicle_factor * ride
                + walk_factor * walk + boarding_penalty * boardings

per pair, the in-vehicle factor and the boarding penalty taken per line.
The wait weight is not put on the arcs: the waiting term of a node is 0.5 /
(the frequencies of its attractive arcs), so weighing it by w is dividing
every frequency the search sees by w, which `assign` does when it runs.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import numpy.typing as npt

from ._arrays import ACCESS, BOARDING, EGRESS, IN_VEHICLE, InputError, WALK


def factor(name: str, value: Any, *, zero: bool = False) -> float:
    """A weight (> 0) or a penalty (>= 0, with `zero`), finite."""
    if isinstance(value, bool) or not isinstance(value, (int, float, np.floating, np.integer)):
        raise InputError(f"{name} must be a number, got {value!r}")
    v = float(value)
    if not math.isfinite(v) or v < 0 or (v == 0 and not zero):
        raise InputError(f"{name} = {value!r} must be a finite number "
                         f"{'>= 0' if zero else '> 0'}")
    return v


def per_line(name: str, value: Any, n_lines: int, *, zero: bool,
             line_types: npt.NDArray[np.int64] | None = None) -> npt.NDArray[np.float64]:
    """One value per line from a number, one value per line, or (with the
    lines' route types) a mapping from route type to value; types the
    mapping leaves out take the neutral value (0 for a penalty, 1 for a
    weight)."""
    neutral = 0.0 if zero else 1.0
    if isinstance(value, dict):
        if line_types is None:
            raise InputError(f"{name}: values per route type need lines with route types")
        out = np.full(n_lines, neutral)
        for rt, v in value.items():
            if isinstance(rt, bool) or not isinstance(rt, (int, np.integer)):
                raise InputError(f"{name}: keys must be route types (integers), got {rt!r}")
            out[line_types == rt] = factor(f"{name}[{rt}]", v, zero=zero)
        return out
    if np.ndim(value) == 0:
        return np.full(n_lines, factor(name, value, zero=zero))
    arr = np.asarray(value)
    if arr.shape != (n_lines,):
        raise InputError(f"{name} must be a number or one value per line ({n_lines}), "
                         f"got shape {arr.shape}")
    return np.array([factor(f"{name}[{i}]", v, zero=zero) for i, v in enumerate(arr.tolist())])


def weigh(net: Any, *, wait_factor: float = 1.0, walk_factor: float = 1.0,
          boarding_penalty: npt.NDArray[np.float64] | None = None,
          in_vehicle_factor: npt.NDArray[np.float64] | None = None) -> None:
    """Turns `net.cost` (minutes) into perceived costs and keeps the minutes
    in `net.minutes`, unless every weight is 1 and no penalty is set: the
    network is then left exactly as it was."""
    net.wait_factor = factor("wait_factor", wait_factor)
    walk = factor("walk_factor", walk_factor)
    neutral = (walk == 1.0
               and (boarding_penalty is None or not boarding_penalty.any())
               and (in_vehicle_factor is None or bool((in_vehicle_factor == 1.0).all())))
    if neutral:
        return
    minutes = net.cost.copy()
    # one 32-bit product or sum per arc, like every cost the core adds
    cost = net.cost.copy()
    kind = net.kind
    line = net.arc_line
    ride = kind == IN_VEHICLE
    if in_vehicle_factor is not None:
        cost[ride] = cost[ride] * in_vehicle_factor.astype(np.float32)[line[ride]]
    if boarding_penalty is not None:
        board = kind == BOARDING
        cost[board] = cost[board] + boarding_penalty.astype(np.float32)[line[board]]
    walking = (kind == WALK) | (kind == ACCESS) | (kind == EGRESS)
    cost[walking] = cost[walking] * np.float32(walk)
    net.cost = cost
    net.minutes = minutes

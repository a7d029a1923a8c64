"""Result tables: an assignment of a `TransitNetwork` in the feed's ids."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt
import pandas as pd  # type: ignore[import-untyped, unused-ignore]

from ..arrays import ALIGHTING, BOARDING, IN_VEHICLE, Assignment, InputError, Network
from ._network import TransitNetwork
from ._types import FloatArray, IntArray


def _flows(network: Network, assignment: Assignment) -> FloatArray:
    flows = np.asarray(getattr(assignment, "flows", None), dtype=np.float64)
    if flows.shape != (network.n_arcs,):
        raise InputError(f"assignment.flows must hold one flow per arc of the network "
                         f"({network.n_arcs}), got shape {flows.shape}")
    return flows


def _line_offsets(network: TransitNetwork) -> IntArray:
    """Where each line's positions start when the lines are laid end to end."""
    lengths = np.array([len(a) for a in network.alignments], dtype=np.int64)
    out: IntArray = np.r_[0, np.cumsum(lengths)[:-1]]
    return out


def _line_arc_index(network: TransitNetwork, kind_code: int) -> IntArray:
    """For every line position (lines one after the other), the index of its
    arc of the given kind, -1 where it has none."""
    total = sum(len(a) for a in network.alignments)
    out = np.full(total, -1, dtype=np.int64)
    sel = np.flatnonzero(np.asarray(network.kind) == kind_code)
    line = np.asarray(network.arc_line)[sel]
    out[_line_offsets(network)[line] + network.arc_position[sel]] = sel
    return out


#: Places per vehicle by mode, used where a line's mode has no capacity given.
DEFAULT_CAPACITY: dict[str, float] = {
    "bus": 70.0, "tram": 200.0, "metro": 1000.0, "rail": 1000.0, "ferry": 300.0,
}
# GTFS route_type codes (basic and extended) by mode.
_MODES: tuple[tuple[str, set[int], tuple[int, int]], ...] = (("tram", {0, 5}, (900, 999)), ("metro", {1, 12}, (400, 499)),
          ("rail", {2, 7}, (100, 199)), ("bus", {3, 11}, (200, 299)),
          ("bus", set(), (700, 899)), ("ferry", {4}, (1000, 1299)))


def _mode(route_type: int) -> str | None:
    for name, codes, (lo, hi) in _MODES:
        if route_type in codes or lo <= route_type <= hi:
            return name
    return None


def _capacity_per_line(network: TransitNetwork, capacity: object) -> FloatArray:
    """Places per vehicle of every line: a number, one value per line, or a
    mapping from mode name ("bus", ...) or GTFS route_type code to places,
    the modes it leaves out taking DEFAULT_CAPACITY."""
    n = len(network.lines)
    if capacity is None or isinstance(capacity, dict):
        given = dict(capacity or {})
        for key, value in given.items():
            if not (isinstance(key, int) or key in DEFAULT_CAPACITY):
                raise InputError(f"capacity key {key!r} is neither a GTFS route_type nor one of "
                                 f"{', '.join(DEFAULT_CAPACITY)}")
            if not (isinstance(value, (int, float)) and 0 < value < float("inf")):
                raise InputError(f"capacity[{key!r}] = {value!r} must be a number above 0")
        types = network.lines["route_type"].to_numpy()
        out = np.empty(n)
        for line, rt in enumerate(types.tolist()):
            mode = _mode(int(rt))
            if int(rt) in given:
                out[line] = given[int(rt)]
            elif mode is not None and mode in given:
                out[line] = given[mode]
            elif mode is not None:
                out[line] = DEFAULT_CAPACITY[mode]
            else:
                raise InputError(f"line {line} has route_type {rt}, which has no default "
                                 f"capacity: give it in capacity, e.g. {{{rt}: 100}}")
        return out
    cap = np.asarray(capacity, dtype=np.float64)
    if cap.ndim == 0:
        cap = np.full(n, float(cap))
    if cap.shape != (n,):
        raise InputError(f"capacity has {cap.shape[0] if cap.ndim == 1 else cap.shape} values, "
                         f"the network {n} lines")
    if not np.isfinite(cap).all() or (cap <= 0).any():
        raise InputError("capacity must be finite and above 0")
    return cap


def vehicle_capacity(network: TransitNetwork, capacity: object = None) -> FloatArray:
    """Places per vehicle of every arc, for ``lumo.arrays.assign_congested``
    (which reads the boarding arcs' values and multiplies them by the
    window): `capacity` is a number, one value per line, or a mapping from a
    mode ("bus", "tram", "metro", "rail", "ferry") or a GTFS route_type code
    to places, modes left out taking :data:`DEFAULT_CAPACITY`; None: the
    defaults for every line."""
    per_line = _capacity_per_line(network, capacity)
    line = np.asarray(network.arc_line)
    out: FloatArray = np.where(line >= 0, per_line[np.maximum(line, 0)], 0.0).astype(np.float32)
    return out


def _effective(network: TransitNetwork, assignment: Assignment) -> FloatArray | None:
    eff = getattr(assignment, "effective_freq", None)
    if eff is None:
        return None
    arr = np.asarray(eff, dtype=np.float64)
    if arr.shape != (network.n_arcs,):
        raise InputError(f"assignment.effective_freq must hold one value per arc of the network "
                         f"({network.n_arcs}), got shape {arr.shape}")
    return arr


def segment_loads(network: TransitNetwork, assignment: Assignment,
                  capacity: object = None, *, geometry: bool = False
                  ) -> pd.DataFrame:
    """One row per line segment: its load (the flow on its in-vehicle arc),
    the boardings at its first stop and the alightings at its last, and the
    line's nominal `headway` (minutes); after a congested run also the
    `effective_headway` of boarding at the segment's first stop (1 / its
    effective frequency: the waiting that crowding adds shows here).

    Flows are in the demand's units (trips in the window). `capacity`, places
    per vehicle as for :func:`vehicle_capacity` (a number, one per line, or
    a mapping by mode or route_type), adds `capacity` (freq * places *
    window minutes: what the segment can carry in the window) and
    `load_ratio` (load / capacity).

    With `geometry=True` (needs geopandas: ``pip install
    'lumo-transit[geo]'``) the table is a GeoDataFrame in WGS84 whose
    segments follow the shape (shapes.txt) the line's trips follow, cut
    between the stops' projections onto it, and are straight lines where
    the feed has no shape or the shape does not pass by the stops. Each
    direction of a route is a line of its own, so the two are separate
    rows, each drawn in its direction of travel.
    """
    flows = _flows(network, assignment)
    iv = np.flatnonzero(np.asarray(network.kind) == IN_VEHICLE)
    line = np.asarray(network.arc_line)[iv]
    pos = network.arc_position[iv]
    offset = _line_offsets(network)
    board = _line_arc_index(network, BOARDING)
    alight = _line_arc_index(network, ALIGHTING)
    b_arc = board[offset[line] + pos]
    a_arc = alight[offset[line] + pos + 1]
    stops = network.stops
    lines = network.lines
    fs = np.asarray(network.arc_from_stop)[iv]
    ts = np.asarray(network.arc_to_stop)[iv]
    out = pd.DataFrame({
        "line": line,
        "route_id": lines["route_id"].to_numpy()[line],
        "route_short_name": lines["route_short_name"].to_numpy()[line],
        "direction_id": lines["direction_id"].to_numpy()[line],
        "sequence": pos,
        "from_stop_id": stops["stop_id"].to_numpy()[fs],
        "to_stop_id": stops["stop_id"].to_numpy()[ts],
        "from_stop_name": stops["stop_name"].to_numpy()[fs],
        "to_stop_name": stops["stop_name"].to_numpy()[ts],
        "time": np.asarray(network.cost, dtype=np.float64)[iv],
        "load": flows[iv],
        "boardings": flows[b_arc],
        "alightings": flows[a_arc],
    })
    with np.errstate(divide="ignore"):
        out["headway"] = 1.0 / lines["freq"].to_numpy()[line]
        eff = _effective(network, assignment)
        if eff is not None:
            out["effective_headway"] = 1.0 / eff[b_arc]
    if capacity is not None:
        cap = _capacity_per_line(network, capacity)
        out["capacity"] = (lines["freq"].to_numpy()[line] * cap[line]
                           * float(network.window_minutes))
        out["load_ratio"] = out["load"] / out["capacity"]
    out.index = pd.Index(iv, name="arc")
    if geometry:
        from ._shapes import geopandas_module, segment_geometry

        geo = segment_geometry(network, line, pos)
        geo.index = out.index
        return geopandas_module().GeoDataFrame(out, geometry=geo, crs="EPSG:4326")
    return out


def stop_boardings(network: TransitNetwork, assignment: Assignment) -> pd.DataFrame:
    """Boardings and alightings per stop and line (a line that serves a stop
    twice adds both visits)."""
    flows = _flows(network, assignment)
    kind = np.asarray(network.kind)
    rows = []
    for code, col, stop_attr in ((BOARDING, "boardings", network.arc_from_stop),
                                 (ALIGHTING, "alightings", network.arc_to_stop)):
        sel = kind == code
        rows.append(pd.DataFrame({"stop": np.asarray(stop_attr)[sel],
                                  "line": np.asarray(network.arc_line)[sel],
                                  col: flows[sel]}).groupby(["stop", "line"]).sum())
    t = rows[0].join(rows[1], how="outer").fillna(0.0).reset_index()
    stops, lines = network.stops, network.lines
    s, ln = t["stop"].to_numpy(), t["line"].to_numpy()
    return pd.DataFrame({
        "stop_id": stops["stop_id"].to_numpy()[s],
        "stop_name": stops["stop_name"].to_numpy()[s],
        "line": ln,
        "route_id": lines["route_id"].to_numpy()[ln],
        "route_short_name": lines["route_short_name"].to_numpy()[ln],
        "direction_id": lines["direction_id"].to_numpy()[ln],
        "boardings": t["boardings"].to_numpy(),
        "alightings": t["alightings"].to_numpy(),
    })


def line_summary(network: TransitNetwork, assignment: Assignment,
                 capacity: object = None) -> pd.DataFrame:
    """Per line: passengers (its boardings), passenger-minutes in the
    vehicle, the largest segment load, the mean ride in minutes, the nominal
    `headway` and, after a congested run, the `effective_headway` (the mean
    over the line's boarding stops weighted by boardings; the nominal one
    where nobody boards); with a `capacity` (as for `segment_loads`) also
    the largest load ratio."""
    seg = segment_loads(network, assignment, capacity)
    seg["pmin"] = seg["load"] * seg["time"]
    g = seg.groupby("line")
    n = len(network.lines)
    lines = network.lines
    out = pd.DataFrame({
        "route_id": lines["route_id"].to_numpy(),
        "route_short_name": lines["route_short_name"].to_numpy(),
        "direction_id": lines["direction_id"].to_numpy(),
        "freq": lines["freq"].to_numpy(),
        "n_trips": lines["n_trips"].to_numpy(),
        "passengers": g["boardings"].sum().reindex(range(n), fill_value=0.0).to_numpy(),
        "passenger_minutes": g["pmin"].sum().reindex(range(n), fill_value=0.0).to_numpy(),
        "max_load": g["load"].max().reindex(range(n), fill_value=0.0).to_numpy(),
    })
    with np.errstate(invalid="ignore", divide="ignore"):
        out["mean_ride"] = np.where(out["passengers"] > 0,
                                    out["passenger_minutes"] / out["passengers"], np.nan)
    out["headway"] = 1.0 / out["freq"]
    if "effective_headway" in seg:
        seg["wh"] = seg["effective_headway"] * seg["boardings"]
        g = seg.groupby("line")
        wsum = g["wh"].sum().reindex(range(n), fill_value=0.0).to_numpy()
        with np.errstate(invalid="ignore", divide="ignore"):
            out["effective_headway"] = np.where(out["passengers"] > 0,
                                                wsum / out["passengers"], out["headway"])
    if capacity is not None:
        out["max_load_ratio"] = g["load_ratio"].max().reindex(range(n), fill_value=0.0).to_numpy()
    out.index.name = "line"
    return out


def skims(network: TransitNetwork, assignment: Assignment, *, include_unreachable: bool = True
          ) -> pd.DataFrame:
    """Zone-to-zone (or stop-to-stop) skims in long form: one row per origin
    and assigned destination (origin != destination) with the expected cost in
    minutes, and the waiting, riding and walking minutes and the expected
    number of boardings when the assignment has them. Unreachable pairs have
    cost +inf (left out with include_unreachable=False)."""
    cost = np.asarray(assignment.cost)
    Z = cost.shape[0]
    if cost.ndim != 2 or cost.shape[1] != Z or Z > len(network.stops):
        raise InputError(f"assignment.cost must be a square matrix over the network's first nodes, "
                         f"got shape {cost.shape}")
    keep = ~np.isnan(cost)
    np.fill_diagonal(keep, False)
    if not include_unreachable:
        keep &= np.isfinite(cost)
    o, d = np.nonzero(keep)
    ids = network.stops["stop_id"].to_numpy()
    out = pd.DataFrame({"origin_id": ids[o], "destination_id": ids[d], "cost": cost[o, d]})
    for name in ("wait", "ride", "walk", "boardings"):
        part = getattr(assignment, name, None)
        if part is not None:
            out[name] = np.asarray(part)[o, d]
    return out

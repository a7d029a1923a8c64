"""Network assembly: the lines, walking, access and egress arcs of a feed as a
`lumo.arrays.Network`, and its tables in the feed's ids."""

from __future__ import annotations

import datetime as _dt
from dataclasses import dataclass

import numpy as np
import pandas as pd  # type: ignore[import-untyped, unused-ignore]

from .._lines import line_arcs
from ..arrays import ACCESS, ALIGHTING, BOARDING, EGRESS, IN_VEHICLE, WALK, Network
from ._errors import Dropped
from ._extras import FeedExtras, Transfers
from ._feed import Table
from ._geometry import great_circle_m, walk_pairs
from ._parse import Code
from ._patterns import FeedLines
from ._types import FloatArray, IntArray, ObjectArray
from ._zones import Zones, zone_stops

#: The names of the arc kinds in the arcs table, in the order of their codes.
KIND_NAMES = {
    BOARDING: "boarding",
    IN_VEHICLE: "in-vehicle",
    ALIGHTING: "alighting",
    WALK: "walk",
    ACCESS: "access",
    EGRESS: "egress",
}


class TransitNetwork(Network):
    """A `lumo.arrays.Network` built from a GTFS feed, with tables in the feed's ids.

    Nodes are the zones (when given), then the stops, then one route node per
    line position. Arcs are the lines' arcs (line by line: the boarding arc at
    the first stop, then per segment the in-vehicle arc, the boarding arc at
    its end unless it is the last stop, and the alighting arc), then the
    walking arcs, then the access and the egress arcs.

    Attributes added to those of `Network`:

    - `stops`: DataFrame, row i describes node i for every zone and stop node
      (stop_id, stop_name, lat, lon, is_zone);
    - `lines`: DataFrame, one row per line (route_id, route_short_name,
      route_type, direction_id, n_stops, first_stop_id, last_stop_id,
      n_trips, freq in departures per minute, frequency_based);
    - `arcs`: DataFrame, one row per arc (kind, line, from_stop_id,
      to_stop_id, position, tail, head, freq, cost). `position` is the
      place in its line (from 0) of the stop where a boarding or alighting
      arc is, or of an in-vehicle arc's first stop; -1 for other arcs. A
      boarding arc has no to_stop_id and an alighting arc no from_stop_id;
      an access arc goes from a zone, an egress arc to one;
    - `alignments`: per line, the stop nodes it serves; `segment_times`: per
      line, its in-vehicle times in minutes;
    - `arc_position`: the position in its line of each line arc (-1 for the
      others);
    - `n_zones`, `n_stops`, `date`, `window` (start and end in minutes after
      midnight), `window_minutes`, `n_zero_segments` (segments timed at zero
      minutes, which were given `min_time`);
    - `zone_ids`: the ids of the zones (the first nodes): the zones' ids
      when zones were given, else the stop ids; demand frames are aligned
      to them;
    - `dropped`: what the feed has and the network leaves out (reason,
      count, example_ids);
    - `shape_lat`, `shape_lon`: per line, the points of the shape its trips
      follow (empty where the feed has none).
    """

    stops: pd.DataFrame
    lines: pd.DataFrame
    arcs: pd.DataFrame
    alignments: list[IntArray]
    segment_times: list[FloatArray]
    arc_position: IntArray
    n_zones: int
    n_stops: int
    date: _dt.date
    window: tuple[float, float]
    window_minutes: float
    n_zero_segments: int
    zone_ids: list[str]
    dropped: pd.DataFrame
    shape_lat: list[FloatArray]
    shape_lon: list[FloatArray]


@dataclass(frozen=True)
class Options:
    """The checked arguments of `load` that shape the network."""

    day: _dt.date
    start_s: int
    end_s: int
    walk_distance: float
    walk_speed: float
    walk_factor: float
    access_distance: float
    min_time: float
    max_connectors: int | None = None

    @property
    def window_minutes(self) -> float:
        return (self.end_s - self.start_s) / 60.0

    @property
    def metres_per_minute(self) -> float:
        """Straight-line metres walked per minute."""
        return self.walk_speed * 1000.0 / 60.0 / self.walk_factor


@dataclass(frozen=True)
class Arcs:
    """Arcs as parallel arrays; stops are nodes, -1 where one does not apply."""

    tail: IntArray
    head: IntArray
    freq: FloatArray
    cost: FloatArray
    kind: IntArray
    from_stop: IntArray
    to_stop: IntArray
    position: IntArray
    line: IntArray

    @classmethod
    def of_lines(cls, aligned: list[IntArray], freqs: FloatArray,
                 segment_times: list[FloatArray], first_route_node: int) -> Arcs:
        """The lines' arcs, exactly as `lumo.arrays.Network.from_lines` lays them out."""
        a = line_arcs(aligned, freqs, segment_times, first_route_node)
        return cls(tail=a["tail"], head=a["head"], freq=a["freq"], cost=a["cost"],
                   kind=a["kind"], from_stop=a["from_stop"], to_stop=a["to_stop"],
                   position=a["position"], line=a["line"])

    @classmethod
    def without_wait(cls, tail: IntArray, head: IntArray, cost: FloatArray, kind: int) -> Arcs:
        """Walking, access or egress arcs: taken at once, on no line."""
        m = len(tail)
        none = np.full(m, -1)
        return cls(tail=tail, head=head, freq=np.full(m, np.inf), cost=cost,
                   kind=np.full(m, kind), from_stop=tail, to_stop=head, position=none,
                   line=none)

    def __add__(self, other: Arcs) -> Arcs:
        return Arcs(tail=np.r_[self.tail, other.tail], head=np.r_[self.head, other.head],
                    freq=np.r_[self.freq, other.freq], cost=np.r_[self.cost, other.cost],
                    kind=np.r_[self.kind, other.kind],
                    from_stop=np.r_[self.from_stop, other.from_stop],
                    to_stop=np.r_[self.to_stop, other.to_stop],
                    position=np.r_[self.position, other.position],
                    line=np.r_[self.line, other.line])


def apply_transfers(a: IntArray, c: IntArray, cost: FloatArray, transfers: Transfers,
                    position: IntArray, lat: FloatArray, lon: FloatArray, opt: Options,
                    dropped: Dropped) -> tuple[IntArray, IntArray, FloatArray]:
    """The walking arcs (served stops a to c, minutes) with transfers.txt
    honoured: listed transfers walkable, at least their min_transfer_time;
    impossible ones (type 3) without an arc."""
    t = transfers
    fs, ts = position[np.maximum(t.from_stop, 0)], position[np.maximum(t.to_stop, 0)]
    served = (t.from_stop >= 0) & (t.to_stop >= 0) & (fs >= 0) & (ts >= 0)
    tied = t.tied | (t.kind >= 4)
    same = served & ~tied & (fs == ts)
    ids = np.array(t.ids, dtype=object)
    dropped.add("transfers.txt rows name routes or trips, or stay seated (a walking arc "
                "serves every line)", ids[tied], warn=False)
    dropped.add("transfers.txt rows are within one stop (waiting there is the lines' "
                "headways)", ids[same], warn=False)
    dropped.add("transfers.txt rows join stops not served in the window",
                ids[~served & ~tied], warn=False)
    use = served & ~tied & ~same
    S = len(lat)
    key = a * S + c
    walk = dict(zip(key.tolist(), cost.tolist()))
    per_minute = opt.metres_per_minute
    for f, to, kind, min_s in zip(fs[use], ts[use], t.kind[use], t.min_s[use]):
        k = int(f) * S + int(to)
        if kind == 3:
            walk.pop(k, None)
            continue
        base = walk.get(k)
        if base is None:
            metres = float(great_circle_m(lat[f], lon[f], lat[to], lon[to]))
            base = max(metres / per_minute, opt.min_time)
        if kind == 2 and np.isfinite(min_s):
            base = max(base, min_s / 60.0)
        walk[k] = base
    keys = np.array(sorted(walk), dtype=np.int64)
    return keys // S, keys % S, np.array([walk[k] for k in keys.tolist()], dtype=np.float64)


def assemble(lines: FeedLines, zones: Zones | None, opt: Options,
             extras: FeedExtras | None = None, dropped: Dropped | None = None) -> TransitNetwork:
    if dropped is None:
        dropped = Dropped()
    stops, served = lines.stops, lines.served
    Z = 0 if zones is None else len(zones)
    S = len(served)
    node_of_stop = np.full(len(stops), -1)
    node_of_stop[served] = Z + np.arange(S)
    window_min = opt.window_minutes
    freqs = lines.n_trips / window_min
    aligned = [node_of_stop[p.stops] for p in lines.patterns]
    arcs = Arcs.of_lines(aligned, freqs, lines.segment_times, Z + S)

    lat, lon = lines.lat[served], lines.lon[served]
    per_minute = opt.metres_per_minute
    transfers = extras.transfers if extras is not None else None
    if opt.walk_distance > 0 and S > 1:
        a, c, metres = walk_pairs(lat, lon, opt.walk_distance, station_pairs(stops, served))
        walk_cost = np.maximum(metres / per_minute, opt.min_time)
        if transfers is not None:
            position = np.full(len(stops), -1)
            position[served] = np.arange(S)
            a, c, walk_cost = apply_transfers(a, c, walk_cost, transfers, position, lat, lon,
                                              opt, dropped)
        arcs += Arcs.without_wait(a + Z, c + Z, walk_cost, WALK)
    elif transfers is not None:
        dropped.add("transfers.txt rows are not used: walk_distance=0 makes no walking arcs",
                    transfers.ids, warn=False)
    if zones is not None:
        z, s, metres = zone_stops(zones, lat, lon, opt.access_distance, opt.max_connectors)
        t = np.maximum(metres / per_minute, opt.min_time)
        arcs += Arcs.without_wait(z, s + Z, t, ACCESS)
        arcs += Arcs.without_wait(s + Z, z, t, EGRESS)

    n_nodes = Z + S + sum(len(a) for a in aligned)
    net = TransitNetwork(arcs.tail, arcs.head, arcs.freq, arcs.cost, arcs.kind.astype(np.int8),
                         n_nodes=n_nodes, arc_line=arcs.line, arc_from_stop=arcs.from_stop,
                         arc_to_stop=arcs.to_stop)
    net.n_zones = Z
    net.n_stops = S
    net.date = opt.day
    net.window = (opt.start_s / 60.0, opt.end_s / 60.0)
    net.window_minutes = window_min
    net.alignments = aligned
    net.segment_times = lines.segment_times
    net.arc_position = arcs.position
    net.n_zero_segments = lines.n_zero_segments
    describe(net, lines, zones, freqs, arcs)
    if extras is not None:
        route = np.array([p.route for p in lines.patterns], dtype=np.int64)
        net.lines.insert(1, "agency_id", extras.route_agency.to_numpy()[route])
        net.lines.insert(2, "agency_name", extras.route_agency_name.to_numpy()[route])
        net.shape_lat, net.shape_lon = extras.shape_lat, extras.shape_lon
    else:
        net.shape_lat = net.shape_lon = [np.empty(0)] * len(aligned)
    net.lines["shape_id"] = lines.shape_ids
    net.zone_ids = net.stops["stop_id"].to_numpy()[:Z if Z else S].tolist()
    net.dropped = dropped.table()
    return net


def station_pairs(stops: Table, served: IntArray) -> IntArray:
    """Pairs (i < j) of served stops (as indices into `served`) of one station."""
    if not stops.has("parent_station"):
        return np.empty((0, 2), dtype=np.int64)
    parent = stops.text("parent_station").str.strip().to_numpy()[served]
    df = pd.DataFrame({"p": parent, "i": np.arange(len(served))})
    df = df[df["p"] != ""]
    if not len(df):
        return np.empty((0, 2), dtype=np.int64)
    m = df.merge(df, on="p")
    m = m[m["i_x"] < m["i_y"]]
    out: IntArray = m[["i_x", "i_y"]].to_numpy(dtype=np.int64).reshape(-1, 2)
    return out


def describe(net: TransitNetwork, lines: FeedLines, zones: Zones | None, freqs: FloatArray,
             arcs: Arcs) -> None:
    """The stops, lines and arcs tables, in the feed's ids."""
    stops, routes, served, patterns = lines.stops, lines.routes, lines.served, lines.patterns
    names = (stops.text("stop_name").to_numpy() if stops.has("stop_name")
             else np.full(len(stops), ""))
    table = pd.DataFrame({"stop_id": stops.text("stop_id").to_numpy()[served],
                          "stop_name": names[served], "lat": lines.lat[served],
                          "lon": lines.lon[served], "is_zone": False})
    if zones is not None:
        zone_rows = pd.DataFrame({"stop_id": zones.ids, "stop_name": zones.names,
                                  "lat": zones.lat, "lon": zones.lon, "is_zone": True})
        table = pd.concat([zone_rows, table], ignore_index=True)
    net.stops = table
    ids = table["stop_id"].to_numpy()

    rid = routes.text("route_id").to_numpy()
    # a route without a short name goes by its long name, or else its id
    label = np.full(len(routes), "", dtype=object)
    for col in ("route_short_name", "route_long_name"):
        if routes.has(col):
            label = np.where(label == "", routes.text(col).to_numpy(), label)
    label = np.where(label == "", rid, label)
    rtype = routes.parse("route_type", Code)
    route = np.array([p.route for p in patterns], dtype=np.int64)
    aligned = net.alignments
    net.lines = pd.DataFrame({
        "route_id": rid[route],
        "route_short_name": label[route],
        "route_type": rtype[route],
        "direction_id": np.array([p.direction for p in patterns], dtype=np.int64),
        "n_stops": [len(a) for a in aligned],
        "first_stop_id": ids[[a[0] for a in aligned]],
        "last_stop_id": ids[[a[-1] for a in aligned]],
        "n_trips": lines.n_trips,
        "freq": freqs,
        "frequency_based": lines.frequency_based,
    })
    net.lines.index.name = "line"

    lookup = np.empty(max(KIND_NAMES) + 1, dtype=object)
    for code, text in KIND_NAMES.items():
        lookup[code] = text
    net.arcs = pd.DataFrame({
        "kind": pd.Categorical(lookup[arcs.kind.astype(np.int64)],
                               categories=[KIND_NAMES[k] for k in sorted(KIND_NAMES)]),
        "line": arcs.line,
        "from_stop_id": _ids_or_none(ids, arcs.from_stop),
        "to_stop_id": _ids_or_none(ids, arcs.to_stop),
        "position": arcs.position,
        "tail": arcs.tail,
        "head": arcs.head,
        "freq": arcs.freq,
        "cost": arcs.cost,
    })
    net.arcs.index.name = "arc"


def _ids_or_none(ids: ObjectArray, nodes: IntArray) -> ObjectArray:
    out = np.empty(len(nodes), dtype=object)
    ok = nodes >= 0
    out[ok] = ids[nodes[ok]]
    return out

"""`load`: from a feed on disk to a `TransitNetwork`."""

from __future__ import annotations

import datetime as _dt
import operator
import os
from collections.abc import Iterable, Mapping

import numpy as np

from .._perceived import factor, per_line, weigh
from .._progress import Bar, enabled
from ..arrays import InputError
from ._feed import Feed, Table
from ._errors import Dropped
from ._network import Options, TransitNetwork, assemble
from ._parse import parse_clock, parse_day
from ._patterns import feed_lines
from ._extras import feed_extras
from ._zones import zone_table


def load(path: str | os.PathLike[str], date: _dt.date | str, start: str | _dt.time,
         end: str | _dt.time, *, walk_distance: float = 250.0, walk_speed: float = 5.0,
         walk_factor: float = 1.0, zones: object = None, access_distance: float = 500.0,
         min_time: float = 0.25, max_connectors: int | None = None,
         route_types: Iterable[int] | None = None,
         agencies: Iterable[str] | str | None = None, wait_factor: float = 1.0,
         boarding_penalty: float | Mapping[int, float] = 0.0,
         in_vehicle_factor: float | Mapping[int, float] = 1.0,
         progress: bool = True) -> TransitNetwork:
    """Build the network of a GTFS feed for one day's time window.

    Parameters
    ----------
    path: a GTFS zip file or a folder holding its .txt files.
    date: the service day, a `datetime.date` or 'YYYY-MM-DD'. Services follow
        calendar.txt and the exceptions of calendar_dates.txt.
    start, end: the window, 'HH:MM' (or `datetime.time`). A trip belongs
        to it when it leaves its first stop at or after `start` and before
        `end`; trips of the day before whose times pass 24:00 count at their
        time on this day. The frequency of a line is its departures in the
        window divided by the window's minutes.
    walk_distance: walking arcs join every two distinct stops closer than
        this many metres (straight line); 0 for none. Stops that share a
        parent station are joined whatever their distance.
    walk_speed: km/h. A walking arc takes distance / walk_speed (in metres
        per minute) minutes.
    walk_factor: weight on walking time (walking, access and egress arcs):
        their cost is walk_factor times their minutes.
        Where the feed has transfers.txt (and walk_distance > 0), a transfer
        from one stop to another takes at least its min_transfer_time, a
        transfer the feed lists is walkable whatever the distance, and one
        it marks impossible (transfer_type 3) has no walking arc.
    zones: optional zones: a DataFrame with columns id (or zone_id), lat and
        lon (and optionally name), a sequence of (id, lat, lon), a
        GeoDataFrame, or a file: CSV with id, lat and lon columns, or a
        GeoPackage, GeoJSON or Shapefile of points or polygons (polygons by
        their representative point; reprojected from the file's reference
        system to WGS84). Zones become the first nodes; each gets access and
        egress arcs to the stops within `access_distance` metres, nearest
        first, at most `max_connectors` of them, or to its nearest stop if
        none is that close. Zones outside the area of the feed's stops by
        more than `access_distance` are refused (swapped coordinates, or the
        wrong reference system).
    max_connectors: the most stops a zone is joined to (None: all within
        `access_distance`).
    route_types, agencies: keep only the routes of these route_type codes
        and of these agencies (agency_id or agency_name); the trips left out
        are counted in `network.dropped`.
    min_time: minutes given to segments that the timetable times at zero
        minutes (timetables rounded to whole minutes), and the shortest
        walking, access or egress time: no arc a rider can take without
        waiting costs nothing, so no zero-cost loop can form.

    wait_factor: weight on waiting time (see `lumo.arrays.assign`).
    boarding_penalty: minutes added to every boarding, a number or a mapping
        from route_type to minutes (types left out: 0).
    in_vehicle_factor: weight on riding time, a number or a mapping from
        route_type to weight (types left out: 1).
    progress: show the files read (a bar on a terminal, else records on the
        logger "lumo"); False hides it.

    With weights other than 1 or a penalty, `cost` holds perceived costs and
    `minutes` the minutes, which the skims' components report; with the
    defaults the network is exactly the unweighted one.

    Returns a `TransitNetwork`: times are in minutes, frequencies in
    departures per minute, and demand for it is a Z x Z matrix between zones
    (or between the stops, in the order of `network.stops`, without zones).

    What the feed has that the network leaves out (trips without stop times
    or without times at their ends, single-stop trips, rows naming unknown
    trips, stops that no line serves, transfers it cannot honour) is counted
    by reason in `network.dropped`; one warning sums up what the caller did
    not ask to leave out.

    Raises `FeedError` (a `lumo.arrays.InputError`) naming the file, the row
    and the problem when the feed cannot be used.
    """
    day = parse_day(date)
    start_s = parse_clock(start, "start")
    end_s = parse_clock(end, "end")
    if end_s <= start_s:
        raise InputError(f"end ({end}) must be after start ({start})")
    for name, value in (("walk_distance", walk_distance), ("walk_speed", walk_speed),
                        ("walk_factor", walk_factor), ("access_distance", access_distance),
                        ("min_time", min_time)):
        if not isinstance(value, (int, float)) or not np.isfinite(value) or value < 0:
            raise InputError(f"{name} must be a finite number >= 0, got {value!r}")
    if walk_speed <= 0 or walk_factor <= 0 or min_time <= 0:
        raise InputError("walk_speed, walk_factor and min_time must be above 0")
    if max_connectors is not None:
        try:
            max_connectors = operator.index(max_connectors)
        except TypeError:
            raise InputError(f"max_connectors must be a whole number or None, "
                             f"got {max_connectors!r}") from None
        if max_connectors < 1:
            raise InputError(f"max_connectors = {max_connectors} must be at least 1")
    wait = factor("wait_factor", wait_factor)
    show = enabled(progress)
    # walking minutes are built unweighted; the weight is laid on after
    opt = Options(day=day, start_s=start_s, end_s=end_s, walk_distance=float(walk_distance),
                  walk_speed=float(walk_speed), walk_factor=1.0,
                  access_distance=float(access_distance), min_time=float(min_time),
                  max_connectors=max_connectors)
    zone_rows = zone_table(zones) if zones is not None else None

    dropped = Dropped()
    feed = Feed(path)
    bar = Bar("reading feed", None, "files", show=show)
    read = feed.read

    def reading(name: str) -> Table | None:
        table = read(name)
        bar.update(1, file=name)
        return table

    feed.read = reading  # type: ignore[method-assign]
    try:
        lines = feed_lines(feed, day, start_s, end_s, opt.min_time, dropped, route_types,
                           agencies)
        extras = feed_extras(feed, lines)
    finally:
        feed.close()
        bar.close()
    with Bar("building network", 1, "steps", show=show) as building:
        net = assemble(lines, zone_rows, opt, extras, dropped)
        types = net.lines["route_type"].to_numpy().astype(np.int64)
        weigh(net, wait_factor=wait, walk_factor=walk_factor,
              boarding_penalty=per_line("boarding_penalty", _mapping(boarding_penalty),
                                        len(types), zero=True, line_types=types),
              in_vehicle_factor=per_line("in_vehicle_factor", _mapping(in_vehicle_factor),
                                         len(types), zero=False, line_types=types))
        if net.minutes is not None:
            net.arcs["minutes"] = net.minutes.astype(np.float64)
            net.arcs["cost"] = net.cost.astype(np.float64)
        building.update(1)
    dropped.warn()
    return net


def _mapping(value: object) -> object:
    """A mapping by route type as a dict with integer keys."""
    if isinstance(value, Mapping):
        return {int(k) if isinstance(k, str) and k.strip().lstrip("-").isdigit() else k: v
                for k, v in value.items()}
    return value

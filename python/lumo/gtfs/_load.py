"""`load`: from a feed on disk to a `TransitNetwork`."""

from __future__ import annotations

import datetime as _dt
import os

import numpy as np

from ..arrays import InputError
from ._feed import Feed
from ._network import Options, TransitNetwork, assemble
from ._parse import parse_clock, parse_day
from ._patterns import feed_lines
from ._zones import zone_table


def load(path: str | os.PathLike[str], date: _dt.date | str, start: str | _dt.time,
         end: str | _dt.time, *, walk_distance: float = 250.0, walk_speed: float = 5.0,
         walk_factor: float = 1.0, zones: object = None, access_distance: float = 500.0,
         min_time: float = 0.25) -> TransitNetwork:
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
    walk_speed: km/h. A walking arc takes distance * walk_factor /
        walk_speed (in metres per minute) minutes.
    walk_factor: detour factor applied to straight-line walking distances.
    zones: optional zone centroids, a DataFrame with columns id (or zone_id),
        lat and lon (and optionally name), or a sequence of (id, lat, lon).
        Zones become the first nodes; each gets access and egress arcs to
        the stops within `access_distance` metres, or to its nearest stop if
        none is that close.
    min_time: minutes given to segments that the timetable times at zero
        minutes (timetables rounded to whole minutes), and the shortest
        walking, access or egress time: no arc a rider can take without
        waiting costs nothing, so no zero-cost loop can form.

    Returns a `TransitNetwork`: times are in minutes, frequencies in
    departures per minute, and demand for it is a Z x Z matrix between zones
    (or between the stops, in the order of `network.stops`, without zones).

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
    opt = Options(day=day, start_s=start_s, end_s=end_s, walk_distance=float(walk_distance),
                  walk_speed=float(walk_speed), walk_factor=float(walk_factor),
                  access_distance=float(access_distance), min_time=float(min_time))
    zone_rows = zone_table(zones) if zones is not None else None

    feed = Feed(path)
    try:
        lines = feed_lines(feed, day, start_s, end_s, opt.min_time)
    finally:
        feed.close()
    return assemble(lines, zone_rows, opt)

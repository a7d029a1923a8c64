"""Lines: the distinct stop patterns of the window's trips, with their
departures and median segment times, and the stops they serve."""

from __future__ import annotations

import datetime as _dt
from dataclasses import dataclass

import numpy as np
import pandas as pd  # type: ignore[import-untyped, unused-ignore]

from ._errors import Dropped, FeedError
from ._feed import Feed, Table
from ._parse import Number, first_bad, format_clock
from ._trips import Runs, day_trips, frequency_departures, trip_runs, window_trips
from ._types import BoolArray, FloatArray, IntArray


@dataclass(frozen=True)
class Pattern:
    """One line: a route's trips in one direction along one stop sequence."""

    route: int  # row in routes.txt
    direction: int  # direction_id, -1 where the feed gives none
    stops: IntArray  # rows in stops.txt


@dataclass(frozen=True)
class FeedLines:
    """What a feed gives for a day's window, before any network is built."""

    routes: Table
    stops: Table
    #: per row of stops.txt (NaN where unknown)
    lat: FloatArray
    lon: FloatArray
    #: rows of stops.txt that some line serves, ascending
    served: IntArray
    patterns: list[Pattern]
    #: per line: departures in the window, in-vehicle minutes per segment,
    #: whether headways give its departures
    n_trips: FloatArray
    segment_times: list[FloatArray]
    frequency_based: BoolArray
    #: segments timed at zero minutes, given min_time
    n_zero_segments: int
    #: per line, the shape_id its trips follow most ("" for none)
    shape_ids: list[str]


def stop_coordinates(stops: Table) -> tuple[FloatArray, FloatArray]:
    """Latitudes and longitudes (NaN where missing); stops without them take
    their parent station's."""
    lat = stops.parse("stop_lat", Number)
    lon = stops.parse("stop_lon", Number)
    missing = np.isnan(lat) | np.isnan(lon)
    if stops.has("parent_station") and missing.any():
        parent = pd.Index(stops.text("stop_id")).get_indexer(stops.text("parent_station").str.strip())
        take = missing & (parent >= 0)
        lat[take] = lat[parent[take]]
        lon[take] = lon[parent[take]]
    return lat, lon


def group_lines(runs: Runs, inst_run: IntArray, inst_n: FloatArray, route_code: IntArray,
                direction: IntArray) -> tuple[list[Pattern], IntArray, FloatArray]:
    """Lines: the distinct (route, direction, stop sequence) of the trips in
    the window, found per sequence length. Returns the lines, the line of
    every run (-1 for runs outside the window) and the departures of each
    line."""
    starts, lengths, stop = runs.starts, runs.lengths, runs.stop
    used = np.unique(inst_run)
    run_line = np.full(len(starts), -1)
    patterns: list[Pattern] = []
    for length in np.unique(lengths[used]):
        rr = used[lengths[used] == length]
        idx = starts[rr][:, None] + np.arange(length)[None, :]
        key = np.column_stack([route_code[rr], direction[rr], stop[idx]])
        uniq, inverse = np.unique(key, axis=0, return_inverse=True)
        run_line[rr] = inverse.reshape(-1) + len(patterns)
        patterns.extend(Pattern(int(u[0]), int(u[1]), u[2:]) for u in uniq)
    n_lines = len(patterns)
    n_trips = np.bincount(run_line[inst_run], weights=inst_n, minlength=n_lines)
    first_time = np.full(n_lines, np.inf)
    np.minimum.at(first_time, run_line[inst_run], runs.dep[starts][inst_run])
    # Lines in route order (as in routes.txt), then direction, busiest first.
    direction_of = np.array([p.direction for p in patterns], dtype=np.int64)
    route_of = np.array([p.route for p in patterns], dtype=np.int64)
    order = np.lexsort((first_time, -n_trips, direction_of, route_of))
    rank = np.empty(n_lines, int)
    rank[order] = np.arange(n_lines)
    run_line = np.where(run_line >= 0, rank[np.maximum(run_line, 0)], -1)
    return [patterns[i] for i in order], run_line, n_trips[order]


def median_times(runs: Runs, inst_run: IntArray, run_line: IntArray, patterns: list[Pattern],
                 min_time: float) -> tuple[list[FloatArray], int]:
    """Per line, the median over its trips in the window of the minutes from
    leaving one stop to reaching the next; zero medians become min_time."""
    seg_len = runs.lengths[inst_run] - 1
    seg_inst = np.repeat(np.arange(len(inst_run)), seg_len)
    seg_pos = np.arange(seg_len.sum()) - np.repeat(np.cumsum(seg_len) - seg_len, seg_len)
    at = runs.starts[inst_run][seg_inst] + seg_pos
    minutes = (runs.arr[at + 1] - runs.dep[at]) / 60.0
    seg = pd.DataFrame({"line": run_line[inst_run][seg_inst], "pos": seg_pos, "t": minutes})
    med = seg.groupby(["line", "pos"], sort=True)["t"].median().to_numpy()
    n_zero = int((med <= 0).sum())
    med = np.where(med <= 0, min_time, med)
    bounds = np.r_[0, np.cumsum([len(p.stops) - 1 for p in patterns])]
    return [med[bounds[i]:bounds[i + 1]] for i in range(len(patterns))], n_zero


def line_shapes(running_shape: pd.Series, inst_run: IntArray, run_trip: IntArray,
                run_line: IntArray, n_lines: int) -> list[str]:
    """The shape most of a line's trips in the window follow."""
    df = pd.DataFrame({"line": run_line[inst_run],
                       "shape": running_shape.to_numpy()[run_trip[inst_run]]})
    df = df[df["shape"] != ""]
    out = [""] * n_lines
    if len(df):
        top = df.groupby("line")["shape"].agg(lambda s: s.value_counts().index[0])
        for line, shape in top.items():
            out[int(line)] = str(shape)
    return out


def feed_lines(feed: Feed, day: _dt.date, start_s: int, end_s: int, min_time: float,
               dropped: Dropped | None = None, route_types: object = None,
               agencies: object = None) -> FeedLines:
    """The lines of the window, checked against the feed."""
    if dropped is None:
        dropped = Dropped()
    routes, running = day_trips(feed, day, dropped, route_types, agencies)
    stops = feed.must_read("stops.txt")
    stop_id = stops.text("stop_id")
    if stop_id.duplicated().any():
        row = first_bad(stop_id.duplicated().to_numpy())
        raise FeedError("stops.txt", row, f"stop_id {stop_id.iloc[row - 1]!r} appears twice")
    lat, lon = stop_coordinates(stops)

    trips = feed.must_read("trips.txt")
    runs = trip_runs(feed, running, stops, lat, lon, dropped, trips.text("trip_id"))
    freq_dep = frequency_departures(feed, start_s, end_s, dropped, trips.text("trip_id"))
    inst = window_trips(runs, running, freq_dep, start_s, end_s)
    if not len(inst):
        raise FeedError("stop_times.txt", None,
                        f"no trip of the services running on {day.isoformat()} leaves its first "
                        f"stop between {format_clock(start_s)} and {format_clock(end_s)}")
    route_code = pd.Index(routes.text("route_id")).get_indexer(running.route_id)[runs.trip]
    direction = running.direction[runs.trip]
    patterns, run_line, n_trips = group_lines(runs, inst.run, inst.departures, route_code, direction)
    segment_times, n_zero = median_times(runs, inst.run, run_line, patterns, min_time)
    frequency_based = np.zeros(len(patterns), bool)
    frequency_based[run_line[(run_line >= 0) & inst.headway_run]] = True

    served = np.unique(np.concatenate([p.stops for p in patterns]))
    unserved = np.setdiff1d(np.arange(len(stops)), served)
    dropped.add("stops of stops.txt are served by no line in the window (stations included)",
                stop_id.to_numpy()[unserved], warn=False)
    bad = np.isnan(lat[served]) | np.isnan(lon[served]) | (np.abs(lat[served]) > 90) | (
        np.abs(lon[served]) > 180)
    if bad.any():
        i = int(served[np.flatnonzero(bad)[0]])
        raise FeedError("stops.txt", i + 1,
                        f"stop {stop_id.iloc[i]!r} has no valid stop_lat and stop_lon")
    return FeedLines(routes=routes, stops=stops, lat=lat, lon=lon, served=served,
                     patterns=patterns, n_trips=n_trips, segment_times=segment_times,
                     frequency_based=frequency_based, n_zero_segments=n_zero,
                     shape_ids=line_shapes(running.shape_id, inst.run, runs.trip, run_line,
                                           len(patterns)))

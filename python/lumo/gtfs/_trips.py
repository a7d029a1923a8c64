"""Trips: those that run on the day, their stop times, and their departures in
the window (timetabled, or by headway from frequencies.txt)."""

from __future__ import annotations

import datetime as _dt
from dataclasses import dataclass

import numpy as np
import pandas as pd  # type: ignore[import-untyped, unused-ignore]

from ..arrays import InputError
from ._errors import Dropped, FeedError
from ._feed import Feed, Table
from ._geometry import great_circle_m
from ._parse import Code, Integer, Time, first_bad
from ._service import active_services
from ._types import BoolArray, FloatArray, IntArray

DAY_S = 86400


@dataclass(frozen=True)
class Trips:
    """The trips of trips.txt whose service runs on the day or on the day
    before (whose times past 24:00 fall on the day), in file order."""

    trip_id: pd.Series
    route_id: pd.Series
    #: direction_id, -1 where the feed gives none
    direction: IntArray
    today: BoolArray
    yesterday: BoolArray
    #: shape_id, "" where the feed gives none
    shape_id: pd.Series

    def __len__(self) -> int:
        return len(self.trip_id)


def route_agencies(feed: Feed, routes: Table) -> pd.Series:
    """The agency of each route: its agency_id, or the feed's one agency."""
    own = (routes.text("agency_id").str.strip() if routes.has("agency_id")
           else pd.Series([""] * len(routes), dtype=object))
    agency = feed.read("agency.txt")
    if agency is not None and len(agency) == 1 and agency.has("agency_id"):
        own = own.where(own != "", agency.text("agency_id").iloc[0].strip())
    return own.reset_index(drop=True)


def route_filter(feed: Feed, routes: Table, route_types: object, agencies: object
                 ) -> tuple[BoolArray, BoolArray]:
    """Which routes have a selected route_type, and which a selected agency
    (by agency_id or agency_name); all where no filter is given."""
    n = len(routes)
    by_type = np.ones(n, bool)
    by_agency = np.ones(n, bool)
    if route_types is not None:
        try:
            wanted = {int(t) for t in route_types}  # type: ignore[attr-defined]
        except (TypeError, ValueError):
            raise InputError(f"route_types must be a list of route_type codes, got "
                             f"{route_types!r}") from None
        code = routes.parse("route_type", Code)
        by_type = np.isin(code, sorted(wanted))
        if not by_type.any():
            raise InputError(f"route_types={sorted(wanted)}: no route of routes.txt has one of "
                             f"them (the feed has {sorted(set(code.tolist()))})")
    if agencies is not None:
        if isinstance(agencies, str):
            agencies = [agencies]
        try:
            names = {str(a) for a in agencies}  # type: ignore[attr-defined]
        except TypeError:
            raise InputError(f"agencies must be a list of agency ids or names, got "
                             f"{agencies!r}") from None
        own = route_agencies(feed, routes)
        agency = feed.read("agency.txt")
        keep = set(names)
        if agency is not None and agency.has("agency_name") and agency.has("agency_id"):
            named = agency.text("agency_name").str.strip().isin(names).to_numpy()
            keep |= set(agency.text("agency_id").str.strip().to_numpy()[named].tolist())
        by_agency = own.isin(keep).to_numpy()
        if not by_agency.any():
            raise InputError(f"agencies={sorted(names)}: no route of routes.txt belongs to one "
                             f"of them (the feed's routes name {sorted(set(own.tolist()))})")
    return by_type, by_agency


def day_trips(feed: Feed, day: _dt.date, dropped: Dropped, route_types: object = None,
              agencies: object = None) -> tuple[Table, Trips]:
    """routes.txt and the trips of the day, with their routes checked, of the
    routes selected."""
    routes = feed.must_read("routes.txt")
    trips = feed.must_read("trips.txt")
    trip_id = trips.text("trip_id")
    if trip_id.duplicated().any():
        row = first_bad(trip_id.duplicated().to_numpy())
        raise FeedError("trips.txt", row, f"trip_id {trip_id.iloc[row - 1]!r} appears twice")
    route_id = trips.text("route_id")
    known = route_id.isin(routes.text("route_id")).to_numpy()
    if not known.all():
        row = first_bad(~known)
        raise FeedError("trips.txt", row, f"route_id {route_id.iloc[row - 1]!r} is not in routes.txt")
    direction = trips.parse("direction_id", Integer)
    today = active_services(feed, day)
    yesterday = active_services(feed, day - _dt.timedelta(days=1))
    if not today and not yesterday:
        raise FeedError("calendar.txt" if feed.has("calendar.txt") else "calendar_dates.txt", None,
                        f"no service runs on {day.isoformat()} (calendar.txt and calendar_dates.txt)")
    service = trips.text("service_id")
    on_today = service.isin(today).to_numpy()
    on_yesterday = service.isin(yesterday).to_numpy()
    keep = on_today | on_yesterday
    by_type, by_agency = route_filter(feed, routes, route_types, agencies)
    route_row = pd.Index(routes.text("route_id")).get_indexer(route_id)
    for ok, reason in ((by_type, "trips of the day are of a route_type not selected"),
                       (by_agency, "trips of the day are of an agency not selected")):
        out = keep & ~ok[route_row]
        dropped.add(reason, trip_id[out & on_today], warn=False)
        keep &= ok[route_row]
    shape = (trips.text("shape_id").str.strip() if trips.has("shape_id")
             else pd.Series([""] * len(trips), dtype=object))
    return routes, Trips(trip_id[keep].reset_index(drop=True),
                         route_id[keep].reset_index(drop=True),
                         direction[keep], on_today[keep], on_yesterday[keep],
                         shape[keep].reset_index(drop=True))


@dataclass(frozen=True)
class Runs:
    """The stop times of the running trips as one run of rows per trip.

    Over the rows: `stop` (row in stops.txt), `arr`, `dep` (seconds after
    midnight of the trip's own day). Per run: `starts`, `lengths` (its rows)
    and `trip` (its position in `Trips`).
    """

    stop: IntArray
    arr: FloatArray
    dep: FloatArray
    starts: IntArray
    lengths: IntArray
    trip: IntArray


def trip_runs(feed: Feed, running: Trips, stops: Table, lat: FloatArray, lon: FloatArray,
              dropped: Dropped, all_trips: pd.Series | None = None) -> Runs:
    """The stop times of the running trips, checked, sorted, with untimed
    stops interpolated and repeated stops merged."""
    st = feed.must_read("stop_times.txt")
    if not st.has("arrival_time") and not st.has("departure_time"):
        raise FeedError("stop_times.txt", None, "required column 'arrival_time' is missing")
    stop_id = st.text("stop_id")
    unknown = ~stop_id.isin(stops.text("stop_id")).to_numpy()
    if unknown.any():
        row = first_bad(unknown)
        raise FeedError("stop_times.txt", row,
                        f"stop_id {stop_id.iloc[row - 1]!r} is not in stops.txt")
    # Only the trips of the day are parsed (and so checked): most of a feed's
    # stop times belong to other days.
    st_trip = st.text("trip_id")
    if all_trips is not None:
        dropped.add("stop_times.txt rows name a trip that is not in trips.txt",
                    st_trip[~st_trip.isin(all_trips)].unique())
    rows = np.flatnonzero(st_trip.isin(running.trip_id).to_numpy())
    timeless = running.today & ~running.trip_id.isin(st_trip).to_numpy()
    dropped.add("trips of the day have no stop times", running.trip_id[timeless])
    st = st.take(rows)
    arr = st.parse("arrival_time", Time)
    dep = st.parse("departure_time", Time)
    seq = st.parse("stop_sequence", Integer)

    trip = pd.Index(running.trip_id).get_indexer(st.text("trip_id"))
    stop = pd.Index(stops.text("stop_id")).get_indexer(st.text("stop_id"))
    order = np.lexsort((seq, trip))
    trip, stop, seq, rows = trip[order], stop[order], seq[order], rows[order]
    arr, dep = arr[order], dep[order]
    same_trip = np.r_[False, trip[1:] == trip[:-1]]
    repeat = same_trip & np.r_[False, seq[1:] == seq[:-1]]
    if repeat.any():
        i = int(np.flatnonzero(repeat)[0])
        raise FeedError("stop_times.txt", int(rows[i]) + 1,
                        f"stop_sequence {seq[i]} appears twice in trip "
                        f"{running.trip_id.iloc[trip[i]]!r}")

    arr = np.where(np.isnan(arr), dep, arr)
    dep = np.where(np.isnan(dep), arr, dep)
    timed = ~np.isnan(arr)
    # A trip needs times at its ends; one without them cannot be placed in the window.
    ends = ~same_trip | np.r_[~same_trip[1:], True]
    untimed = np.unique(trip[ends & ~timed])
    if len(untimed):
        keep = ~np.isin(trip, untimed)
        trip, stop, rows = trip[keep], stop[keep], rows[keep]
        arr, dep, timed, same_trip = arr[keep], dep[keep], timed[keep], same_trip[keep]
        dropped.add("trips of the day have no time at their first or last stop (stop_times.txt)",
                    running.trip_id.to_numpy()[untimed])
    if not timed.all():
        arr, dep = interpolate(arr, dep, timed, same_trip, lat[stop], lon[stop])

    # A stop served twice in a row is one stop: first arrival, last departure.
    dup = same_trip & np.r_[False, stop[1:] == stop[:-1]]
    if dup.any():
        first = np.flatnonzero(~dup)
        dep = dep[np.r_[first[1:], len(dup)] - 1]
        trip, stop, rows = trip[first], stop[first], rows[first]
        arr, same_trip = arr[first], same_trip[first]

    back = np.r_[False, same_trip[1:] & (arr[1:] < dep[:-1])] | (dep < arr)
    if back.any():
        i = int(np.flatnonzero(back)[0])
        raise FeedError("stop_times.txt", int(rows[i]) + 1,
                        f"trip {running.trip_id.iloc[trip[i]]!r} runs backwards in time "
                        f"at stop {stops.text('stop_id').iloc[stop[i]]!r}")
    starts = np.flatnonzero(~same_trip)
    lengths = np.diff(np.r_[starts, len(same_trip)])
    dropped.add("trips of the day stop at a single stop",
                running.trip_id.to_numpy()[trip[starts][lengths < 2]])
    return Runs(stop=stop, arr=arr, dep=dep, starts=starts, lengths=lengths, trip=trip[starts])


def interpolate(arr: FloatArray, dep: FloatArray, timed: BoolArray, same_trip: BoolArray,
                lat: FloatArray, lon: FloatArray) -> tuple[FloatArray, FloatArray]:
    """Times at untimed stops, in proportion to the straight-line distance
    travelled between the timed stops around them (by stop count where those
    are at one place)."""
    n = len(arr)
    step = np.zeros(n)
    step[1:] = np.where(same_trip[1:], great_circle_m(lat[:-1], lon[:-1], lat[1:], lon[1:]), 0.0)
    step = np.nan_to_num(step)
    dist = np.cumsum(step)
    idx = np.arange(n)
    prev = np.maximum.accumulate(np.where(timed, idx, -1))
    nxt = np.minimum.accumulate(np.where(timed, idx, n)[::-1])[::-1]
    u = ~timed
    p, q = prev[u], nxt[u]
    span = dist[q] - dist[p]
    frac = np.where(span > 0, (dist[u] - dist[p]) / np.where(span > 0, span, 1.0),
                    (idx[u] - p) / (q - p))
    t = dep[p] + frac * (arr[q] - dep[p])
    arr = arr.copy()
    dep = dep.copy()
    arr[u] = t
    dep[u] = t
    return arr, dep


def frequency_departures(feed: Feed, start_s: int, end_s: int, dropped: Dropped | None = None,
                         all_trips: pd.Series | None = None) -> pd.DataFrame | None:
    """Departures in the window of each trip of frequencies.txt, as a
    DataFrame (trip_id, offset_s, departures); offset_s is 0 for a trip of the
    day and -86400 for one of the day before. None without the file."""
    freq = feed.read("frequencies.txt")
    if freq is None or not len(freq):
        return None
    if dropped is not None and all_trips is not None:
        named = freq.text("trip_id")
        dropped.add("frequencies.txt rows name a trip that is not in trips.txt",
                    named[~named.isin(all_trips)].unique())
    t0 = freq.parse("start_time", Time)
    t1 = freq.parse("end_time", Time)
    head = freq.parse("headway_secs", Integer).astype(float)
    exact = freq.parse("exact_times", Integer)
    back = t1 < t0
    if back.any():
        row = first_bad(back)
        raise FeedError("frequencies.txt", row, "end_time is before start_time")
    # Hourly periods are often written HH:00:00-HH:59:00 (or :59:59): they mean the whole hour.
    inexact_end = t1.copy()
    tail = t1 % 3600
    whole = (exact == 0) & ((tail == 3540) | (tail == 3599))
    inexact_end[whole] = t1[whole] - tail[whole] + 3600
    out = []
    for offset in (0, -DAY_S):
        a, b = t0 + offset, t1 + offset
        lo, hi = np.maximum(a, start_s), np.minimum(b, end_s)
        # exact times: departures a + k*h with k >= 0, a + k*h < b, inside [lo, hi)
        n_exact = np.where(hi > lo, np.ceil((hi - a) / head) - np.ceil((lo - a) / head), 0.0)
        hi_inexact = np.minimum(inexact_end + offset, end_s)
        n_inexact = np.maximum(hi_inexact - lo, 0.0) / head
        n = np.where(exact == 1, n_exact, n_inexact)
        out.append(pd.DataFrame({"trip_id": freq.text("trip_id").to_numpy(), "offset_s": offset,
                                 "departures": n}))
    dep = pd.concat(out, ignore_index=True)
    dep = dep.groupby(["trip_id", "offset_s"], as_index=False, sort=False)["departures"].sum()
    return dep


@dataclass(frozen=True)
class WindowTrips:
    """The trips in the window: per instance its run and the departures it
    stands for (1 for a timetabled trip); per run whether headways give its
    departures."""

    run: IntArray
    departures: FloatArray
    headway_run: BoolArray

    def __len__(self) -> int:
        return len(self.run)


def window_trips(runs: Runs, running: Trips, freq_dep: pd.DataFrame | None, start_s: int,
                 end_s: int) -> WindowTrips:
    """A trip of yesterday's services runs again 24 hours earlier on today's
    clock, which is how times past 24:00 count."""
    starts, lengths, trip = runs.starts, runs.lengths, runs.trip
    first_dep = runs.dep[starts]
    headway_trip = np.zeros(len(running), bool)
    if freq_dep is not None:
        headway_trip = running.trip_id.isin(freq_dep["trip_id"]).to_numpy()
    headway_run = headway_trip[trip]
    today = running.today[trip]
    yesterday = running.yesterday[trip]
    timetable = ~headway_run & (lengths >= 2)
    runs_out: list[IntArray] = []
    counts: list[FloatArray] = []
    for offset, on_day in ((0, today), (-DAY_S, yesterday)):
        t = first_dep + offset
        sel = np.flatnonzero(timetable & on_day & (t >= start_s) & (t < end_s))
        runs_out.append(sel)
        counts.append(np.ones(len(sel)))
    if freq_dep is not None and headway_run.any():
        run_of_trip = pd.Series(np.arange(len(starts)), index=running.trip_id.to_numpy()[trip])
        fd = freq_dep[freq_dep["trip_id"].isin(run_of_trip.index) & (freq_dep["departures"] > 0)]
        r = run_of_trip.loc[fd["trip_id"]].to_numpy()
        ok = np.where(fd["offset_s"].to_numpy() == 0, today[r], yesterday[r]) & (lengths[r] >= 2)
        runs_out.append(r[ok])
        counts.append(fd["departures"].to_numpy()[ok])
    return WindowTrips(np.concatenate(runs_out), np.concatenate(counts), headway_run)

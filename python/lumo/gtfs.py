"""From a GTFS feed to a frequency-based network, and from an assignment to tables.

`load` reads a GTFS feed (a zip file or a folder) and builds a
`lumo.arrays.Network` of the services that run on one day in one time window:

- a *line* per distinct (route, direction, stop sequence) whose trips leave
  their first stop in the window; its frequency is the number of departures
  in the window divided by the window's length (departures per minute);
- per line and segment, the median in-vehicle time over the line's trips
  (minutes);
- walking arcs between stops closer than `walk_distance`, so that riders can
  change to the stop across the street;
- optionally, zones with access and egress arcs to the stops around them.

The tables `stops`, `lines` and `arcs` describe the network in the feed's own
ids; `segment_loads`, `stop_boardings`, `line_summary` and `skims` turn an
assignment of that network into tables keyed by the same ids.

Needs pandas, numpy and scipy: ``pip install 'lumo[gtfs]'``.
"""

from __future__ import annotations

import datetime as _dt
import io
import os
import re
import warnings
import zipfile
from collections.abc import Iterable
from typing import Any

try:
    import numpy as np
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]
    from scipy.spatial import cKDTree  # type: ignore[import-untyped, unused-ignore]
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(f"lumo.gtfs needs numpy, pandas and scipy ({exc}): "
                      "pip install 'lumo[gtfs]'") from exc

from .arrays import (
    ACCESS,
    ALIGHTING,
    BOARDING,
    EGRESS,
    IN_VEHICLE,
    WALK,
    InputError,
    Network,
    _line_arcs,
)

__all__ = [
    "FeedError",
    "TransitNetwork",
    "load",
    "gravity_demand",
    "segment_loads",
    "stop_boardings",
    "line_summary",
    "skims",
]

EARTH_RADIUS_M = 6_371_008.8
KIND_NAMES = {
    BOARDING: "boarding",
    IN_VEHICLE: "in-vehicle",
    ALIGHTING: "alighting",
    WALK: "walk",
    ACCESS: "access",
    EGRESS: "egress",
}


class FeedError(InputError):  # type: ignore[misc, valid-type, unused-ignore]
    """A GTFS feed that cannot be used: names the file, the row and the problem.

    `row` counts the records of the file after its header from 1 (None where
    the problem is not in one row).
    """

    def __init__(self, file: str, row: int | None, problem: str):
        self.file = file
        self.row = row
        self.problem = problem
        where = file if row is None else f"{file}, row {row}"
        super().__init__(f"{where}: {problem}")


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
      minutes, which were given `min_time`).
    """

    stops: pd.DataFrame
    lines: pd.DataFrame
    arcs: pd.DataFrame
    alignments: list[np.ndarray]
    segment_times: list[np.ndarray]
    arc_position: np.ndarray
    n_zones: int
    n_stops: int
    date: _dt.date
    window: tuple[float, float]
    window_minutes: float
    n_zero_segments: int


# ---------------------------------------------------------------------------
# Reading the feed


class _Feed:
    """The .txt files of a GTFS zip or folder, by name."""

    def __init__(self, path: Any):
        try:
            path = os.fspath(path)
        except TypeError:
            raise InputError(f"path must be a file or folder name, got {type(path).__name__}") from None
        self.path = path
        self._zip: zipfile.ZipFile | None = None
        self._members: dict[str, str] = {}
        if os.path.isdir(path):
            for name in os.listdir(path):
                if name.lower().endswith(".txt"):
                    self._members[name.lower()] = os.path.join(path, name)
        elif os.path.isfile(path):
            try:
                self._zip = zipfile.ZipFile(path)
            except (zipfile.BadZipFile, OSError) as e:
                raise InputError(f"path {path!r} is not a GTFS zip file or folder: {e}") from None
            # Some feeds keep their files in a folder inside the zip: take the
            # shallowest member of each name.
            depth: dict[str, int] = {}
            for info in self._zip.infolist():
                if info.is_dir():
                    continue
                base = info.filename.rsplit("/", 1)[-1].lower()
                d = info.filename.count("/")
                if base.endswith(".txt") and d < depth.get(base, 1 << 30):
                    depth[base] = d
                    self._members[base] = info.filename
        else:
            raise InputError(f"path {path!r} does not exist")

    def close(self) -> None:
        if self._zip is not None:
            self._zip.close()

    def has(self, name: str) -> bool:
        return name in self._members

    def read(self, name: str, required: Iterable[str], optional: Iterable[str] = (),
             *, must_exist: bool = True) -> Any:
        """The named columns of a file as strings ("" where empty), or None when
        an optional file is absent. Absent optional columns are left out."""
        required = list(required)
        wanted = set(required) | set(optional)
        if name not in self._members:
            if must_exist:
                raise FeedError(name, None, "the feed has no such file")
            return None
        member = self._members[name]
        if self._zip is not None:
            raw = self._zip.read(member)
        else:
            with open(member, "rb") as f:
                raw = f.read()
        if not raw or raw.isspace():
            if must_exist:
                raise FeedError(name, None, "the file is empty (it has no header)")
            return None

        def parse(encoding: str) -> Any:
            return pd.read_csv(io.BytesIO(raw), dtype=str, keep_default_na=False, na_filter=False,
                               encoding=encoding, skipinitialspace=True,
                               usecols=lambda c: c.strip() in wanted)

        try:
            try:
                df = parse("utf-8-sig")
            except UnicodeDecodeError as e:
                # GTFS asks for UTF-8, but older feeds come in a Latin code
                # page: read them byte for byte rather than refuse them
                warnings.warn(f"{name} is not UTF-8 ({e.reason}); read as Latin-1", stacklevel=4)
                df = parse("latin-1")
        except (pd.errors.ParserError, ValueError) as e:
            raise FeedError(name, None, f"cannot be read as CSV: {e}") from None
        df.columns = [c.strip() for c in df.columns]
        if df.columns.duplicated().any():
            dup = df.columns[df.columns.duplicated()][0]
            raise FeedError(name, None, f"column {dup!r} appears twice in the header")
        for col in required:
            if col not in df.columns:
                raise FeedError(name, None, f"required column {col!r} is missing")
        return df


def _first_bad(mask: np.ndarray) -> int:
    """The feed row (from 1) of the first True in mask."""
    return int(np.flatnonzero(mask)[0]) + 1


_TIME_RE = r"^\s*(\d+):([0-5]\d):([0-5]\d)\s*$"


def _parse_times(values: pd.Series, file: str, column: str, rows: np.ndarray | None = None,
                 allow_empty: bool = True) -> np.ndarray:
    """GTFS times (H:MM:SS, hours may pass 24) as seconds after midnight, in
    float64; NaN where empty. `rows` maps positions to feed rows."""
    text = values
    empty = (text == "").to_numpy(copy=True)
    out = np.full(len(values), np.nan)
    todo = ~empty
    # Nearly every time is HH:MM:SS or H:MM:SS: read those digit by digit.
    fixed = todo & text.str.len().isin((7, 8)).to_numpy()
    if fixed.any():
        try:
            raw = np.asarray(text.to_numpy()[fixed].astype(str), dtype="S8")
        except UnicodeEncodeError:
            raw = None
        if raw is not None:
            raw = np.char.rjust(raw, 8, b"0")
            d = raw.view(np.uint8).reshape(-1, 8).astype(np.int64) - ord("0")
            digits = np.delete(d, [2, 5], axis=1)
            good = ((d[:, 2] == ord(":") - ord("0")) & (d[:, 5] == ord(":") - ord("0"))
                    & ((digits >= 0) & (digits <= 9)).all(axis=1) & (d[:, 3] < 6) & (d[:, 6] < 6))
            secs = (d[:, 0] * 10 + d[:, 1]) * 3600 + (d[:, 3] * 10 + d[:, 4]) * 60 + d[:, 6] * 10 + d[:, 7]
            at = np.flatnonzero(fixed)[good]
            out[at] = secs[good]
            todo[at] = False
    if todo.any():
        at = np.flatnonzero(todo)
        blank = (text.iloc[at].str.strip() == "").to_numpy()
        empty[at[blank]] = True
        todo[at[blank]] = False
        at = at[~blank]
        parts = text.iloc[at].str.extract(_TIME_RE)
        ok = parts[0].notna().to_numpy()
        if ok.any():
            h, m, sec = (parts[k].to_numpy()[ok].astype(np.int64) for k in range(3))
            out[at[ok]] = h * 3600 + m * 60 + sec
        todo[at[ok]] = False
    bad = todo | (empty & (not allow_empty))
    if bad.any():
        i = int(np.flatnonzero(bad)[0])
        row = int(rows[i]) + 1 if rows is not None else i + 1
        what = "is empty" if empty[i] else f"{values.iloc[i]!r} is not a time of the form H:MM:SS"
        raise FeedError(file, row, f"{column} {what}")
    return out


def _parse_ints(values: pd.Series, file: str, column: str, rows: np.ndarray | None = None,
                lo: int | None = None, choices: tuple[int, ...] | None = None,
                default: int | None = None) -> np.ndarray:
    """Integers of a column; `default` where empty (an error without one)."""
    v = values.str.strip()
    empty = (v == "").to_numpy()
    num = pd.to_numeric(v.where(~empty, None), errors="coerce").to_numpy(dtype=float, copy=True)
    bad = (~empty & (np.isnan(num) | (num != np.floor(num)))) | (empty & (default is None))
    if lo is not None:
        bad |= ~empty & ~np.isnan(num) & (num < lo)
    if choices is not None:
        bad |= ~empty & ~np.isnan(num) & ~np.isin(num, choices)
    if bad.any():
        i = int(np.flatnonzero(bad)[0])
        row = int(rows[i]) + 1 if rows is not None else i + 1
        if empty[i]:
            raise FeedError(file, row, f"{column} is empty")
        expect = (f"one of {', '.join(map(str, choices))}" if choices is not None
                  else "a whole number" + (f" of at least {lo}" if lo is not None else ""))
        raise FeedError(file, row, f"{column} {values.iloc[i]!r} is not {expect}")
    num[empty] = default if default is not None else 0
    out: np.ndarray = num.astype(np.int64)
    return out


def _parse_date_column(values: pd.Series, file: str, column: str) -> np.ndarray:
    """YYYYMMDD dates as integers (they compare like the dates)."""
    v = values.str.strip()
    ok = v.str.fullmatch(r"\d{8}").to_numpy()
    if ok.all():
        d = v.astype(np.int64).to_numpy()
        month, day = d // 100 % 100, d % 100
        ok = (month >= 1) & (month <= 12) & (day >= 1) & (day <= 31)
    if not ok.all():
        i = int(np.flatnonzero(~ok)[0])
        raise FeedError(file, i + 1, f"{column} {values.iloc[i]!r} is not a date of the form YYYYMMDD")
    out: np.ndarray = d
    return out


def _active_services(feed: _Feed, day: _dt.date) -> set[str]:
    cal = feed.read("calendar.txt", ["service_id", "monday", "tuesday", "wednesday", "thursday",
                                     "friday", "saturday", "sunday", "start_date", "end_date"],
                    must_exist=False)
    dates = feed.read("calendar_dates.txt", ["service_id", "date", "exception_type"], must_exist=False)
    if cal is None and dates is None:
        raise FeedError("calendar.txt", None,
                        "the feed has no such file, nor calendar_dates.txt: no service has dates")
    ymd = day.year * 10000 + day.month * 100 + day.day
    active: set[str] = set()
    if cal is not None and len(cal):
        weekday = ["monday", "tuesday", "wednesday", "thursday", "friday", "saturday",
                   "sunday"][day.weekday()]
        runs = _parse_ints(cal[weekday], "calendar.txt", weekday, choices=(0, 1))
        start = _parse_date_column(cal["start_date"], "calendar.txt", "start_date")
        end = _parse_date_column(cal["end_date"], "calendar.txt", "end_date")
        on = (runs == 1) & (start <= ymd) & (ymd <= end)
        active.update(cal["service_id"].to_numpy()[on].tolist())
    if dates is not None and len(dates):
        when = _parse_date_column(dates["date"], "calendar_dates.txt", "date")
        kind = _parse_ints(dates["exception_type"], "calendar_dates.txt", "exception_type",
                           choices=(1, 2))
        today = when == ymd
        ids = dates["service_id"].to_numpy()
        active.update(ids[today & (kind == 1)].tolist())
        active.difference_update(ids[today & (kind == 2)].tolist())
    return active


def _parse_day(date: Any) -> _dt.date:
    if isinstance(date, _dt.datetime):
        return date.date()
    if isinstance(date, _dt.date):
        return date
    if isinstance(date, str):
        for fmt in ("%Y-%m-%d", "%Y%m%d"):
            try:
                return _dt.datetime.strptime(date.strip(), fmt).date()
            except ValueError:
                pass
    raise InputError(f"date must be a datetime.date or a 'YYYY-MM-DD' string, got {date!r}")


def _parse_clock(value: Any, name: str) -> int:
    """'HH:MM' (or 'HH:MM:SS', or a `datetime.time`) as seconds after
    midnight; hours may pass 24."""
    if isinstance(value, _dt.time):
        return value.hour * 3600 + value.minute * 60 + value.second
    if isinstance(value, str):
        m = re.fullmatch(r"\s*(\d{1,2}):([0-5]\d)(?::([0-5]\d))?\s*", value)
        if m:
            return int(m[1]) * 3600 + int(m[2]) * 60 + int(m[3] or 0)
    raise InputError(f"{name} must be a time 'HH:MM', got {value!r}")


# ---------------------------------------------------------------------------
# Geometry


def _unit_vectors(lat: np.ndarray, lon: np.ndarray) -> np.ndarray:
    la, lo = np.radians(lat), np.radians(lon)
    return np.column_stack([np.cos(la) * np.cos(lo), np.cos(la) * np.sin(lo), np.sin(la)])


def _great_circle_m(lat1: Any, lon1: Any, lat2: Any, lon2: Any) -> np.ndarray:
    la1, lo1, la2, lo2 = map(np.radians, (lat1, lon1, lat2, lon2))
    a = np.sin((la2 - la1) / 2) ** 2 + np.cos(la1) * np.cos(la2) * np.sin((lo2 - lo1) / 2) ** 2
    out: np.ndarray = 2 * EARTH_RADIUS_M * np.arcsin(np.sqrt(np.clip(a, 0.0, 1.0)))
    return out


def _chord(distance_m: float) -> float:
    """The straight-line (3-D) length of a great-circle arc on the unit sphere."""
    return 2 * float(np.sin(min(distance_m / EARTH_RADIUS_M, np.pi) / 2))


def _pairs_within(xyz: np.ndarray, distance_m: float) -> np.ndarray:
    """Index pairs (i < j) of points closer than distance_m, as a K x 2 array.
    The points are unit vectors, so one search serves the whole globe."""
    if len(xyz) < 2 or distance_m <= 0:
        return np.empty((0, 2), dtype=np.int64)
    tree = cKDTree(xyz)
    # a hair over the chord, then the exact great-circle test below
    pairs = tree.query_pairs(_chord(distance_m) * (1 + 1e-9), output_type="ndarray")
    out: np.ndarray = np.asarray(pairs, dtype=np.int64).reshape(-1, 2)
    return out


# ---------------------------------------------------------------------------
# Building the lines


def _trip_table(feed: _Feed, day: _dt.date) -> tuple[Any, Any, set[str], set[str]]:
    """The trips of the day and their services, with routes checked."""
    routes = feed.read("routes.txt", ["route_id"],
                       ["route_short_name", "route_long_name", "route_type"])
    trips = feed.read("trips.txt", ["route_id", "service_id", "trip_id"], ["direction_id"])
    if trips["trip_id"].duplicated().any():
        row = _first_bad(trips["trip_id"].duplicated().to_numpy())
        raise FeedError("trips.txt", row, f"trip_id {trips['trip_id'].iloc[row - 1]!r} appears twice")
    known = trips["route_id"].isin(routes["route_id"]).to_numpy()
    if not known.all():
        row = _first_bad(~known)
        raise FeedError("trips.txt", row,
                        f"route_id {trips['route_id'].iloc[row - 1]!r} is not in routes.txt")
    if "direction_id" in trips.columns:
        trips["direction"] = _parse_ints(trips["direction_id"], "trips.txt", "direction_id",
                                         choices=(0, 1), default=-1)
    else:
        trips["direction"] = -1
    today = _active_services(feed, day)
    yesterday = _active_services(feed, day - _dt.timedelta(days=1))
    if not today and not yesterday:
        raise FeedError("calendar.txt" if feed.has("calendar.txt") else "calendar_dates.txt", None,
                        f"no service runs on {day.isoformat()} (calendar.txt and calendar_dates.txt)")
    return routes, trips, today, yesterday


def _frequency_departures(feed: _Feed, start_s: int, end_s: int) -> Any:
    """Departures in [start_s, end_s) of the trips given by headways, as a
    DataFrame (trip_id, offset_s, departures); offset_s is 0 for a trip of the
    day and -86400 for one of the day before."""
    freq = feed.read("frequencies.txt", ["trip_id", "start_time", "end_time", "headway_secs"],
                     ["exact_times"], must_exist=False)
    if freq is None or not len(freq):
        return None
    t0 = _parse_times(freq["start_time"], "frequencies.txt", "start_time", allow_empty=False)
    t1 = _parse_times(freq["end_time"], "frequencies.txt", "end_time", allow_empty=False)
    head = _parse_ints(freq["headway_secs"], "frequencies.txt", "headway_secs", lo=1).astype(float)
    exact = (_parse_ints(freq["exact_times"], "frequencies.txt", "exact_times", choices=(0, 1),
                         default=0) if "exact_times" in freq.columns else np.zeros(len(freq), int))
    back = t1 < t0
    if back.any():
        row = _first_bad(back)
        raise FeedError("frequencies.txt", row, "end_time is before start_time")
    # Hourly periods are often written HH:00:00-HH:59:00 (or :59:59): they mean the whole hour.
    inexact_end = t1.copy()
    tail = t1 % 3600
    whole = (exact == 0) & ((tail == 3540) | (tail == 3599))
    inexact_end[whole] = t1[whole] - tail[whole] + 3600
    out = []
    for offset in (0, -86400):
        a, b = t0 + offset, t1 + offset
        lo, hi = np.maximum(a, start_s), np.minimum(b, end_s)
        # exact times: departures a + k*h with k >= 0, a + k*h < b, inside [lo, hi)
        n_exact = np.where(hi > lo, np.ceil((hi - a) / head) - np.ceil((lo - a) / head), 0.0)
        hi_inexact = np.minimum(inexact_end + offset, end_s)
        n_inexact = np.maximum(hi_inexact - lo, 0.0) / head
        n = np.where(exact == 1, n_exact, n_inexact)
        out.append(pd.DataFrame({"trip_id": freq["trip_id"].to_numpy(), "offset_s": offset,
                                 "departures": n}))
    dep = pd.concat(out, ignore_index=True)
    dep = dep.groupby(["trip_id", "offset_s"], as_index=False, sort=False)["departures"].sum()
    return dep


def _build(feed: _Feed, day: _dt.date, start_s: int, end_s: int, min_time: float) -> dict[str, Any]:
    """Lines of the window: a dict of plain arrays and tables (no Network yet)."""
    routes, trips, today, yesterday = _trip_table(feed, day)
    stops = feed.read("stops.txt", ["stop_id"],
                      ["stop_name", "stop_lat", "stop_lon", "location_type", "parent_station"])
    if stops["stop_id"].duplicated().any():
        row = _first_bad(stops["stop_id"].duplicated().to_numpy())
        raise FeedError("stops.txt", row, f"stop_id {stops['stop_id'].iloc[row - 1]!r} appears twice")
    lat, lon = _coordinates(stops)
    trips["today"] = trips["service_id"].isin(today)
    trips["yesterday"] = trips["service_id"].isin(yesterday)
    running = trips[trips["today"] | trips["yesterday"]].reset_index(drop=True)

    runs = _trip_runs(feed, running, stops, lat, lon)
    freq_dep = _frequency_departures(feed, start_s, end_s)
    inst_run, inst_n, headway_run = _instances(runs, running, freq_dep, start_s, end_s)
    if not len(inst_run):
        raise FeedError("stop_times.txt", None,
                        f"no trip of the services running on {day.isoformat()} leaves its first "
                        f"stop between {_clock(start_s)} and {_clock(end_s)}")
    route_code = pd.Index(routes["route_id"]).get_indexer(running["route_id"])[runs["trip"]]
    direction = running["direction"].to_numpy()[runs["trip"]]
    patterns, run_line, n_trips = _group_lines(runs, inst_run, inst_n, route_code, direction)
    segment_times, n_zero = _median_times(runs, inst_run, run_line, patterns, min_time)
    frequency_based = np.zeros(len(patterns), bool)
    frequency_based[run_line[(run_line >= 0) & headway_run]] = True

    served = np.unique(np.concatenate([p[2] for p in patterns]))
    bad = np.isnan(lat[served]) | np.isnan(lon[served]) | (np.abs(lat[served]) > 90) | (
        np.abs(lon[served]) > 180)
    if bad.any():
        i = int(served[np.flatnonzero(bad)[0]])
        raise FeedError("stops.txt", i + 1,
                        f"stop {stops['stop_id'].iloc[i]!r} has no valid stop_lat and stop_lon")
    return {"routes": routes, "stops": stops, "lat": lat, "lon": lon, "served": served,
            "patterns": patterns, "n_trips": n_trips, "segment_times": segment_times,
            "n_zero_segments": n_zero, "frequency_based": frequency_based}


def _coordinates(stops: pd.DataFrame) -> tuple[np.ndarray, np.ndarray]:
    """Latitudes and longitudes (NaN where missing); stops without them take
    their parent station's."""
    empty = pd.Series("", index=stops.index)
    lat = pd.to_numeric(stops.get("stop_lat", empty).str.strip(),
                        errors="coerce").to_numpy(dtype=float, copy=True)
    lon = pd.to_numeric(stops.get("stop_lon", empty).str.strip(),
                        errors="coerce").to_numpy(dtype=float, copy=True)
    missing = np.isnan(lat) | np.isnan(lon)
    if "parent_station" in stops.columns and missing.any():
        parent = pd.Index(stops["stop_id"]).get_indexer(stops["parent_station"].str.strip())
        take = missing & (parent >= 0)
        lat[take] = lat[parent[take]]
        lon[take] = lon[parent[take]]
    return lat, lon


def _trip_runs(feed: _Feed, running: pd.DataFrame, stops: pd.DataFrame, lat: np.ndarray,
               lon: np.ndarray) -> dict[str, np.ndarray]:
    """The stop times of the running trips, checked, sorted, with untimed
    stops interpolated and repeated stops merged: one run of rows per trip.

    Returns flat arrays over the rows (`stop`: stop row in stops.txt, `arr`,
    `dep`: seconds) and per trip (`starts`, `lengths`, `trip`: row in
    `running`)."""
    st = feed.read("stop_times.txt", ["trip_id", "stop_id", "stop_sequence"],
                   ["arrival_time", "departure_time"])
    if "arrival_time" not in st.columns and "departure_time" not in st.columns:
        raise FeedError("stop_times.txt", None, "required column 'arrival_time' is missing")
    unknown = ~st["stop_id"].isin(stops["stop_id"]).to_numpy()
    if unknown.any():
        row = _first_bad(unknown)
        raise FeedError("stop_times.txt", row,
                        f"stop_id {st['stop_id'].iloc[row - 1]!r} is not in stops.txt")
    rows = np.flatnonzero(st["trip_id"].isin(running["trip_id"]).to_numpy())
    st = st.iloc[rows]
    for col in ("arrival_time", "departure_time"):
        if col not in st.columns:
            st = st.assign(**{col: ""})
    arr = _parse_times(st["arrival_time"], "stop_times.txt", "arrival_time", rows)
    dep = _parse_times(st["departure_time"], "stop_times.txt", "departure_time", rows)
    seq = _parse_ints(st["stop_sequence"], "stop_times.txt", "stop_sequence", rows, lo=0)

    trip = pd.Index(running["trip_id"]).get_indexer(st["trip_id"])
    stop = pd.Index(stops["stop_id"]).get_indexer(st["stop_id"])
    order = np.lexsort((seq, trip))
    trip, stop, seq, arr, dep, rows = (x[order] for x in (trip, stop, seq, arr, dep, rows))
    same_trip = np.r_[False, trip[1:] == trip[:-1]]
    repeat = same_trip & np.r_[False, seq[1:] == seq[:-1]]
    if repeat.any():
        i = int(np.flatnonzero(repeat)[0])
        raise FeedError("stop_times.txt", int(rows[i]) + 1,
                        f"stop_sequence {seq[i]} appears twice in trip "
                        f"{running['trip_id'].iloc[trip[i]]!r}")

    arr = np.where(np.isnan(arr), dep, arr)
    dep = np.where(np.isnan(dep), arr, dep)
    timed = ~np.isnan(arr)
    # A trip needs times at its ends; one without them cannot be placed in the window.
    ends = ~same_trip | np.r_[~same_trip[1:], True]
    dropped = np.unique(trip[ends & ~timed])
    if len(dropped):
        keep = ~np.isin(trip, dropped)
        trip, stop, arr, dep, rows, timed, same_trip = (
            x[keep] for x in (trip, stop, arr, dep, rows, timed, same_trip))
        warnings.warn(f"stop_times.txt: {len(dropped)} trips of the day have no time at "
                      "their first or last stop and are left out", stacklevel=4)
    if not timed.all():
        arr, dep = _interpolate(arr, dep, timed, same_trip, lat[stop], lon[stop])

    # A stop served twice in a row is one stop: first arrival, last departure.
    dup = same_trip & np.r_[False, stop[1:] == stop[:-1]]
    if dup.any():
        first = np.flatnonzero(~dup)
        dep = dep[np.r_[first[1:], len(dup)] - 1]
        trip, stop, arr, rows, same_trip = (x[first] for x in (trip, stop, arr, rows, same_trip))

    back = np.r_[False, same_trip[1:] & (arr[1:] < dep[:-1])] | (dep < arr)
    if back.any():
        i = int(np.flatnonzero(back)[0])
        raise FeedError("stop_times.txt", int(rows[i]) + 1,
                        f"trip {running['trip_id'].iloc[trip[i]]!r} runs backwards in time "
                        f"at stop {stops['stop_id'].iloc[stop[i]]!r}")
    starts = np.flatnonzero(~same_trip)
    return {"stop": stop, "arr": arr, "dep": dep, "starts": starts,
            "lengths": np.diff(np.r_[starts, len(same_trip)]), "trip": trip[starts]}


def _instances(runs: dict[str, np.ndarray], running: pd.DataFrame, freq_dep: Any, start_s: int,
               end_s: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The trips in the window: (run of each, departures it stands for, and
    per run whether headways give its departures).

    A trip of yesterday's services runs again 24 hours earlier on today's
    clock, which is how times past 24:00 count."""
    starts, lengths, trip = runs["starts"], runs["lengths"], runs["trip"]
    first_dep = runs["dep"][starts]
    headway_trip = np.zeros(len(running), bool)
    if freq_dep is not None:
        headway_trip = running["trip_id"].isin(freq_dep["trip_id"]).to_numpy()
    headway_run = headway_trip[trip]
    today = running["today"].to_numpy()[trip]
    yesterday = running["yesterday"].to_numpy()[trip]
    timetable = ~headway_run & (lengths >= 2)
    runs_out: list[np.ndarray] = []
    counts: list[np.ndarray] = []
    for offset, on_day in ((0, today), (-86400, yesterday)):
        t = first_dep + offset
        sel = np.flatnonzero(timetable & on_day & (t >= start_s) & (t < end_s))
        runs_out.append(sel)
        counts.append(np.ones(len(sel)))
    if freq_dep is not None and headway_run.any():
        run_of_trip = pd.Series(np.arange(len(starts)), index=running["trip_id"].to_numpy()[trip])
        fd = freq_dep[freq_dep["trip_id"].isin(run_of_trip.index) & (freq_dep["departures"] > 0)]
        r = run_of_trip.loc[fd["trip_id"]].to_numpy()
        ok = np.where(fd["offset_s"].to_numpy() == 0, today[r], yesterday[r]) & (lengths[r] >= 2)
        runs_out.append(r[ok])
        counts.append(fd["departures"].to_numpy()[ok])
    return np.concatenate(runs_out), np.concatenate(counts), headway_run


def _group_lines(runs: dict[str, np.ndarray], inst_run: np.ndarray, inst_n: np.ndarray,
                 route_code: np.ndarray, direction: np.ndarray
                 ) -> tuple[list[tuple[int, int, np.ndarray]], np.ndarray, np.ndarray]:
    """Lines: the distinct (route, direction, stop sequence) of the trips in
    the window, found per sequence length. Returns the lines as (route row,
    direction, stop rows), the line of every run (-1 for runs outside the
    window) and the departures of each line."""
    starts, lengths, stop = runs["starts"], runs["lengths"], runs["stop"]
    used = np.unique(inst_run)
    run_line = np.full(len(starts), -1)
    patterns: list[tuple[int, int, np.ndarray]] = []
    for length in np.unique(lengths[used]):
        rr = used[lengths[used] == length]
        idx = starts[rr][:, None] + np.arange(length)[None, :]
        key = np.column_stack([route_code[rr], direction[rr], stop[idx]])
        uniq, inverse = np.unique(key, axis=0, return_inverse=True)
        run_line[rr] = inverse.reshape(-1) + len(patterns)
        patterns.extend((int(u[0]), int(u[1]), u[2:]) for u in uniq)
    n_lines = len(patterns)
    n_trips = np.bincount(run_line[inst_run], weights=inst_n, minlength=n_lines)
    first_time = np.full(n_lines, np.inf)
    np.minimum.at(first_time, run_line[inst_run], runs["dep"][starts][inst_run])
    # Lines in route order (as in routes.txt), then direction, busiest first.
    direction_of = np.array([p[1] for p in patterns], dtype=np.int64)
    route_of = np.array([p[0] for p in patterns], dtype=np.int64)
    order = np.lexsort((first_time, -n_trips, direction_of, route_of))
    rank = np.empty(n_lines, int)
    rank[order] = np.arange(n_lines)
    run_line = np.where(run_line >= 0, rank[np.maximum(run_line, 0)], -1)
    return [patterns[i] for i in order], run_line, n_trips[order]


def _median_times(runs: dict[str, np.ndarray], inst_run: np.ndarray, run_line: np.ndarray,
                  patterns: list[tuple[int, int, np.ndarray]], min_time: float
                  ) -> tuple[list[np.ndarray], int]:
    """Per line, the median over its trips in the window of the minutes from
    leaving one stop to reaching the next; zero medians become min_time."""
    seg_len = runs["lengths"][inst_run] - 1
    seg_inst = np.repeat(np.arange(len(inst_run)), seg_len)
    seg_pos = np.arange(seg_len.sum()) - np.repeat(np.cumsum(seg_len) - seg_len, seg_len)
    at = runs["starts"][inst_run][seg_inst] + seg_pos
    minutes = (runs["arr"][at + 1] - runs["dep"][at]) / 60.0
    seg = pd.DataFrame({"line": run_line[inst_run][seg_inst], "pos": seg_pos, "t": minutes})
    med = seg.groupby(["line", "pos"], sort=True)["t"].median().to_numpy()
    n_zero = int((med <= 0).sum())
    med = np.where(med <= 0, min_time, med)
    bounds = np.r_[0, np.cumsum([len(p[2]) - 1 for p in patterns])]
    return [med[bounds[i]:bounds[i + 1]] for i in range(len(patterns))], n_zero


def _interpolate(arr: np.ndarray, dep: np.ndarray, timed: np.ndarray, same_trip: np.ndarray,
                 lat: np.ndarray, lon: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Times at untimed stops, in proportion to the straight-line distance
    travelled between the timed stops around them (by stop count where those
    are at one place)."""
    n = len(arr)
    step = np.zeros(n)
    step[1:] = np.where(same_trip[1:], _great_circle_m(lat[:-1], lon[:-1], lat[1:], lon[1:]), 0.0)
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


def _clock(seconds: float) -> str:
    s = int(round(seconds))
    return f"{s // 3600:02d}:{s % 3600 // 60:02d}"


# ---------------------------------------------------------------------------
# Zones


def _zone_table(zones: Any) -> pd.DataFrame:
    if isinstance(zones, pd.DataFrame):
        z = zones.copy()
        cols = {c.lower(): c for c in z.columns}
        idc = next((cols[c] for c in ("zone_id", "id") if c in cols), None)
        latc = next((cols[c] for c in ("lat", "latitude", "stop_lat") if c in cols), None)
        lonc = next((cols[c] for c in ("lon", "lng", "longitude", "stop_lon") if c in cols), None)
        if idc is None or latc is None or lonc is None:
            raise InputError("zones must have columns id (or zone_id), lat and lon, got "
                             f"{list(z.columns)}")
        names = z[cols["name"]] if "name" in cols else z[idc]
        z = pd.DataFrame({"id": z[idc].astype(str).to_numpy(), "name": names.astype(str).to_numpy(),
                          "lat": z[latc].to_numpy(), "lon": z[lonc].to_numpy()})
    else:
        try:
            rows = [tuple(r) for r in zones]
        except TypeError:
            raise InputError("zones must be a DataFrame or a sequence of (id, lat, lon)") from None
        if any(len(r) != 3 for r in rows):
            raise InputError("zones must be a DataFrame or a sequence of (id, lat, lon)")
        z = pd.DataFrame(rows, columns=["id", "lat", "lon"])
        z["id"] = z["id"].astype(str)
        z["name"] = z["id"]
    try:
        z["lat"] = z["lat"].astype(float)
        z["lon"] = z["lon"].astype(float)
    except (TypeError, ValueError):
        raise InputError("zones: lat and lon must be numbers") from None
    bad = ~np.isfinite(z["lat"]) | ~np.isfinite(z["lon"]) | (z["lat"].abs() > 90) | (z["lon"].abs() > 180)
    if bad.any():
        i = int(np.flatnonzero(bad.to_numpy())[0])
        raise InputError(f"zones[{i}] ({z['id'].iloc[i]!r}) has no valid lat and lon")
    if z["id"].duplicated().any():
        i = int(np.flatnonzero(z["id"].duplicated().to_numpy())[0])
        raise InputError(f"zones[{i}]: zone id {z['id'].iloc[i]!r} appears twice")
    return z


# ---------------------------------------------------------------------------
# The network


def load(path: str | os.PathLike[str], date: _dt.date | str, start: str, end: str, *,
         walk_distance: float = 250.0, walk_speed: float = 5.0, walk_factor: float = 1.0,
         zones: Any = None, access_distance: float = 500.0,
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
    day = _parse_day(date)
    start_s = _parse_clock(start, "start")
    end_s = _parse_clock(end, "end")
    if end_s <= start_s:
        raise InputError(f"end ({end}) must be after start ({start})")
    for name, value in (("walk_distance", walk_distance), ("walk_speed", walk_speed),
                        ("walk_factor", walk_factor), ("access_distance", access_distance),
                        ("min_time", min_time)):
        if not isinstance(value, (int, float)) or not np.isfinite(value) or value < 0:
            raise InputError(f"{name} must be a finite number >= 0, got {value!r}")
    if walk_speed <= 0 or walk_factor <= 0 or min_time <= 0:
        raise InputError("walk_speed, walk_factor and min_time must be above 0")
    zone_table = _zone_table(zones) if zones is not None else None

    feed = _Feed(path)
    try:
        built = _build(feed, day, start_s, end_s, float(min_time))
    finally:
        feed.close()
    return _assemble(built, day, start_s, end_s, walk_distance, walk_speed, walk_factor,
                     zone_table, access_distance, float(min_time))


def _assemble(b: dict[str, Any], day: _dt.date, start_s: int, end_s: int, walk_distance: float,
              walk_speed: float, walk_factor: float, zone_table: Any, access_distance: float,
              min_time: float) -> TransitNetwork:
    stops, served = b["stops"], b["served"]
    Z = 0 if zone_table is None else len(zone_table)
    S = len(served)
    node_of_stop = np.full(len(stops), -1)
    node_of_stop[served] = Z + np.arange(S)
    window_min = (end_s - start_s) / 60.0
    freqs = b["n_trips"] / window_min
    aligned = [node_of_stop[p[2]] for p in b["patterns"]]
    arcs = _line_arcs(aligned, freqs, b["segment_times"], Z + S)

    lat, lon = b["lat"][served], b["lon"][served]
    per_minute = walk_speed * 1000.0 / 60.0 / walk_factor  # straight-line metres per minute
    extra = []
    if walk_distance > 0 and S > 1:
        a, c, metres = _walk_pairs(lat, lon, walk_distance, _station_pairs(stops, served))
        extra.append((a + Z, c + Z, np.maximum(metres / per_minute, min_time), WALK))
    if zone_table is not None:
        z, s, metres = _zone_stops(zone_table, lat, lon, access_distance)
        t = np.maximum(metres / per_minute, min_time)
        extra.append((z, s + Z, t, ACCESS))
        extra.append((s + Z, z, t, EGRESS))
    for a, c, t, kind in extra:
        m = len(a)
        more = {"tail": a, "head": c, "freq": np.full(m, np.inf), "cost": t,
                "kind": np.full(m, kind), "from_stop": a, "to_stop": c,
                "position": np.full(m, -1), "line": np.full(m, -1)}
        arcs = {k: np.r_[v, more[k]] for k, v in arcs.items()}

    n_nodes = Z + S + sum(len(a) for a in aligned)
    net = TransitNetwork(arcs["tail"], arcs["head"], arcs["freq"], arcs["cost"],
                         arcs["kind"].astype(np.int8), n_nodes=n_nodes, arc_line=arcs["line"],
                         arc_from_stop=arcs["from_stop"], arc_to_stop=arcs["to_stop"])
    net.n_zones = Z
    net.n_stops = S
    net.date = day
    net.window = (start_s / 60.0, end_s / 60.0)
    net.window_minutes = window_min
    net.alignments = aligned
    net.segment_times = b["segment_times"]
    net.arc_position = arcs["position"]
    net.n_zero_segments = b["n_zero_segments"]
    _describe(net, b, zone_table, freqs, arcs)
    return net


def _walk_pairs(lat: np.ndarray, lon: np.ndarray, walk_distance: float, station: np.ndarray
                ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Both directions of every pair of stops closer than walk_distance or in
    one station, sorted, with their straight-line metres."""
    pairs = _pairs_within(_unit_vectors(lat, lon), walk_distance)
    if len(pairs):
        d = _great_circle_m(lat[pairs[:, 0]], lon[pairs[:, 0]], lat[pairs[:, 1]], lon[pairs[:, 1]])
        pairs = pairs[d < walk_distance]
    if len(station):
        pairs = np.unique(np.concatenate([pairs, station]), axis=0)
    a = np.r_[pairs[:, 0], pairs[:, 1]]
    c = np.r_[pairs[:, 1], pairs[:, 0]]
    o = np.lexsort((c, a))
    a, c = a[o], c[o]
    return a, c, _great_circle_m(lat[a], lon[a], lat[c], lon[c])


def _zone_stops(zones: pd.DataFrame, lat: np.ndarray, lon: np.ndarray, radius: float
                ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(zone, stop, metres) for every stop within radius of a zone, and for a
    zone with none, its nearest stop; sorted by zone and stop."""
    zlat, zlon = zones["lat"].to_numpy(), zones["lon"].to_numpy()
    Z = len(zones)
    zxyz = _unit_vectors(zlat, zlon)
    tree = cKDTree(_unit_vectors(lat, lon))
    near = (tree.query_ball_point(zxyz, _chord(radius) * (1 + 1e-9)) if radius > 0 and Z
            else [[] for _ in range(Z)])
    z = np.repeat(np.arange(Z), [len(x) for x in near])
    s = np.concatenate([np.asarray(x, dtype=np.int64) for x in near]) if Z else np.empty(0, np.int64)
    if len(z):
        ok = _great_circle_m(zlat[z], zlon[z], lat[s], lon[s]) <= radius
        z, s = z[ok], s[ok]
    lonely = np.setdiff1d(np.arange(Z), z)
    if len(lonely):
        _, nearest = tree.query(zxyz[lonely])
        z = np.r_[z, lonely]
        s = np.r_[s, np.asarray(nearest, dtype=np.int64)]
    o = np.lexsort((s, z))
    z, s = z[o], s[o]
    return z, s, _great_circle_m(zlat[z], zlon[z], lat[s], lon[s])


def _describe(net: TransitNetwork, b: dict[str, Any], zone_table: Any, freqs: np.ndarray,
              arcs: dict[str, np.ndarray]) -> None:
    """The stops, lines and arcs tables, in the feed's ids."""
    stops, routes, served, patterns = b["stops"], b["routes"], b["served"], b["patterns"]
    names = stops["stop_name"].to_numpy() if "stop_name" in stops.columns else np.full(len(stops), "")
    table = pd.DataFrame({"stop_id": stops["stop_id"].to_numpy()[served],
                          "stop_name": names[served], "lat": b["lat"][served],
                          "lon": b["lon"][served], "is_zone": False})
    if zone_table is not None:
        zone_rows = pd.DataFrame({"stop_id": zone_table["id"].to_numpy(),
                                  "stop_name": zone_table["name"].to_numpy(),
                                  "lat": zone_table["lat"].to_numpy(),
                                  "lon": zone_table["lon"].to_numpy(), "is_zone": True})
        table = pd.concat([zone_rows, table], ignore_index=True)
    net.stops = table
    ids = table["stop_id"].to_numpy()

    rid = routes["route_id"].to_numpy()
    # a route without a short name goes by its long name, or else its id
    label = np.full(len(routes), "", dtype=object)
    for col in ("route_short_name", "route_long_name"):
        if col in routes.columns:
            label = np.where(label == "", routes[col].to_numpy(), label)
    label = np.where(label == "", rid, label)
    rtype = (pd.to_numeric(routes["route_type"], errors="coerce").fillna(-1).astype(int).to_numpy()
             if "route_type" in routes.columns else np.full(len(routes), -1))
    route = np.array([p[0] for p in patterns], dtype=np.int64)
    aligned = net.alignments
    net.lines = pd.DataFrame({
        "route_id": rid[route],
        "route_short_name": label[route],
        "route_type": rtype[route],
        "direction_id": np.array([p[1] for p in patterns], dtype=np.int64),
        "n_stops": [len(a) for a in aligned],
        "first_stop_id": ids[[a[0] for a in aligned]],
        "last_stop_id": ids[[a[-1] for a in aligned]],
        "n_trips": b["n_trips"],
        "freq": freqs,
        "frequency_based": b["frequency_based"],
    })
    net.lines.index.name = "line"

    lookup = np.empty(max(KIND_NAMES) + 1, dtype=object)
    for code, text in KIND_NAMES.items():
        lookup[code] = text
    net.arcs = pd.DataFrame({
        "kind": pd.Categorical(lookup[arcs["kind"].astype(np.int64)],
                               categories=[KIND_NAMES[k] for k in sorted(KIND_NAMES)]),
        "line": arcs["line"],
        "from_stop_id": _ids_or_none(ids, arcs["from_stop"]),
        "to_stop_id": _ids_or_none(ids, arcs["to_stop"]),
        "position": arcs["position"],
        "tail": arcs["tail"],
        "head": arcs["head"],
        "freq": arcs["freq"],
        "cost": arcs["cost"],
    })
    net.arcs.index.name = "arc"


def _ids_or_none(ids: np.ndarray, nodes: np.ndarray) -> np.ndarray:
    out = np.empty(len(nodes), dtype=object)
    ok = nodes >= 0
    out[ok] = ids[nodes[ok]]
    return out


def _station_pairs(stops: pd.DataFrame, served: np.ndarray) -> np.ndarray:
    """Pairs (i < j) of served stops (as indices into `served`) of one station."""
    if "parent_station" not in stops.columns:
        return np.empty((0, 2), dtype=np.int64)
    parent = stops["parent_station"].str.strip().to_numpy()[served]
    df = pd.DataFrame({"p": parent, "i": np.arange(len(served))})
    df = df[df["p"] != ""]
    if not len(df):
        return np.empty((0, 2), dtype=np.int64)
    m = df.merge(df, on="p")
    m = m[m["i_x"] < m["i_y"]]
    out: np.ndarray = m[["i_x", "i_y"]].to_numpy(dtype=np.int64).reshape(-1, 2)
    return out


# ---------------------------------------------------------------------------
# Demand


def gravity_demand(network: TransitNetwork, total: float = 20_000.0, scale_km: float = 3.0,
                   decimals: int | None = 3) -> np.ndarray:
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
    dist_km = _great_circle_m(lat[:, None], lon[:, None], lat[None, :], lon[None, :]) / 1000.0
    g = w[:, None] * w[None, :] * np.exp(-dist_km / scale_km)
    np.fill_diagonal(g, 0.0)
    s = g.sum()
    out = g * (total / s) if s > 0 else g
    if decimals is not None:
        out = np.round(out, decimals)
    return out.astype(np.float32)


# ---------------------------------------------------------------------------
# Result tables


def _flows(network: Network, assignment: Any) -> np.ndarray:
    flows = np.asarray(getattr(assignment, "flows", None), dtype=np.float64)
    if flows.shape != (network.n_arcs,):
        raise InputError(f"assignment.flows must hold one flow per arc of the network "
                         f"({network.n_arcs}), got shape {flows.shape}")
    return flows


def _line_arc_index(network: TransitNetwork, kind_code: int) -> np.ndarray:
    """For every line position (lines one after the other), the index of its
    arc of the given kind, -1 where it has none."""
    lengths = np.array([len(a) for a in network.alignments], dtype=np.int64)
    offset = np.r_[0, np.cumsum(lengths)[:-1]]
    out = np.full(int(lengths.sum()), -1, dtype=np.int64)
    sel = np.flatnonzero(np.asarray(network.kind) == kind_code)
    line = np.asarray(network.arc_line)[sel]
    out[offset[line] + network.arc_position[sel]] = sel
    return out


def _capacity_per_line(network: TransitNetwork, capacity: Any) -> np.ndarray:
    cap = np.asarray(capacity, dtype=np.float64)
    if cap.ndim == 0:
        cap = np.full(len(network.lines), float(cap))
    if cap.shape != (len(network.lines),):
        raise InputError(f"capacity must be a number or one value per line ({len(network.lines)}), "
                         f"got shape {cap.shape}")
    if not np.isfinite(cap).all() or (cap <= 0).any():
        raise InputError("capacity must be finite and above 0")
    return cap


def segment_loads(network: TransitNetwork, assignment: Any, capacity: Any = None) -> pd.DataFrame:
    """One row per line segment: its load (the flow on its in-vehicle arc),
    the boardings at its first stop and the alightings at its last.

    Flows are in the demand's units (trips in the window). `capacity`, a
    number or one per line, is what `assign_congested` takes: one vehicle's
    capacity times the window in minutes (so that the segment carries at most
    freq * capacity); with it the table adds `capacity` (freq * capacity) and
    `load_ratio` (load / capacity).
    """
    flows = _flows(network, assignment)
    iv = np.flatnonzero(np.asarray(network.kind) == IN_VEHICLE)
    line = np.asarray(network.arc_line)[iv]
    pos = network.arc_position[iv]
    lengths = np.array([len(a) for a in network.alignments], dtype=np.int64)
    offset = np.r_[0, np.cumsum(lengths)[:-1]]
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
    if capacity is not None:
        cap = _capacity_per_line(network, capacity)
        out["capacity"] = lines["freq"].to_numpy()[line] * cap[line]
        out["load_ratio"] = out["load"] / out["capacity"]
    out.index = pd.Index(iv, name="arc")
    return out


def stop_boardings(network: TransitNetwork, assignment: Any) -> pd.DataFrame:
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


def line_summary(network: TransitNetwork, assignment: Any, capacity: Any = None) -> pd.DataFrame:
    """Per line: passengers (its boardings), passenger-minutes in the
    vehicle, the largest segment load, and the mean ride in minutes; with a
    `capacity` (as for `segment_loads`) also the largest load ratio."""
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
    if capacity is not None:
        out["max_load_ratio"] = g["load_ratio"].max().reindex(range(n), fill_value=0.0).to_numpy()
    out.index.name = "line"
    return out


def skims(network: TransitNetwork, assignment: Any, *, include_unreachable: bool = True
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

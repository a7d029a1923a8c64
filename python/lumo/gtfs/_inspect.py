"""`lumo inspect`: what a feed holds, and what `load` would leave out of it."""

from __future__ import annotations

import datetime as _dt
import warnings

import numpy as np
import pandas as pd  # type: ignore[import-untyped, unused-ignore]

from ._feed import WEEKDAYS, Feed
from ._parse import Code, Date, Integer, parse_day

#: The basic GTFS route types, for the report.
ROUTE_TYPES = {0: "tram", 1: "metro", 2: "rail", 3: "bus", 4: "ferry", 5: "cable tram",
               6: "aerial lift", 7: "funicular", 11: "trolleybus", 12: "monorail"}

#: Service days looked at (from the first date of the calendar on).
_MAX_DAYS = 3 * 366


def _date(ymd: int) -> _dt.date:
    return _dt.date(ymd // 10000, ymd // 100 % 100, ymd % 100)


def service_days(feed: Feed) -> pd.DataFrame:
    """Per day of the calendar's span: the services and trips that run (the
    rules of `load`: calendar.txt by weekday within its dates, then the
    exceptions of calendar_dates.txt)."""
    cal = feed.read("calendar.txt")
    dates = feed.read("calendar_dates.txt")
    bounds: list[int] = []
    if cal is not None and len(cal):
        bounds += [int(cal.parse("start_date", Date).min()), int(cal.parse("end_date", Date).max())]
    if dates is not None and len(dates):
        bounds += [int(dates.parse("date", Date).min()), int(dates.parse("date", Date).max())]
    if not bounds:
        return pd.DataFrame({"date": [], "services": [], "trips": []})
    first, last = _date(min(bounds)), _date(max(bounds))
    days = [first + _dt.timedelta(days=k) for k in range(min((last - first).days + 1, _MAX_DAYS))]
    ymd = np.array([d.year * 10000 + d.month * 100 + d.day for d in days], dtype=np.int64)
    weekday = np.array([d.weekday() for d in days])
    trips = feed.must_read("trips.txt").text("service_id").value_counts()
    ids: list[str] = []
    on_parts = []
    if cal is not None and len(cal):
        ids = cal.text("service_id").tolist()
        runs = np.stack([cal.parse(w, Integer) == 1 for w in WEEKDAYS], axis=1)  # service x weekday
        lo, hi = cal.parse("start_date", Date), cal.parse("end_date", Date)
        on_parts.append(runs[:, weekday] & (lo[:, None] <= ymd) & (ymd <= hi[:, None]))
    index = {sid: i for i, sid in enumerate(ids)}
    extra: list[str] = []
    if dates is not None and len(dates):
        for sid in dates.text("service_id"):
            if sid not in index:
                index[sid] = len(ids) + len(extra)
                extra.append(sid)
    on = np.zeros((len(ids) + len(extra), len(days)), dtype=bool)
    if on_parts:
        on[:len(ids)] = on_parts[0]
    if dates is not None and len(dates):
        col = {int(v): k for k, v in enumerate(ymd)}
        rows = np.array([index[s] for s in dates.text("service_id")], dtype=np.int64)
        cols = np.array([col.get(int(v), -1) for v in dates.parse("date", Date)], dtype=np.int64)
        kind = dates.parse("exception_type", Integer)
        ok = cols >= 0
        on[rows[ok & (kind == 1)], cols[ok & (kind == 1)]] = True
        on[rows[ok & (kind == 2)], cols[ok & (kind == 2)]] = False
    per_service = trips.reindex(ids + extra).fillna(0).to_numpy(dtype=np.int64)
    return pd.DataFrame({"date": days, "services": on.sum(axis=0),
                         "trips": per_service @ on.astype(np.int64)})


def routes_by_type(feed: Feed) -> pd.DataFrame:
    routes = feed.must_read("routes.txt")
    rtype = routes.parse("route_type", Code)
    agency = (routes.text("agency_id").to_numpy() if routes.has("agency_id")
              else np.full(len(routes), ""))
    names = {}
    table = feed.read("agency.txt")
    if table is not None and table.has("agency_name"):
        ids = table.text("agency_id").to_numpy() if table.has("agency_id") else np.full(len(table), "")
        names = dict(zip(ids, table.text("agency_name").to_numpy()))
        if len(table) == 1:  # the one agency of a feed whose routes name none
            agency = np.where(agency == "", ids[0], agency)
    df = pd.DataFrame({"agency": [names.get(a, a) or "(none)" for a in agency],
                       "route_type": rtype})
    out = df.groupby(["agency", "route_type"]).size().rename("routes").reset_index()
    out["type"] = [ROUTE_TYPES.get(int(t), ROUTE_TYPES.get(int(t) // 100, "other"))
                   for t in out["route_type"]]
    return out[["agency", "route_type", "type", "routes"]]


def describe(path: str, date: str | None, start: str, end: str) -> str:
    """The text `lumo inspect` prints."""
    from ._load import load

    feed = Feed(path)
    try:
        days = service_days(feed)
        routes = routes_by_type(feed)
    finally:
        feed.close()
    lines = [f"Feed: {path}"]
    running = days[days["trips"] > 0] if len(days) else days
    if len(running):
        busiest = running.loc[running["trips"].idxmax()]
        lines.append(f"Service days: {len(running)} of {len(days)} days from "
                     f"{days['date'].iloc[0]} to {days['date'].iloc[-1]} have trips; busiest "
                     f"{busiest['date']} ({int(busiest['trips'])} trips)")
        by_weekday = running.assign(weekday=[d.strftime("%a") for d in running["date"]])
        typical = by_weekday.groupby("weekday", sort=False)["trips"].median()
        lines.append("Median trips per weekday: " + ", ".join(
            f"{d} {int(v)}" for d, v in typical.items()))
    else:
        lines.append("Service days: none (calendar.txt and calendar_dates.txt give no day)")
    lines.append("Routes by agency and type:")
    for row in routes.itertuples(index=False):
        lines.append(f"  {row.agency}: {row.routes} {row.type} ({row.route_type})")
    if date is None:
        if not len(running):
            return "\n".join(lines)
        date = str(busiest["date"])
    day = parse_day(date)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # what is left out is listed below instead
        net = load(path, day, start, end, progress=False)
    lines.append(f"On {day.isoformat()} {start}-{end}: {len(net.lines)} lines, {net.n_stops} "
                 f"stops served, {net.n_arcs} arcs")
    dropped = getattr(net, "dropped", None)
    if dropped is not None and len(dropped):
        lines.append("Left out by load:")
        for row in dropped.itertuples(index=False):
            lines.append(f"  {row.count} {row.reason} (e.g. {row.example_ids})")
    else:
        lines.append("Left out by load: nothing")
    return "\n".join(lines)

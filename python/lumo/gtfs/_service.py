"""Service days: which service_ids run on a date."""

from __future__ import annotations

import datetime as _dt

from ._errors import FeedError
from ._feed import WEEKDAYS, Feed
from ._parse import Date, Integer


def active_services(feed: Feed, day: _dt.date) -> set[str]:
    """The services of calendar.txt that run on the day's weekday within
    their dates, with those calendar_dates.txt adds that day, less those it
    removes."""
    cal = feed.read("calendar.txt")
    dates = feed.read("calendar_dates.txt")
    if cal is None and dates is None:
        raise FeedError("calendar.txt", None,
                        "the feed has no such file, nor calendar_dates.txt: no service has dates")
    ymd = day.year * 10000 + day.month * 100 + day.day
    active: set[str] = set()
    if cal is not None and len(cal):
        runs = cal.parse(WEEKDAYS[day.weekday()], Integer)
        start = cal.parse("start_date", Date)
        end = cal.parse("end_date", Date)
        on = (runs == 1) & (start <= ymd) & (ymd <= end)
        active.update(cal.text("service_id").to_numpy()[on].tolist())
    if dates is not None and len(dates):
        when = dates.parse("date", Date)
        kind = dates.parse("exception_type", Integer)
        today = when == ymd
        ids = dates.text("service_id").to_numpy()
        active.update(ids[today & (kind == 1)].tolist())
        active.difference_update(ids[today & (kind == 2)].tolist())
    return active

"""What a feed adds beyond the lines: the shapes its lines follow, its
transfers, and the agency of each route."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd  # type: ignore[import-untyped, unused-ignore]

from ._errors import FeedError
from ._feed import Feed
from ._parse import Integer, Number
from ._patterns import FeedLines
from ._trips import route_agencies
from ._types import FloatArray, IntArray


@dataclass(frozen=True)
class Transfers:
    """The rows of transfers.txt between two stops (rows of stops.txt)."""

    from_stop: IntArray
    to_stop: IntArray
    kind: IntArray  # transfer_type
    min_s: FloatArray  # min_transfer_time, NaN where not given
    #: rows that name routes or trips: a walking arc serves every line
    tied: np.ndarray
    ids: list[str]  # "from>to" per row, for the dropped table


@dataclass(frozen=True)
class FeedExtras:
    #: per line, the points of its shape (empty where it has none)
    shape_lat: list[FloatArray]
    shape_lon: list[FloatArray]
    transfers: Transfers | None
    route_agency: pd.Series
    #: per route, its agency's agency_name ("" where unknown)
    route_agency_name: pd.Series


def feed_extras(feed: Feed, lines: FeedLines) -> FeedExtras:
    lat, lon = read_shapes(feed, lines.shape_ids)
    own = route_agencies(feed, lines.routes)
    names = pd.Series([""] * len(own), dtype=object)
    agency = feed.read("agency.txt")
    if agency is not None and agency.has("agency_id") and agency.has("agency_name"):
        by_id = dict(zip(agency.text("agency_id").str.strip(), agency.text("agency_name")))
        names = own.map(lambda a: by_id.get(a, ""))
    return FeedExtras(lat, lon, read_transfers(feed, lines), own, names)


def read_shapes(feed: Feed, shape_ids: list[str]) -> tuple[list[FloatArray], list[FloatArray]]:
    empty = np.empty(0)
    wanted = {s for s in shape_ids if s}
    shapes = feed.read("shapes.txt") if wanted else None
    if shapes is None:
        return [empty] * len(shape_ids), [empty] * len(shape_ids)
    sid = shapes.text("shape_id").str.strip()
    rows = np.flatnonzero(sid.isin(wanted).to_numpy())
    part = shapes.take(rows)
    plat = part.parse("shape_pt_lat", Number)
    plon = part.parse("shape_pt_lon", Number)
    seq = part.parse("shape_pt_sequence", Integer)
    bad = np.isnan(plat) | np.isnan(plon) | (np.abs(plat) > 90) | (np.abs(plon) > 180)
    if bad.any():
        raise FeedError("shapes.txt", int(rows[np.flatnonzero(bad)[0]]) + 1,
                        "shape_pt_lat and shape_pt_lon must be valid coordinates")
    df = pd.DataFrame({"id": sid.to_numpy()[rows], "seq": seq, "lat": plat, "lon": plon})
    df = df.sort_values(["id", "seq"], kind="stable")
    groups = {k: (g["lat"].to_numpy(), g["lon"].to_numpy()) for k, g in df.groupby("id")}
    out_lat = [groups[s][0] if s in groups else empty for s in shape_ids]
    out_lon = [groups[s][1] if s in groups else empty for s in shape_ids]
    return out_lat, out_lon


def read_transfers(feed: Feed, lines: FeedLines) -> Transfers | None:
    tr = feed.read("transfers.txt")
    if tr is None or not len(tr):
        return None
    index = pd.Index(lines.stops.text("stop_id"))
    frm = tr.text("from_stop_id").str.strip()
    to = tr.text("to_stop_id").str.strip()
    tied = np.zeros(len(tr), bool)
    for col in ("from_route_id", "to_route_id", "from_trip_id", "to_trip_id"):
        if tr.has(col):
            tied |= (tr.text(col).str.strip() != "").to_numpy()
    return Transfers(from_stop=index.get_indexer(frm), to_stop=index.get_indexer(to),
                     kind=tr.parse("transfer_type", Integer),
                     min_s=tr.parse("min_transfer_time", Number), tied=tied,
                     ids=(frm + ">" + to).tolist())

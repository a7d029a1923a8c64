"""Zones: the centroids a user gives, checked, and the stops each reaches."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd  # type: ignore[import-untyped, unused-ignore]

from ..arrays import InputError
from ._geometry import near_or_nearest
from ._types import FloatArray, IntArray, ObjectArray


@dataclass(frozen=True)
class Zones:
    ids: ObjectArray
    names: ObjectArray
    lat: FloatArray
    lon: FloatArray

    def __len__(self) -> int:
        return len(self.ids)


def zone_table(zones: object) -> Zones:
    """The zones argument of `load`: a DataFrame with columns id (or
    zone_id), lat and lon (and optionally name), or a sequence of (id, lat,
    lon)."""
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
            rows = [tuple(r) for r in zones]  # type: ignore[attr-defined]
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
    bad = (~np.isfinite(z["lat"]) | ~np.isfinite(z["lon"]) | (z["lat"].abs() > 90)
           | (z["lon"].abs() > 180))
    if bad.any():
        i = int(np.flatnonzero(bad.to_numpy())[0])
        raise InputError(f"zones[{i}] ({z['id'].iloc[i]!r}) has no valid lat and lon")
    if z["id"].duplicated().any():
        i = int(np.flatnonzero(z["id"].duplicated().to_numpy())[0])
        raise InputError(f"zones[{i}]: zone id {z['id'].iloc[i]!r} appears twice")
    return Zones(z["id"].to_numpy(), z["name"].to_numpy(), z["lat"].to_numpy(), z["lon"].to_numpy())


def zone_stops(zones: Zones, lat: FloatArray, lon: FloatArray, radius: float
               ) -> tuple[IntArray, IntArray, FloatArray]:
    """(zone, stop, metres) for every stop within radius of a zone, and for a
    zone with none, its nearest stop; sorted by zone and stop."""
    return near_or_nearest(zones.lat, zones.lon, lat, lon, radius)

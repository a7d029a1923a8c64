"""Zones: the centroids a user gives (a table, a list, a GeoDataFrame or a
file), checked, and the stops each reaches."""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd  # type: ignore[import-untyped, unused-ignore]

from ..arrays import InputError
from ._geometry import near_or_nearest
from ._types import BoolArray, FloatArray, IntArray, ObjectArray


@dataclass(frozen=True)
class Zones:
    ids: ObjectArray
    names: ObjectArray
    lat: FloatArray
    lon: FloatArray

    def __len__(self) -> int:
        return len(self.ids)


def _is_geo(value: object) -> bool:
    return type(value).__module__.split(".")[0] == "geopandas"


def read_zone_file(path: str) -> Any:
    """A CSV as a DataFrame; a GIS file as a GeoDataFrame."""
    if not os.path.exists(path):
        raise InputError(f"zones: {path!r} does not exist")
    if path.lower().endswith((".csv", ".txt")):
        try:
            return pd.read_csv(path, dtype={"id": str, "zone_id": str})
        except (pd.errors.ParserError, ValueError, UnicodeDecodeError) as e:
            raise InputError(f"zones: {path!r} cannot be read as CSV: {e}") from None
    try:
        import geopandas  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise InputError(f"zones: reading {path!r} needs geopandas: "
                         "pip install 'lumo-transit[geo]'") from None
    try:
        return geopandas.read_file(path)
    except Exception as e:  # the I/O engine's errors have no common base
        raise InputError(f"zones: {path!r} cannot be read as a GIS file: {e}") from None


def geo_zones(gdf: Any) -> pd.DataFrame:
    """Points of a GeoDataFrame (polygons by their representative point) in
    WGS84, with its other columns."""
    geom = gdf.geometry
    if geom.isna().any() or geom.is_empty.any():
        i = int(np.flatnonzero((geom.isna() | geom.is_empty).to_numpy())[0])
        raise InputError(f"zones[{i}] has no geometry")
    kinds = set(geom.geom_type)
    if not kinds <= {"Point", "Polygon", "MultiPolygon"}:
        raise InputError(f"zones must be points or polygons, got {sorted(kinds)}")
    points = geom.where(geom.geom_type == "Point", geom.representative_point())
    if gdf.crs is None:
        x0, y0, x1, y1 = points.total_bounds
        if not (-180 <= x0 and x1 <= 180 and -90 <= y0 and y1 <= 90):
            raise InputError("zones have no reference system (CRS) and their coordinates are "
                             "not degrees: give the file's .prj, or set the GeoDataFrame's crs")
    else:
        points = points.to_crs(4326)
    table = pd.DataFrame(gdf.drop(columns=gdf.geometry.name))
    return table.assign(lat=points.y.to_numpy(), lon=points.x.to_numpy())


def zone_table(zones: object) -> Zones:
    """The zones argument of `load`: a DataFrame with columns id (or
    zone_id), lat and lon (and optionally name), a sequence of (id, lat,
    lon), a GeoDataFrame, or the path of a CSV or GIS file."""
    if isinstance(zones, (str, os.PathLike)):
        zones = read_zone_file(os.fspath(zones))
    if _is_geo(zones) and hasattr(zones, "geometry"):
        zones = geo_zones(zones)
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


def check_extent(zones: Zones, lat: FloatArray, lon: FloatArray, margin_m: float) -> None:
    """Refuses zones outside the box of the stops widened by margin_m, naming
    the likely cause."""
    metres_per_degree = 111_195.0
    lat0, lat1, lon0, lon1 = lat.min(), lat.max(), lon.min(), lon.max()
    dlat = margin_m / metres_per_degree
    dlon = margin_m / (metres_per_degree * max(np.cos(np.radians(max(abs(lat0), abs(lat1)))),
                                               1e-6))

    def inside(la: FloatArray, lo: FloatArray) -> BoolArray:
        ok: BoolArray = ((la >= lat0 - dlat) & (la <= lat1 + dlat) & (lo >= lon0 - dlon)
                & (lo <= lon1 + dlon))
        return ok

    out = ~inside(zones.lat, zones.lon)
    if not out.any():
        return
    from .._labels import name_ids

    ids = name_ids(zones.ids[out])
    area = (f"the feed's stops lie within latitudes {lat0:.4f} to {lat1:.4f} and longitudes "
            f"{lon0:.4f} to {lon1:.4f}")
    if inside(zones.lon[out], zones.lat[out]).all():
        cause = "latitude and longitude look swapped"
    else:
        cause = ("zones of another area, or coordinates in another reference system than "
                 "the one given?")
    raise InputError(f"{int(out.sum())} zones lie more than {margin_m:g} m outside the area of "
                     f"the feed's stops: {ids}; {area}: {cause}")


def zone_stops(zones: Zones, lat: FloatArray, lon: FloatArray, radius: float,
               max_connectors: int | None = None) -> tuple[IntArray, IntArray, FloatArray]:
    """(zone, stop, metres) for the stops within radius of a zone, nearest
    first, at most max_connectors of them, and for a zone with none, its
    nearest stop; sorted by zone, then distance."""
    check_extent(zones, lat, lon, radius)
    z, s, m = near_or_nearest(zones.lat, zones.lon, lat, lon, radius)
    o = np.lexsort((s, m, z))
    z, s, m = z[o], s[o], m[o]
    if max_connectors is not None and len(z):
        first = np.searchsorted(z, z)
        keep = np.arange(len(z)) - first < max_connectors
        z, s, m = z[keep], s[keep], m[keep]
    return z, s, m

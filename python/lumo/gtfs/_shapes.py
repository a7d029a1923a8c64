"""Segment geometry: each segment along the shape its line follows, cut
between the projections of its stops, or a straight line where there is none."""

from __future__ import annotations

from typing import Any

import numpy as np

from ..arrays import InputError
from ._types import FloatArray, IntArray

#: A stop farther than this from its line's shape means the shape is not the
#: line's (another variant): straight lines are drawn instead.
SHAPE_TOLERANCE_M = 150.0
_M_PER_DEG = 111_195.0


def geopandas_module() -> Any:
    try:
        import geopandas  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise ImportError("GIS layers need geopandas: pip install 'lumo-transit[geo]'") from None
    return geopandas


def _project(px: FloatArray, py: FloatArray, sx: FloatArray, sy: FloatArray
             ) -> FloatArray | None:
    """Measures (segment index + fraction) along the polyline p of the
    points s, never going back; None where a point is off the polyline."""
    ax, ay = px[:-1], py[:-1]
    dx, dy = px[1:] - ax, py[1:] - ay
    len2 = dx * dx + dy * dy
    measures = np.empty(len(sx))
    prev = 0.0
    for k in range(len(sx)):
        with np.errstate(invalid="ignore", divide="ignore"):
            t = np.where(len2 > 0, ((sx[k] - ax) * dx + (sy[k] - ay) * dy) / len2, 0.0)
        t = np.clip(t, 0.0, 1.0)
        m = np.arange(len(ax)) + t
        # no going back along the shape: from the previous stop's place on
        m = np.maximum(m, prev)
        j = np.minimum(np.floor(m).astype(np.int64), len(ax) - 1)
        tt = m - j
        qx, qy = ax[j] + tt * dx[j], ay[j] + tt * dy[j]
        d = np.hypot(qx - sx[k], qy - sy[k])
        best = int(np.argmin(d))
        if d[best] > SHAPE_TOLERANCE_M:
            return None
        prev = float(m[best])
        measures[k] = prev
    return measures


def _point_at(px: FloatArray, py: FloatArray, m: float) -> tuple[float, float]:
    j = min(int(np.floor(m)), len(px) - 2)
    t = m - j
    return px[j] + t * (px[j + 1] - px[j]), py[j] + t * (py[j + 1] - py[j])


def line_segments(stop_lat: FloatArray, stop_lon: FloatArray, shape_lat: FloatArray,
                  shape_lon: FloatArray) -> list[list[tuple[float, float]]]:
    """Per segment of a line, its points as (lon, lat): along the shape
    where it fits the stops, else the straight line."""
    straight = [[(stop_lon[k], stop_lat[k]), (stop_lon[k + 1], stop_lat[k + 1])]
                for k in range(len(stop_lat) - 1)]
    if len(shape_lat) < 2:
        return straight
    lat0 = float(np.mean(stop_lat))
    kx = _M_PER_DEG * np.cos(np.radians(lat0))
    px, py = shape_lon * kx, shape_lat * _M_PER_DEG
    m = _project(px, py, stop_lon * kx, stop_lat * _M_PER_DEG)
    if m is None:
        return straight
    out = []
    for k in range(len(m) - 1):
        a, b = m[k], m[k + 1]
        inner = np.arange(int(np.floor(a)) + 1, int(np.ceil(b)))
        inner = inner[(inner > a) & (inner < b)]
        pts = [_point_at(px, py, a), *zip(px[inner], py[inner]), _point_at(px, py, b)]
        out.append([(x / kx, y / _M_PER_DEG) for x, y in pts])
    return out


def segment_geometry(network: Any, line: IntArray, pos: IntArray) -> Any:
    """A GeoSeries (WGS84) of the segments (line, position) of a network."""
    gpd = geopandas_module()
    from shapely.geometry import LineString  # type: ignore[import-untyped, unused-ignore]

    lat = network.stops["lat"].to_numpy(dtype=np.float64)
    lon = network.stops["lon"].to_numpy(dtype=np.float64)
    shape_lat = getattr(network, "shape_lat", None)
    shape_lon = getattr(network, "shape_lon", None)
    if shape_lat is None or shape_lon is None:
        raise InputError("the network has no shape_lat and shape_lon (built by lumo.gtfs?)")
    cache: dict[int, list[list[tuple[float, float]]]] = {}
    geoms = []
    for ln, p in zip(line.tolist(), pos.tolist()):
        if ln not in cache:
            nodes = network.alignments[ln]
            cache[ln] = line_segments(lat[nodes], lon[nodes], np.asarray(shape_lat[ln]),
                                      np.asarray(shape_lon[ln]))
        geoms.append(LineString(cache[ln][p]))
    return gpd.GeoSeries(geoms, crs="EPSG:4326")

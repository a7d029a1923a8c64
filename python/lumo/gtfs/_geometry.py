"""Distances on the sphere and the searches for points near each other.

Points are searched as unit vectors in 3-D, so that one k-d tree serves the
whole globe (no projection, no trouble at the date line), with a hair over the
straight-line chord and then the exact great-circle test.
"""

from __future__ import annotations

import numpy as np
from scipy.spatial import cKDTree  # type: ignore[import-untyped, unused-ignore]

from ._types import FloatArray, IntArray

EARTH_RADIUS_M = 6_371_008.8


def unit_vectors(lat: FloatArray, lon: FloatArray) -> FloatArray:
    la, lo = np.radians(lat), np.radians(lon)
    out: FloatArray = np.column_stack([np.cos(la) * np.cos(lo), np.cos(la) * np.sin(lo),
                                       np.sin(la)])
    return out


def great_circle_m(lat1: FloatArray, lon1: FloatArray, lat2: FloatArray,
                   lon2: FloatArray) -> FloatArray:
    la1, lo1, la2, lo2 = map(np.radians, (lat1, lon1, lat2, lon2))
    a = np.sin((la2 - la1) / 2) ** 2 + np.cos(la1) * np.cos(la2) * np.sin((lo2 - lo1) / 2) ** 2
    out: FloatArray = 2 * EARTH_RADIUS_M * np.arcsin(np.sqrt(np.clip(a, 0.0, 1.0)))
    return out


def chord(distance_m: float) -> float:
    """The straight-line (3-D) length of a great-circle arc on the unit sphere."""
    return 2 * float(np.sin(min(distance_m / EARTH_RADIUS_M, np.pi) / 2))


def pairs_within(xyz: FloatArray, distance_m: float) -> IntArray:
    """Index pairs (i < j) of points closer than distance_m, as a K x 2 array
    (a superset: the caller applies the exact test)."""
    if len(xyz) < 2 or distance_m <= 0:
        return np.empty((0, 2), dtype=np.int64)
    tree = cKDTree(xyz)
    pairs = tree.query_pairs(chord(distance_m) * (1 + 1e-9), output_type="ndarray")
    out: IntArray = np.asarray(pairs, dtype=np.int64).reshape(-1, 2)
    return out


def walk_pairs(lat: FloatArray, lon: FloatArray, walk_distance: float, station: IntArray
               ) -> tuple[IntArray, IntArray, FloatArray]:
    """Both directions of every pair of stops closer than walk_distance or in
    one station (`station`: pairs i < j), sorted, with their straight-line
    metres."""
    pairs = pairs_within(unit_vectors(lat, lon), walk_distance)
    if len(pairs):
        d = great_circle_m(lat[pairs[:, 0]], lon[pairs[:, 0]], lat[pairs[:, 1]], lon[pairs[:, 1]])
        pairs = pairs[d < walk_distance]
    if len(station):
        pairs = np.unique(np.concatenate([pairs, station]), axis=0)
    a = np.r_[pairs[:, 0], pairs[:, 1]]
    c = np.r_[pairs[:, 1], pairs[:, 0]]
    o = np.lexsort((c, a))
    a, c = a[o], c[o]
    return a, c, great_circle_m(lat[a], lon[a], lat[c], lon[c])


def near_or_nearest(points_lat: FloatArray, points_lon: FloatArray, lat: FloatArray,
                    lon: FloatArray, radius: float) -> tuple[IntArray, IntArray, FloatArray]:
    """(point, target, metres) for every target within radius of a point, and
    for a point with none, its nearest target; sorted by point and target."""
    zlat, zlon = points_lat, points_lon
    Z = len(zlat)
    zxyz = unit_vectors(zlat, zlon)
    tree = cKDTree(unit_vectors(lat, lon))
    near = (tree.query_ball_point(zxyz, chord(radius) * (1 + 1e-9)) if radius > 0 and Z
            else [[] for _ in range(Z)])
    z = np.repeat(np.arange(Z), [len(x) for x in near])
    s = (np.concatenate([np.asarray(x, dtype=np.int64) for x in near]) if Z
         else np.empty(0, np.int64))
    if len(z):
        ok = great_circle_m(zlat[z], zlon[z], lat[s], lon[s]) <= radius
        z, s = z[ok], s[ok]
    lonely = np.setdiff1d(np.arange(Z), z)
    if len(lonely):
        _, nearest = tree.query(zxyz[lonely])
        z = np.r_[z, lonely]
        s = np.r_[s, np.asarray(nearest, dtype=np.int64)]
    o = np.lexsort((s, z))
    z, s = z[o], s[o]
    return z, s, great_circle_m(zlat[z], zlon[z], lat[s], lon[s])

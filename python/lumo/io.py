"""Files other modelling tools read: OMX matrices and GIS layers.

- `write_omx(path, network, assignment)`: the skims of an assignment as an
  OMX file (OpenMatrix: HDF5 with the matrices under ``/data`` and the zone
  mapping under ``/lookup``); needs h5py: ``pip install 'lumo-transit[omx]'``.
- `read_omx(path, network, matrix=None)`: a demand matrix of an OMX file,
  aligned to the network's zones through the file's zone mapping.
- `write_layers(path, network, assignment)`: a GeoPackage with the layers
  stops, segments and zones of a network built by `lumo.gtfs`; needs
  geopandas: ``pip install 'lumo-transit[geo]'``.

Zones are matched by id (`network.zone_ids`). Matrices are float32 as lumo
computes them: +inf where a pair has no path, NaN in the columns of zones
that were not destinations.
"""
from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any

import numpy as np

from . import _labels
from .arrays import Assignment, InputError, Network

__all__ = ["write_omx", "read_omx", "write_layers"]

#: The version of the OMX conventions the files follow.
OMX_VERSION = "0.2"
#: The lookup that holds the zone ids.
ZONE_LOOKUP = "zone_id"
#: The matrices written, in order, where the assignment has them.
SKIMS = ("cost", "wait", "ride", "walk", "boardings")


def _h5py() -> Any:
    try:
        import h5py  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise ImportError("OMX files need h5py: pip install 'lumo-transit[omx]'") from None
    return h5py


def _zone_ids(network: Network) -> list[Any]:
    if not isinstance(network, Network):
        raise InputError(f"network must be a lumo.arrays.Network, got {type(network).__name__}")
    ids = _labels.zone_ids(network)
    if ids is None:
        raise InputError("the network has no zone_ids: set network.zone_ids, one id per zone")
    return ids


def _lookup_values(ids: list[Any]) -> np.ndarray:
    """Integers where every id is one written plainly (most tools key zones
    by number), else UTF-8 text."""
    if all(isinstance(i, str) and i.isascii() and i.isdigit() and (i == "0" or i[0] != "0")
           and len(i) < 19 for i in ids):
        return np.array([int(i) for i in ids], dtype=np.int64)
    encoded = [str(i).encode("utf-8") for i in ids]
    width = max((len(e) for e in encoded), default=1) or 1
    return np.array(encoded, dtype=f"S{width}")


def write_omx(path: str | os.PathLike[str], network: Network, assignment: Assignment, *,
              extra: Mapping[str, Any] | None = None) -> None:
    """Writes the cost matrix and, where computed, the wait, ride, walk and
    boardings matrices (float32, Z × Z) with the lookup ``zone_id`` from
    ``network.zone_ids``. ``extra`` adds further Z × Z matrices by name (a
    demand, say). Overwrites the file."""
    h5py = _h5py()
    ids = _zone_ids(network)
    z = len(ids)
    mats: dict[str, np.ndarray] = {}
    for name in SKIMS:
        value = getattr(assignment, name, None)
        if value is not None:
            mats[name] = np.asarray(value, dtype=np.float32)
    for name, value in (extra or {}).items():
        if name in mats:
            raise InputError(f"extra matrix {name!r} would replace the assignment's")
        mats[str(name)] = np.asarray(value, dtype=np.float32)
    if "cost" not in mats:
        raise InputError("assignment has no cost matrix")
    for name, mat in mats.items():
        if mat.shape != (z, z):
            raise InputError(f"matrix {name!r} is {mat.shape}, the network has {z} zones "
                             f"(network.zone_ids)")
    chunk = (min(z, 256), min(z, 256)) if z else None
    with h5py.File(os.fspath(path), "w") as f:
        f.attrs["OMX_VERSION"] = np.bytes_(OMX_VERSION)
        f.attrs["SHAPE"] = np.array([z, z], dtype=np.int32)
        data = f.create_group("data")
        for name, mat in mats.items():
            ds = data.create_dataset(name, data=mat, chunks=chunk, compression="gzip",
                                     compression_opts=1, shuffle=True)
            ds.attrs["NA"] = np.float32(np.nan)
        lookup = f.create_group("lookup")
        lookup.create_dataset(ZONE_LOOKUP, data=_lookup_values(ids))


def _text(values: np.ndarray) -> list[Any]:
    if values.dtype.kind == "S":
        return [v.decode("utf-8") for v in values.tolist()]
    if values.dtype.kind in "iu":
        return [str(int(v)) for v in values.tolist()]
    if values.dtype.kind == "f" and np.all(values == np.round(values)):
        return [str(int(v)) for v in values.tolist()]
    return [v.decode("utf-8") if isinstance(v, bytes) else _labels._key(v)
            for v in values.tolist()]


def read_omx(path: str | os.PathLike[str], network: Network, matrix: str | None = None
             ) -> np.ndarray:
    """A Z × Z float32 demand in the order of ``network.zone_ids``, read from
    the matrix ``matrix`` (by default the file's only matrix, or its
    ``demand``) through the file's zone lookup (``zone_id``, or its only
    lookup). A file whose lookup misses zones of the network is refused with
    their ids; zones of the file that the network does not have must carry
    no demand."""
    h5py = _h5py()
    ids = _zone_ids(network)
    where = os.fspath(path)
    if not os.path.exists(where):
        raise InputError(f"{where!r} does not exist")
    try:
        f = h5py.File(where, "r")
    except OSError as exc:
        raise InputError(f"{where!r} is not an OMX (HDF5) file: {exc}") from None
    with f:
        data = f.get("data")
        if not isinstance(data, h5py.Group) or not len(data):
            raise InputError(f"{where!r} has no matrices (no /data group)")
        names = sorted(data)
        if matrix is None:
            if len(names) == 1:
                matrix = names[0]
            elif "demand" in names:
                matrix = "demand"
            else:
                raise InputError(f"{where!r} holds several matrices ({', '.join(names)}): "
                                 "name one with matrix=")
        if matrix not in data:
            raise InputError(f"{where!r} has no matrix {matrix!r}; it has {', '.join(names)}")
        mat = np.asarray(data[matrix][()])
        lookup = f.get("lookup")
        maps = sorted(lookup) if isinstance(lookup, h5py.Group) else []
        if not maps:
            raise InputError(f"{where!r} has no zone lookup (/lookup): its zones cannot be "
                             "matched to the network's ids")
        name = ZONE_LOOKUP if ZONE_LOOKUP in maps else (maps[0] if len(maps) == 1 else None)
        if name is None:
            raise InputError(f"{where!r} has several lookups ({', '.join(maps)}) and none is "
                             f"named {ZONE_LOOKUP!r}")
        file_ids = _text(np.asarray(lookup[name][()]))
    if mat.ndim != 2 or mat.shape != (len(file_ids), len(file_ids)):
        raise InputError(f"{where!r}: matrix {matrix!r} is {mat.shape}, its lookup {name!r} "
                         f"has {len(file_ids)} zones")
    if mat.dtype.kind not in "fiu":
        raise InputError(f"{where!r}: matrix {matrix!r} holds {mat.dtype}, not numbers")
    pos = {k: i for i, k in enumerate(file_ids)}
    if len(pos) != len(file_ids):
        seen: set[Any] = set()
        dup = [k for k in file_ids if k in seen or seen.add(k)]  # type: ignore[func-returns-value]
        raise InputError(f"{where!r}: lookup {name!r} lists ids twice: {_labels.name_ids(dup)}")
    missing = [k for k in ids if k not in pos]
    if missing:
        raise InputError(f"{where!r}: lookup {name!r} has no entry for {len(missing)} zones of "
                         f"the network: {_labels.name_ids(missing)}")
    take = np.array([pos[k] for k in ids], dtype=np.int64)
    others = np.setdiff1d(np.arange(len(file_ids)), take)
    if len(others):
        carry = (mat[others, :] != 0).any(axis=1) | (mat[:, others] != 0).any(axis=0)
        if carry.any():
            bad = [file_ids[i] for i in others[carry]]
            raise InputError(f"{where!r}: {len(bad)} zones of the file that the network does "
                             f"not have carry demand: {_labels.name_ids(bad)}")
    out: np.ndarray = np.ascontiguousarray(mat[np.ix_(take, take)], dtype=np.float32)
    return out


def write_layers(path: str | os.PathLike[str], network: Network, assignment: Assignment, *,
                 capacity: Any = None, demand: Any = None) -> None:
    """Writes a GeoPackage with the layers ``stops`` (points: boardings,
    alightings), ``segments`` (lines following the feed's shapes: load,
    load_ratio with a ``capacity`` as `lumo.gtfs.segment_loads` takes it,
    headway in minutes) and ``zones`` (points: origins and destinations, the
    trips leaving and reaching each zone: from ``demand`` where given, else
    the flows on the access and egress arcs) of a network built by
    `lumo.gtfs`, in WGS84. Overwrites the file."""
    from .gtfs import TransitNetwork, segment_loads, stop_boardings
    from .gtfs._shapes import geopandas_module

    if not isinstance(network, TransitNetwork):
        raise InputError("write_layers needs a network built by lumo.gtfs (a TransitNetwork)")
    gpd = geopandas_module()
    where = os.fspath(path)
    if os.path.exists(where):
        os.remove(where)
    seg = segment_loads(network, assignment, capacity, geometry=True)
    if "load_ratio" not in seg.columns:
        seg["capacity"] = np.nan
        seg["load_ratio"] = np.nan
    seg["headway"] = 1.0 / network.lines["freq"].to_numpy()[seg["line"].to_numpy()]
    seg.reset_index().to_file(where, layer="segments", driver="GPKG")

    stops = network.stops
    n_z = network.n_zones or 0
    sb = stop_boardings(network, assignment).groupby("stop_id")[["boardings", "alightings"]].sum()
    st = stops.iloc[n_z:][["stop_id", "stop_name", "lat", "lon"]].copy()
    st = st.join(sb, on="stop_id").fillna({"boardings": 0.0, "alightings": 0.0})
    gpd.GeoDataFrame(st.drop(columns=["lat", "lon"]), crs="EPSG:4326",
                     geometry=gpd.points_from_xy(st["lon"], st["lat"])
                     ).to_file(where, layer="stops", driver="GPKG")

    z = len(network.zone_ids)
    zt = stops.iloc[:z][["stop_id", "stop_name", "lat", "lon"]].rename(
        columns={"stop_id": "zone_id", "stop_name": "name"})
    if demand is not None:
        from .arrays import _demand
        mat = _demand(network, _labels.demand(network, demand, "error")).astype(np.float64)
        if mat.shape != (z, z):
            raise InputError(f"demand must be {z} × {z}, got {mat.shape}")
        origins, dests = mat.sum(axis=1), mat.sum(axis=0)
    elif n_z:
        from .arrays import ACCESS, EGRESS
        flows = np.asarray(assignment.flows, dtype=np.float64)
        kind = np.asarray(network.kind)
        origins = np.bincount(np.asarray(network.tail)[kind == ACCESS],
                              weights=flows[kind == ACCESS], minlength=z)[:z]
        dests = np.bincount(np.asarray(network.head)[kind == EGRESS],
                            weights=flows[kind == EGRESS], minlength=z)[:z]
    else:
        origins = dests = np.full(z, np.nan)
    zt["origins"], zt["destinations"] = origins, dests
    gpd.GeoDataFrame(zt.drop(columns=["lat", "lon"]), crs="EPSG:4326",
                     geometry=gpd.points_from_xy(zt["lon"], zt["lat"])
                     ).to_file(where, layer="zones", driver="GPKG")

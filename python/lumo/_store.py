"""Networks on disk: one numpy ``.npz`` archive, read without running code.

The archive holds a JSON description (entry ``meta``: format name, format
version, class, and per attribute how it is stored) and one numpy array per
array, table column or list of arrays. It is read with
``numpy.load(allow_pickle=False)``: nothing in a file can make the reader run
code, and the class to build is looked up in a fixed table, never imported by
a name the file gives.

Attributes are stored by type: numpy arrays bit for bit; arrays and lists of
text as unicode arrays with a mask of missing entries; lists of arrays
(alignments, segment times) as one array and its pieces' lengths; pandas
tables column by column with their dtypes and index; numbers, text, dates and
tuples in the JSON description (floats written so that they read back
exactly). Anything else is refused by name when saving.
"""
from __future__ import annotations

import datetime as _dt
import json
import os
import zipfile
from typing import Any

import numpy as np

from . import _arrays

InputError: type[ValueError] = _arrays.InputError

FORMAT = "lumo-network"
#: Raised whenever a change would make older readers misread a file.
VERSION = 1

#: The classes a file may name, and where they live (imported on demand:
#: lumo.gtfs needs pandas).
_CLASSES = {"Network": "lumo.arrays", "TransitNetwork": "lumo.gtfs"}


def _class(name: str) -> type:
    import importlib

    if name not in _CLASSES:
        raise InputError(f"the file holds a {name!r}, which this version of lumo does not know")
    return getattr(importlib.import_module(_CLASSES[name]), name)  # type: ignore[no-any-return]


class _Writer:
    def __init__(self) -> None:
        self.arrays: dict[str, np.ndarray] = {}

    def put(self, arr: np.ndarray) -> str:
        key = f"x{len(self.arrays)}"
        self.arrays[key] = arr
        return key

    def strings(self, values: Any) -> dict[str, Any]:
        items = list(values)
        missing = np.array([v is None or (isinstance(v, float) and v != v) for v in items], bool)
        if not all(isinstance(v, str) for v, m in zip(items, missing) if not m):
            raise TypeError("holds values that are neither text nor missing")
        text = np.array(["" if m else v for v, m in zip(items, missing)], dtype=np.str_)
        if text.dtype.itemsize == 0:
            text = text.astype("U1")
        out = {"text": self.put(text)}
        if missing.any():
            out["missing"] = self.put(missing)
        return out

    def column(self, series: Any) -> dict[str, Any]:
        import pandas as pd  # type: ignore[import-untyped, unused-ignore]

        dtype = series.dtype
        if isinstance(dtype, pd.CategoricalDtype):
            return {"t": "category", "codes": self.put(np.asarray(series.cat.codes)),
                    "categories": self.strings(dtype.categories.astype(object)),
                    "ordered": bool(dtype.ordered)}
        if dtype.kind in "biufcmM" and isinstance(dtype, np.dtype):
            return {"t": "array", "data": self.put(series.to_numpy())}
        return {"t": "strings", "dtype": str(dtype), **self.strings(series.astype(object))}

    def frame(self, df: Any) -> dict[str, Any]:
        if df.columns.duplicated().any():
            raise TypeError("has a column name twice")
        return {"t": "frame", "columns": [str(c) for c in df.columns],
                "data": [self.column(df[c]) for c in df.columns],
                "index": self.column(df.index.to_series()), "index_name": df.index.name}

    def value(self, v: Any) -> dict[str, Any]:
        if v is None or isinstance(v, (bool, int, float, str)):
            return {"t": "value", "v": v}
        if isinstance(v, np.generic) and v.dtype.kind in "biuf":
            return {"t": "scalar", "dtype": v.dtype.str, "v": v.item()}
        if isinstance(v, _dt.datetime):
            raise TypeError("is a datetime")
        if isinstance(v, _dt.date):
            return {"t": "date", "v": v.isoformat()}
        if isinstance(v, np.ndarray):
            if v.dtype.kind in "biufc":
                return {"t": "array", "data": self.put(v)}
            return {"t": "ndstrings", **self.strings(v.ravel())}
        if _is_frame(v):
            return self.frame(v)
        if isinstance(v, tuple):
            return {"t": "tuple", "v": [self.value(x) for x in v]}
        if isinstance(v, list):
            if v and all(isinstance(x, np.ndarray) and x.ndim == 1 for x in v):
                dtypes = {x.dtype.str for x in v}
                if len(dtypes) == 1 and v[0].dtype.kind in "biuf":
                    return {"t": "arrays", "data": self.put(np.concatenate(v)),
                            "lengths": self.put(np.array([len(x) for x in v], np.int64))}
            if all(isinstance(x, str) for x in v):
                return {"t": "strlist", **self.strings(v)}
            return {"t": "list", "v": [self.value(x) for x in v]}
        raise TypeError(f"is a {type(v).__name__}")


def _is_frame(v: Any) -> bool:
    return type(v).__module__.split(".")[0] == "pandas" and type(v).__name__ == "DataFrame"


def save(network: Any, path: Any) -> None:
    name = type(network).__name__
    if name not in _CLASSES or _class(name) is not type(network):
        raise InputError(f"a {type(network).__name__} cannot be saved: only lumo.arrays.Network "
                         "and lumo.gtfs.TransitNetwork can")
    w = _Writer()
    attrs = {}
    for attr, value in vars(network).items():
        try:
            attrs[attr] = w.value(value)
        except TypeError as exc:
            raise InputError(f"network.{attr} cannot be saved: it {exc}") from None
    meta = {"format": FORMAT, "version": VERSION, "class": name, "attrs": attrs}
    blob = np.frombuffer(json.dumps(meta).encode("utf-8"), dtype=np.uint8)
    with open(os.fspath(path), "wb") as f:
        np.savez_compressed(f, meta=blob, **w.arrays)  # type: ignore[arg-type]


class _Reader:
    def __init__(self, arrays: Any, where: str) -> None:
        self.arrays = arrays
        self.where = where

    def get(self, key: str) -> np.ndarray:
        try:
            return np.asarray(self.arrays[key])
        except KeyError:
            raise InputError(f"{self.where}: entry {key!r} is missing: the file is damaged") from None

    def strings(self, d: dict[str, Any]) -> list[Any]:
        text = self.get(d["text"]).tolist()
        if "missing" in d:
            return [None if m else t for t, m in zip(text, self.get(d["missing"]).tolist())]
        return list(text)

    def column(self, d: dict[str, Any], n: int | None = None) -> Any:
        import pandas as pd

        t = d["t"]
        if t == "category":
            cats = self.strings(d["categories"])
            return pd.Categorical.from_codes(self.get(d["codes"]), categories=cats,
                                             ordered=d["ordered"])
        if t == "array":
            return self.get(d["data"])
        values = self.strings(d)
        return pd.array(values, dtype=d["dtype"]) if d["dtype"] != "object" else \
            np.array(values, dtype=object)

    def frame(self, d: dict[str, Any]) -> Any:
        import pandas as pd

        index = pd.Index(self.column(d["index"]), name=d["index_name"])
        data = {c: self.column(col) for c, col in zip(d["columns"], d["data"])}
        return pd.DataFrame(data, index=index, columns=d["columns"])

    def value(self, d: dict[str, Any]) -> Any:
        t = d["t"]
        if t == "value":
            return d["v"]
        if t == "scalar":
            return np.dtype(d["dtype"]).type(d["v"])
        if t == "date":
            return _dt.date.fromisoformat(d["v"])
        if t == "array":
            return self.get(d["data"])
        if t == "ndstrings":
            return np.array(self.strings(d), dtype=object)
        if t == "frame":
            return self.frame(d)
        if t == "tuple":
            return tuple(self.value(x) for x in d["v"])
        if t == "arrays":
            data, lengths = self.get(d["data"]), self.get(d["lengths"])
            return np.split(data, np.cumsum(lengths)[:-1]) if len(lengths) else []
        if t == "strlist":
            return self.strings(d)
        if t == "list":
            return [self.value(x) for x in d["v"]]
        raise InputError(f"{self.where}: unknown entry kind {t!r}: the file is damaged")


def load(cls: type, path: Any) -> Any:
    where = os.fspath(path)
    try:
        archive = np.load(where, allow_pickle=False)
    except FileNotFoundError:
        raise InputError(f"{where!r} does not exist") from None
    except (OSError, ValueError, zipfile.BadZipFile) as exc:
        raise InputError(f"{where!r} is not a saved lumo network: {exc}") from None
    if not isinstance(archive, np.lib.npyio.NpzFile):
        raise InputError(f"{where!r} is not a saved lumo network (a single numpy array)")
    with archive:
        try:
            meta = json.loads(bytes(archive["meta"]).decode("utf-8"))
        except (KeyError, ValueError, UnicodeDecodeError):
            raise InputError(f"{where!r} is not a saved lumo network (no description)") from None
        if not isinstance(meta, dict) or meta.get("format") != FORMAT:
            raise InputError(f"{where!r} is not a saved lumo network")
        version = meta.get("version")
        if not isinstance(version, int) or version < 1:
            raise InputError(f"{where!r}: format version {version!r} is not valid")
        if version > VERSION:
            raise InputError(f"{where!r} was written in format version {version} by a newer "
                             f"lumo; this one reads version {VERSION} and older: upgrade "
                             "lumo-transit to read it")
        klass = _class(str(meta.get("class")))
        if not issubclass(klass, cls):
            raise InputError(f"{where!r} holds a {klass.__name__}, not a {cls.__name__}")
        r = _Reader(archive, where)
        attrs = {name: r.value(d) for name, d in meta["attrs"].items()}
    from .arrays import Network

    net: Any = klass.__new__(klass)
    try:
        # the arcs are checked as on construction: a file may have been edited
        Network.__init__(net, attrs["tail"], attrs["head"], attrs["freq"], attrs["cost"],
                         attrs["kind"], n_nodes=attrs["n_nodes"], arc_line=attrs["arc_line"],
                         arc_from_stop=attrs["arc_from_stop"], arc_to_stop=attrs["arc_to_stop"])
    except KeyError as exc:
        raise InputError(f"{where!r}: the network has no {exc.args[0]}: the file is damaged") \
            from None
    net.__dict__.update(attrs)
    return net

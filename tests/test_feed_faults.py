"""Hostile and broken feeds: a seeded generator of feed faults, each case
either loaded (with a warning where the network differs from the sound
feed's) or refused with a FeedError. Nothing else may escape, nothing is
written, and no zip member outside the archive's root is read."""

import io
import os
import random
import warnings
import zipfile

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("pandas")
pytest.importorskip("scipy")

from test_gtfs import DAY, FEED  # noqa: E402  (the hand-made feed and its day)

from test_gtfs import gtfs, arrays  # noqa: E402  (imported on first use)

WINDOW = ("07:00", "09:00")


def _rows(text):
    lines = text.split("\n")
    return lines[0], [ln for ln in lines[1:] if ln]


def _join(header, rows):
    return "\n".join([header, *rows]) + "\n"


def _cells(line):
    # the hand-made feed quotes only stop names, which hold commas: split on
    # the commas outside quotes
    out, cur, quoted = [], "", False
    for ch in line:
        if ch == '"':
            quoted = not quoted
        if ch == "," and not quoted:
            out.append(cur)
            cur = ""
        else:
            cur += ch
    out.append(cur)
    return out


def _set_cell(files, name, column, value, rng, row=None):
    header, rows = _rows(files[name])
    cols = [c.strip().lstrip("\ufeff") for c in _cells(header)]
    if column not in cols or not rows:
        return False
    j = cols.index(column)
    i = rng.randrange(len(rows)) if row is None else row
    cells = _cells(rows[i])
    cells[j] = value
    rows[i] = ",".join(cells)
    files[name] = _join(header, rows)
    return True


def _drop_column(files, name, column):
    header, rows = _rows(files[name])
    cols = [c.strip().lstrip("\ufeff") for c in _cells(header)]
    j = cols.index(column)
    keep = lambda cells: ",".join(c for k, c in enumerate(cells) if k != j)  # noqa: E731
    files[name] = _join(keep(_cells(header)), [keep(_cells(r)) for r in rows])


BAD_TIMES = ["25:7x:00", "7:60:00", "-1:00:00", "x", "07:00", "12345678901:00:00", "07:00:00:00",
             "\u0660\u0667:00:00", "7.5", "07:00:0"]
BAD_DATES = ["20170229", "20241301", "20240431", "2024-03-12", "abc", "0", "99999999", ""]
BAD_INTS = ["x", "1.5", "-3", "1e400", "99999999999999999999999", "", "nan", "0x10"]
BAD_COORDS = ["abc", "nan", "inf", "200", "-181", "", "1e309", "--5", "60.1.2"]
TIME_COLS = [("stop_times.txt", "arrival_time"), ("stop_times.txt", "departure_time"),
             ("frequencies.txt", "start_time"), ("frequencies.txt", "end_time")]
DATE_COLS = [("calendar.txt", "start_date"), ("calendar.txt", "end_date"),
             ("calendar_dates.txt", "date")]
INT_COLS = [("stop_times.txt", "stop_sequence"), ("trips.txt", "direction_id"),
            ("calendar.txt", "tuesday"), ("calendar_dates.txt", "exception_type"),
            ("frequencies.txt", "headway_secs"), ("frequencies.txt", "exact_times")]
COORD_COLS = [("stops.txt", "stop_lat"), ("stops.txt", "stop_lon")]
ID_COLS = [("trips.txt", "route_id"), ("trips.txt", "service_id"), ("stop_times.txt", "trip_id"),
           ("stop_times.txt", "stop_id"), ("frequencies.txt", "trip_id"),
           ("stops.txt", "parent_station")]
KEYED = [("stops.txt", 0), ("trips.txt", 2), ("routes.txt", 0), ("calendar.txt", 0)]
ENCODINGS = ["latin-1", "utf-16", "cp1252-bad", "nul"]


class Case:
    """One mutated feed: files (name -> text or bytes), or raw zip bytes, or a
    folder layout; `kind` names the class of fault for the counts."""

    def __init__(self, kind, files=None, raw=None, layout="zip", max_bytes=None,
                 optional=False):
        self.kind, self.files, self.raw, self.layout = kind, files, raw, layout
        self.max_bytes = max_bytes
        # what the fault takes away is a file or column a feed may leave out:
        # a different network is then the feed's own, and needs no warning
        self.optional = optional

    def write(self, folder):
        if self.layout == "folder":
            for name, text in self.files.items():
                path = os.path.join(folder, name)
                if text is None:  # a folder where the file should be
                    os.mkdir(path)
                    continue
                with open(path, "wb") as f:
                    f.write(text if isinstance(text, bytes) else text.encode("utf-8"))
            return str(folder)
        path = os.path.join(folder, "feed.zip")
        with open(path, "wb") as f:
            f.write(self.raw if self.raw is not None else _zip(self.files))
        return path


def _zip(files, names=None):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        for name, text in files.items():
            data = text if isinstance(text, bytes) else text.encode("utf-8")
            z.writestr((names or {}).get(name, name), data)
    return buf.getvalue()


def mutations(seed, n):
    """n cases drawn from every class, seeded."""
    rng = random.Random(seed)
    makers = [_dropped_file, _dropped_column, _bad_cell(BAD_TIMES, TIME_COLS, "time"),
              _bad_cell(BAD_DATES, DATE_COLS, "date"), _bad_cell(BAD_INTS, INT_COLS, "integer"),
              _bad_cell(BAD_COORDS, COORD_COLS, "coordinate"), _unknown_id, _duplicate_id,
              _empty_file, _encoding, _truncated_zip, _directory, _climbing_names, _zip_bomb,
              _blank_lines, _no_trips_on_day]
    return [makers[i % len(makers)](rng) for i in range(n)]


def _files():
    return dict(FEED)


def _optional(name, column=None):
    from lumo.gtfs._feed import FILES
    spec = FILES.get(name)
    if spec is None:
        return True  # a file lumo.gtfs does not read
    if column is None:
        return not spec.required
    return not any(c.name == column and c.required for c in spec.columns)


def _dropped_file(rng):
    files = _files()
    name = rng.choice(sorted(files))
    del files[name]
    return Case("dropped file", files, optional=_optional(name))


def _dropped_column(rng):
    files = _files()
    name = rng.choice(sorted(files))
    header, _ = _rows(files[name])
    column = rng.choice([c.lstrip("\ufeff") for c in _cells(header)])
    _drop_column(files, name, column)
    # (a stop_times.txt needs one of its two time columns, either one)
    return Case("dropped column", files, optional=_optional(name, column))


def _bad_cell(values, columns, kind):
    def make(rng):
        files = _files()
        name, column = rng.choice(columns)
        _set_cell(files, name, column, rng.choice(values), rng)
        return Case(f"corrupt {kind}", files)
    return make


def _unknown_id(rng):
    files = _files()
    name, column = rng.choice(ID_COLS)
    _set_cell(files, name, column, rng.choice(["NOPE", "", " ", "a\u00e9"]), rng)
    return Case("unknown id", files)


def _duplicate_id(rng):
    files = _files()
    name, _ = rng.choice(KEYED)
    header, rows = _rows(files[name])
    i = rng.randrange(len(rows))
    cells = _cells(rows[i])
    # the same id with different values
    other = _cells(rows[(i + 1) % len(rows)])
    rows.append(",".join([cells[0] if name != "trips.txt" else other[0]] + other[1:])
                if name != "trips.txt" else ",".join(other[:2] + [cells[2]] + other[3:]))
    files[name] = _join(header, rows)
    return Case("duplicate id", files)


def _empty_file(rng):
    files = _files()
    name = rng.choice(sorted(files))
    header, _ = _rows(files[name])
    files[name] = rng.choice(["", "\n\n", header + "\n"])
    return Case("empty file", files, optional=_optional(name))


def _encoding(rng):
    files = _files()
    name = rng.choice(["stops.txt", "routes.txt", "trips.txt"])
    how = rng.choice(ENCODINGS)
    text = files[name].lstrip("\ufeff")
    if how == "latin-1":
        data = text.replace("Alpha", "\u00c4lph\u00e4").encode("latin-1")
    elif how == "utf-16":
        data = text.encode("utf-16")
    elif how == "nul":
        data = text.encode("utf-8").replace(b",", b"\x00,", 3)
    else:
        data = text.encode("utf-8") + b"\x81\x8d\x8f\x90\x9d\n"
    files[name] = data
    return Case("encoding", files)


def _truncated_zip(rng):
    raw = _zip(_files())
    return Case("truncated zip", raw=raw[:rng.randrange(1, len(raw) - 1)])


def _directory(rng):
    files = _files()
    name = rng.choice(sorted(files))
    files[name] = None
    return Case("directory", files, layout="folder")


def _climbing_names(rng):
    files = _files()
    name = rng.choice(["stops.txt", "trips.txt", "stop_times.txt", "routes.txt"])
    bad = rng.choice(["../" + name, "/" + name, "a/../../" + name, "C:/" + name,
                      "..\\" + name, "sub/../../" + name])
    return Case("path traversal", raw=_zip(files, {name: bad}))


def _zip_bomb(rng):
    # a member that inflates far beyond its compressed size, over a bound set low
    files = _files()
    name = rng.choice(["stops.txt", "stop_times.txt", "agency.txt"])
    files[name] = files[name] + " " * (1 << 20) + "\n"
    return Case("zip bomb", files, max_bytes=rng.choice([1 << 16, 1 << 19]))


def _blank_lines(rng):
    files = _files()
    header, _ = _rows(files["stop_times.txt"])
    files["stop_times.txt"] = header + "\n" * rng.randrange(10_000, 200_000)
    return Case("blank-line bomb", files)


def _no_trips_on_day(rng):
    files = _files()
    # a service running on the day that no trip uses, every other one off
    files["calendar.txt"] = ("service_id,monday,tuesday,wednesday,thursday,friday,saturday,"
                             "sunday,start_date,end_date\n"
                             "LONE,1,1,1,1,1,1,1,20240101,20241231\n")
    files["calendar_dates.txt"] = "service_id,date,exception_type\n"
    return Case("no trips on the day", files)


def _network(path, max_bytes=None):
    kw = {} if max_bytes is None else {"max_bytes": max_bytes}
    return gtfs.load(path, DAY, *WINDOW, **kw)


def _arcs(net):
    return (net.tail.tobytes(), net.head.tobytes(), net.freq.tobytes(), net.cost.tobytes(),
            net.kind.tobytes(), net.n_nodes)


N_CASES = int(os.environ.get("LUMO_FEED_FAULTS", "320"))


def test_every_fault_is_a_feed_error_or_a_warned_or_equal_network(tmp_path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        sound = _arcs(_network(_zip_feed(tmp_path)))
    counts = {}
    for k, case in enumerate(mutations(17, N_CASES)):
        folder = tmp_path / f"c{k}"
        folder.mkdir()
        path = case.write(folder)
        before = sorted(os.listdir(folder))
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            try:
                net = _network(path, case.max_bytes)
            except gtfs.FeedError:
                outcome = "refused"
            except Exception as e:  # noqa: BLE001  (the point of the test)
                pytest.fail(f"case {k} ({case.kind}): {type(e).__name__}: {e}")
            else:
                if _arcs(net) == sound:
                    outcome = "same"
                elif seen:
                    outcome = "warned"
                elif case.optional:
                    outcome = "left out"
                else:
                    pytest.fail(f"case {k} ({case.kind}): accepted silently with a "
                                "different network")
        assert sorted(os.listdir(folder)) == before, f"case {k} wrote files"
        counts.setdefault(case.kind, {}).setdefault(outcome, 0)
        counts[case.kind][outcome] += 1
    # the classes that can only be refused were refused every time
    for kind in ("truncated zip", "path traversal", "zip bomb", "blank-line bomb",
                 "no trips on the day"):
        assert set(counts[kind]) == {"refused"}, (kind, counts[kind])
    assert len(counts) == 16


def _zip_feed(folder):
    path = os.path.join(folder, "sound.zip")
    with open(path, "wb") as f:
        f.write(_zip(_files()))
    return path


def test_a_member_outside_the_archive_root_is_never_read(tmp_path):
    # "../stops.txt" next to no stops.txt: the feed has no stops file
    path = tmp_path / "climb.zip"
    path.write_bytes(_zip(_files(), {"stops.txt": "../stops.txt"}))
    with pytest.warns(UserWarning, match=r"\.\./stops\.txt"):
        with pytest.raises(gtfs.FeedError, match="stops.txt: the feed has no such file"):
            _network(str(path))


def test_the_size_bound_names_the_member_and_is_configurable(tmp_path):
    files = _files()
    files["stops.txt"] = files["stops.txt"] + " " * 300_000 + "\n"
    path = tmp_path / "big.zip"
    path.write_bytes(_zip(files))
    with pytest.raises(gtfs.FeedError, match=r"stops\.txt: .* more than the bound of "
                                             r"200000 bytes"):
        _network(str(path), max_bytes=200_000)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert _network(str(path), max_bytes=10_000_000).n_stops > 0
    for bad in (0, -1, 1.5, "2G", True):
        with pytest.raises(arrays.InputError, match="max_bytes"):
            _network(str(path), max_bytes=bad)


def test_an_impossible_date_in_the_feed_is_refused(tmp_path):
    files = _files()
    files["calendar.txt"] = files["calendar.txt"].replace("20241231", "20170229", 1)
    path = tmp_path / "date.zip"
    path.write_bytes(_zip(files))
    with pytest.raises(gtfs.FeedError, match=r"calendar\.txt, row 1: end_date '20170229' is not "
                                             r"a date"):
        _network(str(path))

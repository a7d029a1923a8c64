"""lumo.gtfs on a small hand-made feed whose network is worked out by hand."""

import datetime
import importlib
import math
import os
import zipfile

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pytest.importorskip("scipy")


class _OnFirstUse:
    """A submodule imported when a test first uses it, not at collection:
    importing it adds it to the namespace of the extension module, which
    other tests inspect."""

    def __init__(self, name):
        self._name = name

    def __getattr__(self, attr):
        if attr.startswith("_"):  # collection probes objects for markers
            raise AttributeError(attr)
        return getattr(importlib.import_module(self._name), attr)


arrays = _OnFirstUse("lumo.arrays")
gtfs = _OnFirstUse("lumo.gtfs")

BOM = "\ufeff"

# Stops on one meridian and one parallel near 60 N: a degree of latitude is
# about 111.2 km there, a degree of longitude about 55.8 km.
#   A - B - C  along the parallel, 556 m apart
#   C - D      111 m north: within walking distance
#   D - F - E  north, 500 m apart; F is untimed in the timetable
#   E - G      445 m north, same parent station ST: joined by a walk too
#   G - H      558 m east
#   X          served by no trip
FEED = {
    "agency.txt": "agency_id,agency_name,agency_url,agency_timezone\n"
                  "AG,Test Transit,http://example.invalid,Europe/Helsinki\n",
    "stops.txt": BOM + 'stop_name,stop_id,stop_lat,stop_lon,location_type,parent_station\n'
                 '"Station, main",ST,60.0120,25.0200,1,\n'
                 'Alpha,A,60.0000,25.0000,0,\n'
                 'Beta,B,60.0000,25.0100,,\n'
                 '"Gamma ""C""",C,60.0000,25.0200,0,\n'
                 'Delta,D,60.0010,25.0200,0,\n'
                 'Foxtrot,F,60.0055,25.0200,0,\n'
                 'Echo,E,60.0100,25.0200,0,ST\n'
                 'Golf,G,60.0140,25.0200,0,ST\n'
                 'Hotel,H,60.0140,25.0300,0,\n'
                 'Xray,X,60.1000,25.1000,0,\n',
    "routes.txt": "route_id,agency_id,route_short_name,route_long_name,route_type\n"
                  "R1,AG,1,One,3\n"
                  "R2,AG,2,Two,3\n"
                  "R3,AG,,Three,0\n",
    # Tuesday 2024-03-12: WK runs, EXTRA is added, HOLIDAY is removed, SAT does
    # not run; NIGHT runs on Monday only (its trip passes midnight).
    "calendar.txt": "service_id,monday,tuesday,wednesday,thursday,friday,saturday,sunday,"
                    "start_date,end_date\n"
                    "WK,1,1,1,1,1,0,0,20240101,20241231\n"
                    "HOLIDAY,1,1,1,1,1,0,0,20240101,20241231\n"
                    "SAT,0,0,0,0,0,1,0,20240101,20241231\n"
                    "NIGHT,1,0,0,0,0,0,0,20240101,20241231\n",
    "calendar_dates.txt": "service_id,date,exception_type\n"
                          "EXTRA,20240312,1\n"
                          "HOLIDAY,20240312,2\n",
    "trips.txt": "route_id,service_id,trip_id,direction_id\n"
                 "R1,WK,t0700,0\n"
                 "R1,WK,t0730,0\n"
                 "R1,WK,t0800,0\n"
                 "R1,EXTRA,t0815,0\n"
                 "R1,WK,t0659,0\n"
                 "R1,WK,t0900,0\n"
                 "R1,HOLIDAY,t0745,0\n"
                 "R1,SAT,t0710,0\n"
                 "R1,WK,back0715,1\n"
                 "R2,WK,u0720,\n"
                 "R2,NIGHT,night,\n"
                 "R2,WK,late,\n"
                 "R3,WK,tmpl1,\n"
                 "R3,WK,tmpl2,\n",
    "stop_times.txt": "trip_id,arrival_time,departure_time,stop_id,stop_sequence\n"
                      # A->B, B->C per trip: 4,5 / 3,7 / 4,6 / 4,5 -> medians 4 and 5.5
                      "t0700,07:00:00,07:00:00,A,1\nt0700,07:04:00,07:05:00,B,2\nt0700,07:10:00,07:10:00,C,3\n"
                      "t0730,07:30:00,07:30:00,A,1\nt0730,07:33:00,07:34:00,B,2\nt0730,07:41:00,07:41:00,C,3\n"
                      "t0800,08:00:00,08:00:00,A,10\nt0800,08:04:00,08:04:00,B,20\nt0800,08:10:00,08:10:00,C,30\n"
                      "t0815,8:15:00,8:15:00,A,1\nt0815,8:19:00,8:20:00,B,2\nt0815,8:25:00,8:25:00,C,3\n"
                      # outside the window or not running on the day
                      "t0659,06:59:00,06:59:00,A,1\nt0659,07:00:00,07:00:00,B,2\nt0659,07:01:00,07:01:00,C,3\n"
                      "t0900,09:00:00,09:00:00,A,1\nt0900,09:01:00,09:01:00,B,2\nt0900,09:02:00,09:02:00,C,3\n"
                      "t0745,07:45:00,07:45:00,A,1\nt0745,07:46:00,07:46:00,B,2\nt0745,07:47:00,07:47:00,C,3\n"
                      "t0710,07:10:00,07:10:00,A,1\nt0710,07:11:00,07:11:00,B,2\nt0710,07:12:00,07:12:00,C,3\n"
                      # back: C->B timed at 0 minutes
                      "back0715,07:15:00,07:15:00,C,1\nback0715,07:15:00,07:16:00,B,2\nback0715,07:20:00,07:20:00,A,3\n"
                      # D twice in a row (one stop), F untimed: 5 + 5 minutes
                      "u0720,07:19:00,07:19:00,D,1\nu0720,07:20:00,07:20:00,D,2\nu0720,,,F,3\nu0720,07:30:00,07:30:00,E,4\n"
                      # Monday's trip at 31:10 is Tuesday 07:10: 6 + 6 minutes
                      "night,31:10:00,31:10:00,D,1\nnight,,,F,2\nnight,31:22:00,31:22:00,E,3\n"
                      # Tuesday's 24:30 is outside the morning window
                      "late,24:30:00,24:30:00,D,1\nlate,,,F,2\nlate,24:40:00,24:40:00,E,3\n"
                      # headway templates: 8 and 9 minutes
                      "tmpl1,00:00:00,00:00:00,G,1\ntmpl1,00:08:00,00:08:00,H,2\n"
                      "tmpl2,00:00:00,00:00:00,G,1\ntmpl2,00:09:00,00:09:00,H,2\n",
    # tmpl1: 07:00-07:30 at 10 min = 3, 07:30-08:59 (a whole hour and a half)
    # at 15 min = 6; tmpl2 leaves at exactly 08:50 and 09:10: 1 in the window.
    "frequencies.txt": "trip_id,start_time,end_time,headway_secs,exact_times\n"
                       "tmpl1,06:00:00,07:30:00,600,0\n"
                       "tmpl1,07:30:00,08:59:00,900,\n"
                       "tmpl2,08:50:00,09:30:00,1200,1\n",
}

DAY = "2024-03-12"


def _with_shape_ids(trips):
    lines = trips.splitlines()
    out = [lines[0] + ",shape_id"]
    for line in lines[1:]:
        out.append(line + ("," + ("S1" if line.split(",")[2] in ("t0700", "t0730", "t0800",
                                                                  "t0815") else "")))
    return "\n".join(out) + "\n"


# The feed with what only some feeds have: two agencies, shapes and transfers.
# S1 runs from A through a bend 55 m north to B, and another to C.
FULL = FEED | {
    "agency.txt": "agency_id,agency_name,agency_url,agency_timezone\n"
                  "AG,Test Transit,http://example.invalid,Europe/Helsinki\n"
                  "OT,Other Trams,http://example.invalid,Europe/Helsinki\n",
    "routes.txt": FEED["routes.txt"].replace("R3,AG,", "R3,OT,"),
    "trips.txt": _with_shape_ids(FEED["trips.txt"]),
    "shapes.txt": "shape_id,shape_pt_lat,shape_pt_lon,shape_pt_sequence\n"
                  "S1,60.0000,25.0000,1\nS1,60.0005,25.0050,2\nS1,60.0000,25.0100,3\n"
                  "S1,60.0005,25.0150,4\nS1,60.0000,25.0200,5\n",
    # C->D at least 5 minutes, D->C impossible, A->H walkable though 1.7 km away; four
    # rows tied to routes or trips, one within a stop, one from a stop no line serves
    "transfers.txt": "from_stop_id,to_stop_id,transfer_type,min_transfer_time,from_route_id,"
                     "to_route_id,from_trip_id,to_trip_id\n"
                     "C,D,2,300,,,,\nD,C,3,,,,,\nA,H,0,,,,,\nB,G,1,,R1,,,\nB,H,1,,,R3,,\n"
                     "A,G,1,,,,t0700,\nC,G,1,,,,,back0715\nE,E,2,120,,,,\nX,A,0,,,,,\n",
}


def write_feed(folder, files=FEED, as_zip=True):
    if as_zip:
        path = os.path.join(folder, "feed.zip")
        with zipfile.ZipFile(path, "w") as z:
            for name, text in files.items():
                z.writestr(name, text.encode("utf-8"))
        return path
    for name, text in files.items():
        with open(os.path.join(folder, name), "w", encoding="utf-8", newline="") as f:
            f.write(text)
    return str(folder)


def walk_minutes(lat1, lon1, lat2, lon2, speed_kmh=5.0):
    p1, p2 = math.radians(lat1), math.radians(lat2)
    a = (math.sin((p2 - p1) / 2) ** 2
         + math.cos(p1) * math.cos(p2) * math.sin(math.radians(lon2 - lon1) / 2) ** 2)
    metres = 2 * 6_371_008.8 * math.asin(math.sqrt(a))
    return metres / (speed_kmh * 1000 / 60)


@pytest.fixture(scope="module")
def feed_path(tmp_path_factory):
    return write_feed(str(tmp_path_factory.mktemp("feed")))


@pytest.fixture(scope="module")
def net(feed_path):
    return gtfs.load(feed_path, DAY, "07:00", "09:00")


def line_view(network):
    return [(r.route_id, r.direction_id, list(network.stops.stop_id.to_numpy()[a]),
             r.n_trips, list(np.round(t, 6)))
            for r, a, t in zip(network.lines.itertuples(), network.alignments,
                               network.segment_times)]


def test_lines_frequencies_and_times(net):
    assert list(net.stops.stop_id) == ["A", "B", "C", "D", "F", "E", "G", "H"]
    assert net.stops.stop_name[2] == 'Gamma "C"'
    assert line_view(net) == [
        ("R1", 0, ["A", "B", "C"], 4, [4.0, 5.5]),
        ("R1", 1, ["C", "B", "A"], 1, [0.25, 4.0]),
        ("R2", -1, ["D", "F", "E"], 2, [5.5, 5.5]),
        ("R3", -1, ["G", "H"], 10, [8.5]),
    ]
    assert list(net.lines.frequency_based) == [False, False, False, True]
    assert list(net.lines.route_short_name) == ["1", "1", "2", "Three"]
    np.testing.assert_allclose(net.lines.freq, np.array([4, 1, 2, 10]) / 120.0)
    assert net.window_minutes == 120.0
    assert net.n_zero_segments == 1


def test_arcs_follow_the_line_form(net):
    S, L = 8, 3 + 3 + 3 + 2
    assert (net.n_stops, net.n_zones, net.n_nodes) == (S, 0, S + L)
    line_arcs = 6 + 6 + 6 + 3
    kind = np.asarray(net.kind)
    assert (kind[:line_arcs] != arrays.WALK).all() and (kind[line_arcs:] == arrays.WALK).all()
    f = net.lines.freq.to_numpy()
    # line 0: A(0) -> route nodes 8, 9, 10 -> C(2)
    expect = [(0, 8, f[0], 0.0, arrays.BOARDING), (8, 9, math.inf, 4.0, arrays.IN_VEHICLE),
              (1, 9, f[0], 0.0, arrays.BOARDING), (9, 1, math.inf, 0.0, arrays.ALIGHTING),
              (9, 10, math.inf, 5.5, arrays.IN_VEHICLE), (10, 2, math.inf, 0.0, arrays.ALIGHTING)]
    got = list(zip(np.asarray(net.tail)[:6].tolist(), np.asarray(net.head)[:6].tolist(),
                   np.asarray(net.freq, dtype=float)[:6].tolist(),
                   np.asarray(net.cost, dtype=float)[:6].tolist(), kind[:6].tolist()))
    assert got == [(t, h, pytest.approx(fr), c, k) for t, h, fr, c, k in expect]
    # the same arcs as the line form expanded by lumo.arrays
    ref = arrays.Network.from_lines([a.tolist() for a in net.alignments], net.lines.freq.to_numpy(),
                                    [t for t in net.segment_times], n_stops=S)
    for name in ("tail", "head", "freq", "cost", "kind", "arc_line", "arc_from_stop", "arc_to_stop"):
        np.testing.assert_array_equal(np.asarray(getattr(net, name))[:line_arcs],
                                      np.asarray(getattr(ref, name)), err_msg=name)
    arcs = net.arcs
    assert list(arcs.columns[:5]) == ["kind", "line", "from_stop_id", "to_stop_id", "position"]
    assert list(arcs.kind[:6]) == ["boarding", "in-vehicle", "boarding", "alighting",
                                   "in-vehicle", "alighting"]
    assert list(arcs.position[:6]) == [0, 0, 1, 1, 1, 2]
    assert list(arcs.from_stop_id[:6].fillna("-")) == ["A", "A", "B", "-", "B", "-"]
    assert list(arcs.to_stop_id[:6].fillna("-")) == ["-", "B", "-", "B", "C", "C"]


def test_walking_arcs(net, feed_path):
    walk = net.arcs[net.arcs.kind == "walk"]
    # C-D by distance; E-G only through their shared station (445 m)
    assert sorted(zip(walk.from_stop_id, walk.to_stop_id)) == [
        ("C", "D"), ("D", "C"), ("E", "G"), ("G", "E")]
    cd = walk[(walk.from_stop_id == "C")].cost.iloc[0]
    eg = walk[(walk.from_stop_id == "E")].cost.iloc[0]
    assert cd == pytest.approx(walk_minutes(60.0, 25.02, 60.001, 25.02), rel=1e-6)
    assert eg == pytest.approx(walk_minutes(60.01, 25.02, 60.014, 25.02), rel=1e-6)
    assert np.isinf(walk.freq).all()
    slow = gtfs.load(feed_path, DAY, "07:00", "09:00", walk_speed=2.5, walk_factor=1.2,
                     walk_distance=120.0)
    w2 = slow.arcs[slow.arcs.kind == "walk"]
    # 120 m still reaches C-D (111 m), the station pair stays
    assert len(w2) == 4
    assert w2[w2.from_stop_id == "C"].cost.iloc[0] == pytest.approx(cd * 2 * 1.2, rel=1e-6)
    none = gtfs.load(feed_path, DAY, "07:00", "09:00", walk_distance=0)
    assert (none.arcs.kind != "walk").all() and none.n_arcs == 21


def test_folder_and_window_past_midnight(tmp_path):
    path = write_feed(str(tmp_path), as_zip=False)
    # 00:00-01:00 on Tuesday holds Monday's 24:30 trip (WK also runs on Monday)
    night = gtfs.load(path, datetime.date(2024, 3, 12), datetime.time(0, 0), "01:00",
                      walk_distance=0)
    assert line_view(night) == [("R2", -1, ["D", "F", "E"], 1, [5.0, 5.0])]
    # a window reaching past midnight takes Tuesday's own 24:30
    late = gtfs.load(path, DAY, "23:00", "25:00", walk_distance=0)
    assert line_view(late) == [("R2", -1, ["D", "F", "E"], 1, [5.0, 5.0])]
    # the day before, the night trip runs at its own time
    # On Monday the night trip is not in the morning (it runs at 31:10), HOLIDAY
    # runs and EXTRA does not; the second headway template has no departure
    # in the window, so it does not count towards the median either.
    monday = gtfs.load(path, "2024-03-11", "07:00", "08:00", walk_distance=0)
    assert line_view(monday) == [
        ("R1", 0, ["A", "B", "C"], 3, [3.0, 5.0]),
        ("R1", 1, ["C", "B", "A"], 1, [0.25, 4.0]),
        ("R2", -1, ["D", "F", "E"], 1, [5.0, 5.0]),
        ("R3", -1, ["G", "H"], 5, [8.0]),
    ]


def test_zones(feed_path):
    # z3 lies inside the area of the stops but 1.1 km from the nearest (G)
    zones = pd.DataFrame({"id": ["z1", "z2", "z3"], "lat": [60.0, 60.0055, 60.014],
                          "lon": [25.005, 25.0200, 25.0]})
    net = gtfs.load(feed_path, DAY, "07:00", "09:00", zones=zones, access_distance=400.0)
    assert net.n_zones == 3 and net.n_nodes == 3 + 8 + 11
    assert list(net.stops.stop_id[:4]) == ["z1", "z2", "z3", "A"]
    assert list(net.stops.is_zone[:4]) == [True, True, True, False]
    acc = net.arcs[net.arcs.kind == "access"]
    egr = net.arcs[net.arcs.kind == "egress"]
    # z1 sits between A and B (278 m each), z2 on F, z3 takes its nearest stop (G)
    assert list(zip(acc.from_stop_id, acc.to_stop_id)) == [
        ("z1", "A"), ("z1", "B"), ("z2", "F"), ("z3", "G")]
    assert sorted(zip(egr.to_stop_id, egr.from_stop_id)) == sorted(
        zip(acc.from_stop_id, acc.to_stop_id))
    assert acc.cost.iloc[2] == pytest.approx(0.25)  # zero distance: the shortest time
    assert acc.cost.iloc[0] == pytest.approx(walk_minutes(60.0, 25.005, 60.0, 25.0), rel=1e-6)
    # line arcs moved up by the three zone nodes
    assert int(net.tail[0]) == 3 and int(net.head[0]) == 3 + 8
    # zones given as tuples give the same network
    same = gtfs.load(feed_path, DAY, "07:00", "09:00", access_distance=400.0,
                     zones=list(zones.itertuples(index=False, name=None)))
    np.testing.assert_array_equal(np.asarray(same.head), np.asarray(net.head))


def replace(files, name, old, new):
    out = dict(files)
    assert old in out[name]
    out[name] = out[name].replace(old, new, 1)
    return out


def without(files, name):
    return {k: v for k, v in files.items() if k != name}


def drop_column(files, name, column):
    lines = files[name].lstrip(BOM).splitlines()
    cols = lines[0].split(",")
    i = cols.index(column)
    out = dict(files)
    out[name] = "\n".join(",".join(c for j, c in enumerate(line.split(",")) if j != i)
                          for line in lines) + "\n"
    return out


BAD_FEEDS = [
    ("missing file", without(FEED, "stop_times.txt"), {},
     "stop_times.txt: the feed has no such file"),
    ("empty file", FEED | {"stops.txt": ""}, {}, "stops.txt: the file is empty"),
    ("missing calendars", without(without(FEED, "calendar.txt"), "calendar_dates.txt"), {},
     "calendar.txt: the feed has no such file, nor calendar_dates.txt"),
    ("missing column", drop_column(FEED, "stop_times.txt", "stop_sequence"), {},
     "stop_times.txt: required column 'stop_sequence' is missing"),
    ("missing column in trips", drop_column(FEED, "trips.txt", "service_id"), {},
     "trips.txt: required column 'service_id' is missing"),
    ("no service", FEED, {"date": "2030-06-04"},
     "calendar.txt: no service runs on 2030-06-04"),
    ("no trip in window", FEED, {"start": "03:00", "end": "04:00"},
     "stop_times.txt: no trip of the services running on 2024-03-12 leaves its first stop "
     "between 03:00 and 04:00"),
    ("malformed time", replace(FEED, "stop_times.txt", "t0730,07:33:00", "t0730,25:61:00"), {},
     "stop_times.txt, row 5: arrival_time '25:61:00' is not a time of the form H:MM:SS"),
    ("malformed frequency time", replace(FEED, "frequencies.txt", "08:50:00", "8h50"), {},
     "frequencies.txt, row 3: start_time '8h50' is not a time of the form H:MM:SS"),
    ("unknown stop", replace(FEED, "stop_times.txt", "t0800,08:04:00,08:04:00,B",
                             "t0800,08:04:00,08:04:00,Q"), {},
     "stop_times.txt, row 8: stop_id 'Q' is not in stops.txt"),
    ("unknown route", replace(FEED, "trips.txt", "R2,WK,late", "R9,WK,late"), {},
     "trips.txt, row 12: route_id 'R9' is not in routes.txt"),
    ("bad exception", replace(FEED, "calendar_dates.txt", "HOLIDAY,20240312,2",
                              "HOLIDAY,20240312,3"), {},
     "calendar_dates.txt, row 2: exception_type '3' is not one of 1, 2"),
    ("bad date", replace(FEED, "calendar.txt", "20241231", "2024-12-31"), {},
     "calendar.txt, row 1: end_date '2024-12-31' is not a date of the form YYYYMMDD"),
    ("bad headway", replace(FEED, "frequencies.txt", ",600,", ",0,"), {},
     "frequencies.txt, row 1: headway_secs '0' is not a whole number of at least 1"),
    ("repeated sequence", replace(FEED, "stop_times.txt", "t0800,08:10:00,08:10:00,C,30",
                                  "t0800,08:10:00,08:10:00,C,20"), {},
     "stop_times.txt, row 9: stop_sequence 20 appears twice in trip 't0800'"),
    ("backwards", replace(FEED, "stop_times.txt", "t0815,8:25:00", "t0815,8:18:00"), {},
     "stop_times.txt, row 12: trip 't0815' runs backwards in time at stop 'C'"),
    ("served stop without position", replace(FEED, "stops.txt", "Beta,B,60.0000,25.0100",
                                             "Beta,B,,"), {},
     "stops.txt, row 3: stop 'B' has no valid stop_lat and stop_lon"),
    ("duplicate stop", replace(FEED, "stops.txt", "Xray,X,", "Xray,A,"), {},
     "stops.txt, row 10: stop_id 'A' appears twice"),
]


@pytest.mark.parametrize("files,args,message", [b[1:] for b in BAD_FEEDS],
                         ids=[b[0] for b in BAD_FEEDS])
def test_bad_feeds(tmp_path, files, args, message):
    path = write_feed(str(tmp_path), files)
    call = {"date": DAY, "start": "07:00", "end": "09:00"} | args
    with pytest.raises(gtfs.FeedError) as info:
        gtfs.load(path, call["date"], call["start"], call["end"])
    assert str(info.value).startswith(message)
    assert isinstance(info.value, arrays.InputError) and isinstance(info.value, ValueError)
    assert info.value.file == message.split(":")[0].split(",")[0]


@pytest.mark.parametrize("args,message", [
    (("nowhere.zip", DAY, "07:00", "09:00"), "path 'nowhere.zip' does not exist"),
    ((None, "2024-13-40", "07:00", "09:00"), "date must be a datetime.date or a 'YYYY-MM-DD'"),
    ((None, DAY, "7am", "09:00"), "start must be a time 'HH:MM', got '7am'"),
    ((None, DAY, "09:00", "07:00"), "end (07:00) must be after start (09:00)"),
])
def test_bad_arguments(feed_path, args, message):
    args = (feed_path if args[0] is None else args[0],) + args[1:]
    with pytest.raises(arrays.InputError) as info:
        gtfs.load(*args)
    assert str(info.value).startswith(message)
    with pytest.raises(arrays.InputError, match="walk_speed"):
        gtfs.load(feed_path, DAY, "07:00", "09:00", walk_speed=-1)


def test_trips_without_end_times_are_left_out(tmp_path):
    files = replace(FEED, "stop_times.txt", "t0815,8:25:00,8:25:00,C", "t0815,,,C")
    with pytest.warns(UserWarning, match="1 trips of the day have no time") as record:
        net = gtfs.load(write_feed(str(tmp_path), files), DAY, "07:00", "09:00")
    assert record[0].filename == __file__  # the warning points at the call of load
    assert net.lines.n_trips[0] == 3


def uniform_demand(n, seed=5):
    rng = np.random.default_rng(seed)
    d = rng.integers(1, 10, size=(n, n)).astype(np.float32)
    np.fill_diagonal(d, 0)
    return d


def test_result_tables_account_for_every_flow(net, feed_path):
    dem = uniform_demand(net.n_stops)
    a = arrays.assign(net, dem, components=True)
    flows = np.asarray(a.flows, dtype=np.float64)
    kind = np.asarray(net.kind)
    seg = gtfs.segment_loads(net, a, capacity=50)  # places per vehicle; the window is 120 min
    iv = np.flatnonzero(kind == arrays.IN_VEHICLE)
    np.testing.assert_array_equal(seg.index.to_numpy(), iv)
    np.testing.assert_array_equal(seg.load.to_numpy(), flows[iv])
    # every boarding and alighting arc appears once in the segment table
    assert seg.boardings.sum() == pytest.approx(flows[kind == arrays.BOARDING].sum(), rel=1e-12)
    assert seg.alightings.sum() == pytest.approx(flows[kind == arrays.ALIGHTING].sum(), rel=1e-12)
    # along each line the load changes by the boardings less the alightings
    for _, g in seg.groupby("line"):
        before = np.r_[0.0, g.load.to_numpy()[:-1]]
        np.testing.assert_allclose(g.load, before + g.boardings - np.r_[0.0, g.alightings.to_numpy()[:-1]],
                                   rtol=1e-5, atol=1e-4)
        assert g.alightings.iloc[-1] == pytest.approx(g.load.iloc[-1], rel=1e-6)
    np.testing.assert_allclose(seg.load_ratio, seg.load / (net.lines.freq.to_numpy()[seg.line] * 6000))
    per_line = np.array([50, 25, 50, 10])
    by_line = gtfs.segment_loads(net, a, capacity=per_line)
    np.testing.assert_allclose(by_line.capacity,
                               net.lines.freq.to_numpy()[seg.line] * per_line[seg.line] * 120)
    np.testing.assert_allclose(seg.headway, 1 / net.lines.freq.to_numpy()[seg.line])
    with pytest.raises(arrays.InputError, match=r"capacity has 2 values, the network 4 lines"):
        gtfs.segment_loads(net, a, capacity=[1.0, 2.0])
    with pytest.raises(arrays.InputError, match="assignment.flows must hold one flow per arc"):
        gtfs.segment_loads(net, arrays.assign(gtfs.load(feed_path, DAY, "07:00", "09:00",
                                                        walk_distance=0), dem))
    assert list(seg.from_stop_id[seg.line == 0]) == ["A", "B"]
    assert list(seg.to_stop_id[seg.line == 0]) == ["B", "C"]

    reached = np.isfinite(a.cost)
    sb = gtfs.stop_boardings(net, a)
    # boardings over all stops: the demand times the boardings of each trip
    assert sb.boardings.sum() == pytest.approx(float((dem * np.where(reached, a.boardings, 0)).sum()),
                                               rel=1e-5)
    assert sb.alightings.sum() == pytest.approx(sb.boardings.sum(), rel=1e-6)
    by_stop = sb.groupby("stop_id").boardings.sum()
    tail = np.asarray(net.tail)
    direct = np.bincount(tail[kind == arrays.BOARDING], weights=flows[kind == arrays.BOARDING],
                         minlength=net.n_stops)[:net.n_stops]
    np.testing.assert_allclose(by_stop.reindex(net.stops.stop_id).fillna(0).to_numpy(), direct)

    ls = gtfs.line_summary(net, a)
    # in-vehicle minutes of all lines: the riding minutes of all trips
    assert ls.passenger_minutes.sum() == pytest.approx(
        float((dem * np.where(reached, a.ride, 0)).sum()), rel=1e-5)
    np.testing.assert_allclose(ls.passengers, seg.groupby("line").boardings.sum())
    np.testing.assert_allclose(ls.max_load, seg.groupby("line").load.max())

    sk = gtfs.skims(net, a).set_index(["origin_id", "destination_id"])
    assert len(sk) == net.n_stops * (net.n_stops - 1)
    wait0 = 0.5 / (4 / 120)  # line 1 (A-B-C) every 30 minutes
    walk_cd = walk_minutes(60.0, 25.02, 60.001, 25.02)
    walk_eg = walk_minutes(60.01, 25.02, 60.014, 25.02)
    assert sk.loc[("A", "C"), "cost"] == pytest.approx(wait0 + 9.5, rel=1e-6)
    assert sk.loc[("A", "D"), "cost"] == pytest.approx(wait0 + 9.5 + walk_cd, rel=1e-6)
    assert sk.loc[("C", "G"), "cost"] == pytest.approx(walk_cd + 30 + 11 + walk_eg, rel=1e-6)
    assert sk.loc[("C", "G"), ["wait", "ride", "boardings"]].tolist() == pytest.approx([30, 11, 1])
    assert sk.loc[("C", "G"), "walk"] == pytest.approx(walk_cd + walk_eg, rel=1e-5)
    assert np.isinf(sk.loc[("H", "A"), "cost"])
    assert len(gtfs.skims(net, a, include_unreachable=False)) == int(np.isfinite(sk.cost).sum())


def test_boardings_equal_the_demand_with_a_path_without_walking(feed_path):
    # without walking every reachable pair is served by one line: one boarding each
    net = gtfs.load(feed_path, DAY, "07:00", "09:00", walk_distance=0)
    dem = uniform_demand(net.n_stops, seed=9)
    a = arrays.assign(net, dem)
    reached = np.isfinite(a.cost)
    sb = gtfs.stop_boardings(net, a)
    assert sb.boardings.sum() == pytest.approx(float(dem[reached].sum()), rel=1e-6)
    assert not reached.all()


def test_zone_skims_and_demand(feed_path):
    zones = [("west", 60.0, 25.005), ("north", 60.0125, 25.025)]
    net = gtfs.load(feed_path, DAY, "07:00", "09:00", zones=zones, access_distance=400.0)
    dem = gtfs.gravity_demand(net, total=100.0)
    assert dem.shape == (2, 2) and dem.sum() == pytest.approx(100.0, abs=1e-3)
    assert dem[0, 0] == 0 and dem[0, 1] == pytest.approx(50.0, abs=1e-3)
    a = arrays.assign(net, dem, components=True)
    sk = gtfs.skims(net, a)
    assert list(zip(sk.origin_id, sk.destination_id)) == [("west", "north"), ("north", "west")]
    # west walks to B, rides to C, walks to D, rides to E and walks on: the
    # lines run one way only, so there is no way back
    walk = (walk_minutes(60.0, 25.005, 60.0, 25.01) + walk_minutes(60.0, 25.02, 60.001, 25.02)
            + walk_minutes(60.01, 25.02, 60.0125, 25.025))
    west_north = sk.iloc[0]
    assert west_north[["wait", "ride", "boardings"]].tolist() == pytest.approx([15 + 30, 5.5 + 11, 2])
    assert west_north.walk == pytest.approx(walk, rel=1e-5)
    assert west_north.cost == pytest.approx(45 + 16.5 + walk, rel=1e-5)
    assert np.isinf(sk.cost.iloc[1])
    # the same demand as (origins, destinations, volumes) refers to the zones too
    o, d = np.nonzero(dem)
    b = arrays.assign(net, (o, d, dem[o, d]))
    assert b.cost.shape == (2, 2) and b.total_cost == a.total_cost


KUOPIO = os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data")


@pytest.mark.skipif(not os.path.exists(os.path.join(KUOPIO, "gtfs", "kuopio.zip")),
                    reason="the shared Kuopio data is not beside the checkout")
def test_kuopio_agrees_with_the_shared_line_form():
    # kuopio.json.gz was converted from the same feed by a separate program:
    # the same lines and frequencies, and per pair of stops the smallest of
    # the lines' median times
    import gzip
    import json
    with gzip.open(os.path.join(KUOPIO, "kuopio.json.gz"), "rt", encoding="utf-8") as f:
        ref = json.load(f)
    net = gtfs.load(os.path.join(KUOPIO, "gtfs", "kuopio.zip"), "2017-03-14", "07:00", "09:00",
                    walk_distance=0)
    ids = [s["id"] for s in ref["stops"]]
    assert sorted(ids) == sorted(net.stops.stop_id)
    want = {(ln["route_id"], int(ln["direction_id"]), tuple(ids[i] for i in al)): f
            for ln, al, f in zip(ref["lines"], ref["alignments"], ref["freqs"])}
    stop_ids = net.stops.stop_id.to_numpy()
    got = {(r.route_id, r.direction_id, tuple(stop_ids[a])): r.freq
           for r, a in zip(net.lines.itertuples(), net.alignments)}
    assert got.keys() == want.keys()
    for key, f in got.items():
        assert f == pytest.approx(want[key], rel=1e-12)
    pos = {s: i for i, s in enumerate(ids)}
    mat = np.array(ref["travel_time_mat"])
    smallest = {}
    for a, t in zip(net.alignments, net.segment_times):
        for s, u, v in zip(stop_ids[a[:-1]], stop_ids[a[1:]], t):
            smallest[s, u] = min(v, smallest.get((s, u), np.inf))
    assert len(smallest) == ref["meta"]["counts"]["travel_time_pairs"]
    for (s, u), v in smallest.items():
        assert v == pytest.approx(mat[pos[s], pos[u]], abs=1e-9), (s, u)
    # the demand without a path is the one the shared file reports
    order = [pos[s] for s in stop_ids]
    demand = np.array(ref["demands_mat"], dtype=np.float32)[np.ix_(order, order)]
    result = arrays.assign(net, demand)
    lost = float(demand[np.isinf(result.cost)].sum())
    assert lost == pytest.approx(ref["meta"]["reachability"]["demand_unreachable"], abs=0.01)


def test_feed_variants(tmp_path):
    # CRLF line ends, files in a folder inside the zip, no direction_id column,
    # dates only in calendar_dates.txt: the same lines (directions unknown)
    files = drop_column(FEED, "trips.txt", "direction_id")
    dates = "service_id,date,exception_type\n" + "".join(
        f"{s},{d},1\n" for s, d in (("WK", 20240312), ("EXTRA", 20240312), ("WK", 20240311),
                                    ("NIGHT", 20240311), ("SAT", 20240316),
                                    ("HOLIDAY", 20240313)))
    files = without(files, "calendar.txt") | {"calendar_dates.txt": dates}
    path = os.path.join(str(tmp_path), "nested.zip")
    with zipfile.ZipFile(path, "w") as z:
        for name, text in files.items():
            z.writestr("gtfs/" + name, text.replace("\n", "\r\n"))
    net = gtfs.load(path, DAY, "07:00", "09:00")
    assert line_view(net) == [
        ("R1", -1, ["A", "B", "C"], 4, [4.0, 5.5]),
        ("R1", -1, ["C", "B", "A"], 1, [0.25, 4.0]),
        ("R2", -1, ["D", "F", "E"], 2, [5.5, 5.5]),
        ("R3", -1, ["G", "H"], 10, [8.5]),
    ]


def test_time_fields():
    # the digit-by-digit reading of HH:MM:SS and the general one agree on what they accept
    good = pd.Series(["07:00:00", "7:05:09", " 25:00:01 ", "100:00:00", "", "00:00:00", "  "])
    parse = importlib.import_module("lumo.gtfs._parse").Time()
    got = parse(good, "stop_times.txt", "arrival_time")
    np.testing.assert_array_equal(got, [25200, 25509, 90001, 360000, np.nan, 0, np.nan])
    for bad in ["12:60:00", "12:3a:00", "1a:00:00", "12:00:0x", "12-00-00", "12:00", "ä2:00:00",
                "-1:00:00", "12:00:00:00"]:
        with pytest.raises(gtfs.FeedError, match=r"stop_times.txt, row 2: arrival_time .* is not a time"):
            parse(pd.Series(["08:00:00", bad]), "stop_times.txt", "arrival_time")


def test_latin1_feed_is_read_with_a_warning(tmp_path):
    folder = tmp_path / "latin"
    folder.mkdir()
    write_feed(str(folder), FEED, as_zip=False)
    stops = FEED["stops.txt"].lstrip(BOM).replace("Alpha", "Käpylä")
    (folder / "stops.txt").write_bytes(stops.encode("latin-1"))
    with pytest.warns(UserWarning, match="stops.txt is not UTF-8") as record:
        net = gtfs.load(str(folder), DAY, "07:00", "09:00")
    assert record[0].filename == __file__
    assert net.stops.stop_name[0] == "Käpylä"


def rename_column(files, name, column):
    """The file with `column` renamed in its header: a feed without it."""
    head, _, rest = files[name].partition("\n")
    cols = head.lstrip(BOM).split(",")
    assert column in cols
    cols[cols.index(column)] = "unused_" + column
    return files | {name: ",".join(cols) + "\n" + rest}


def column_table():
    return importlib.import_module("lumo.gtfs._feed").FILES


def test_every_required_column_of_the_column_table_is_required(tmp_path):
    cases = [(spec.name, c.name) for spec in column_table().values() for c in spec.columns
             if c.required]
    assert ("stop_times.txt", "stop_sequence") in cases and len(cases) >= 20
    for i, (name, column) in enumerate(cases):
        path = write_feed(str(tmp_path), rename_column(FULL, name, column))
        with pytest.raises(gtfs.FeedError) as info:
            gtfs.load(path, DAY, "07:00", "09:00")
        assert str(info.value) == f"{name}: required column {column!r} is missing"
        assert (info.value.file, info.value.row) == (name, None)


def _walk_cost(n, a, b):
    w = n.arcs[(n.arcs.kind == "walk") & (n.arcs.from_stop_id == a) & (n.arcs.to_stop_id == b)]
    return float(w.cost.iloc[0]) if len(w) else None


def _tied_transfers(n):
    d = n.dropped.set_index("reason")["count"]
    return int(d[[r for r in d.index if r.startswith("transfers.txt rows name routes")]].sum())


def test_optional_columns_left_out(tmp_path):
    net = gtfs.load(write_feed(str(tmp_path), FULL), DAY, "07:00", "09:00")
    optional = {(spec.name, c.name) for spec in column_table().values() for c in spec.columns
                if not c.required}
    # each check holds without the column only
    no_names = lambda n: set(n.lines.agency_name) == {""}  # noqa: E731
    checks = {
        # two agencies and no agency_id: the routes' agency is unknown
        ("routes.txt", "agency_id"): lambda n: set(n.lines.agency_id) == {""},
        ("agency.txt", "agency_id"): no_names,
        ("agency.txt", "agency_name"): no_names,
        ("trips.txt", "shape_id"): lambda n: set(n.lines.shape_id) == {""},
        # every row a recommended transfer: D->C walkable, C->D as long as the walk
        ("transfers.txt", "transfer_type"): lambda n: _walk_cost(n, "D", "C") is not None,
        ("transfers.txt", "min_transfer_time"): lambda n: _walk_cost(n, "C", "D") < 2.0,
        **{("transfers.txt", c): lambda n: _tied_transfers(n) == 3
           for c in ("from_route_id", "to_route_id", "from_trip_id", "to_trip_id")},
        ("routes.txt", "route_short_name"): lambda n: list(n.lines.route_short_name) == [
            "One", "One", "Two", "Three"],
        ("routes.txt", "route_long_name"): lambda n: list(n.lines.route_short_name) == [
            "1", "1", "2", "R3"],
        ("routes.txt", "route_type"): lambda n: list(n.lines.route_type) == [-1] * 4,
        ("trips.txt", "direction_id"): lambda n: list(n.lines.direction_id) == [-1] * 4,
        ("stops.txt", "stop_name"): lambda n: set(n.stops.stop_name) == {""},
        # E and G are 445 m apart: without their station only C-D walk
        ("stops.txt", "parent_station"): lambda n: len(n.arcs[n.arcs.kind == "walk"]) == 2,
        # the times that are left serve for both: line 1's medians of 5, 4, 4, 5 and
        # 5, 7, 6, 5 minutes from departures only, 4, 3, 4, 4 and 6, 8, 6, 6 from arrivals
        ("stop_times.txt", "arrival_time"): lambda n: [list(np.round(t, 6)) for t in
                                                       n.segment_times][0] == [4.5, 5.5],
        ("stop_times.txt", "departure_time"): lambda n: [list(np.round(t, 6)) for t in
                                                         n.segment_times][0] == [4.0, 6.0],
        # tmpl2 at 20 minutes, no longer exact: half a departure from 08:50 to 09:00
        ("frequencies.txt", "exact_times"): lambda n: list(n.lines.n_trips)[3] == 9.5,
    }
    unusable = {("stops.txt", "stop_lat"): "stops.txt, row 2: stop 'A' has no valid stop_lat",
                ("stops.txt", "stop_lon"): "stops.txt, row 2: stop 'A' has no valid stop_lat"}
    assert optional == checks.keys() | unusable.keys()
    for i, (name, column) in enumerate(sorted(optional)):
        path = write_feed(str(tmp_path), rename_column(FULL, name, column))
        if (name, column) in unusable:
            with pytest.raises(gtfs.FeedError, match=unusable[name, column]):
                gtfs.load(path, DAY, "07:00", "09:00")
            continue
        got = gtfs.load(path, DAY, "07:00", "09:00")
        assert checks[name, column](got), (name, column)
        assert not checks[name, column](net), (name, column)  # the check sees the column


def test_capacity_by_route_type_and_the_congested_tables(net):
    types = net.lines.route_type.to_numpy()
    board = np.flatnonzero(np.asarray(net.kind) == arrays.BOARDING)
    line_of = np.asarray(net.arc_line)[board]
    cap = gtfs.vehicle_capacity(net)
    modes = {0: "tram", 1: "metro", 2: "rail", 3: "bus", 4: "ferry"}
    want = [gtfs.DEFAULT_CAPACITY[modes[int(types[ln])]] for ln in line_of]
    np.testing.assert_array_equal(cap[board], want)
    code = int(types[0])
    mixed = gtfs.vehicle_capacity(net, {code: 33, "ferry": 5})
    np.testing.assert_array_equal(mixed[board][line_of == 0], 33)
    with pytest.raises(arrays.InputError, match="capacity key 'boat' is neither"):
        gtfs.vehicle_capacity(net, {"boat": 5})
    odd = net.lines.copy()
    net.lines = odd.assign(route_type=1700)
    try:
        with pytest.raises(arrays.InputError, match="line 0 has route_type 1700, which has no "
                                                    "default capacity"):
            gtfs.vehicle_capacity(net)
    finally:
        net.lines = odd
    # the window is the default period: places per vehicle times its minutes
    dem = uniform_demand(net.n_stops)
    r = arrays.assign_congested(net, dem, 2.0, decay=0.5, max_iters=4)
    old = arrays.assign_congested(net, dem, 2.0 * net.window_minutes, period=1, decay=0.5,
                                  max_iters=4)
    np.testing.assert_array_equal(r.flows, old.flows)
    seg = gtfs.segment_loads(net, r, capacity=2.0)
    kind, al, afs = np.asarray(net.kind), np.asarray(net.arc_line), np.asarray(net.arc_from_stop)
    for a, row in seg.iterrows():
        b = np.flatnonzero((kind == arrays.BOARDING) & (al == al[a]) & (afs == afs[a]))
        assert row.effective_headway == 1 / np.float64(r.effective_freq[b[0]])
    assert (seg.effective_headway >= seg.headway * (1 - 1e-6)).all()
    assert (seg.load_ratio > 0).any()
    ls = gtfs.line_summary(net, r, capacity=2.0)
    assert (ls.effective_headway >= ls.headway * (1 - 1e-6)).all()
    assert "effective_headway" not in gtfs.segment_loads(net, arrays.assign(net, dem))


def test_public_names():
    import lumo.gtfs as g
    assert sorted(n for n in vars(g) if not n.startswith("_")) == sorted(g.__all__)
    assert g.__all__ == ["FeedError", "TransitNetwork", "load", "gravity_demand", "segment_loads",
                         "stop_boardings", "line_summary", "skims", "vehicle_capacity",
                         "DEFAULT_CAPACITY"]
    for name in g.__all__:
        if name != "DEFAULT_CAPACITY":
            assert getattr(g, name).__module__ == "lumo.gtfs", name
    assert issubclass(g.TransitNetwork, arrays.Network)


def test_missing_extra_names_the_distribution():
    import subprocess
    import sys
    code = ("import sys; sys.modules['pandas'] = None\n"
            "import lumo, lumo.arrays\n"
            "try:\n    import lumo.gtfs\nexcept ImportError as e:\n    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("lumo.gtfs needs numpy, pandas and scipy (")
    assert out.stdout.rstrip().endswith("pip install 'lumo-transit[gtfs]'")

"""A modeller's data in and out: zone ids, OMX, zones from files, GIS layers,
what load leaves out, gravity totals, and networks saved and read back."""

import datetime
import importlib
import os
import sqlite3
import warnings

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pytest.importorskip("scipy")

from test_gtfs import DAY, FEED, FULL, KUOPIO, replace, write_feed  # noqa: E402


def _mod(name):
    return importlib.import_module(name)


@pytest.fixture(scope="module")
def full_net(tmp_path_factory):
    path = write_feed(str(tmp_path_factory.mktemp("full")), FULL)
    return _mod("lumo.gtfs").load(path, DAY, "07:00", "09:00")


def random_demand(n, seed):
    rng = np.random.default_rng(seed)
    d = (rng.random((n, n)) * 10).astype(np.float32)
    d[rng.random((n, n)) < 0.3] = 0
    np.fill_diagonal(d, 0)
    return d


# -- zone ids ---------------------------------------------------------------

def test_labelled_demand_is_aligned_by_id(full_net):
    arrays = _mod("lumo.arrays")
    net = full_net
    ids = list(net.zone_ids)
    assert ids == list(net.stops.stop_id[:net.n_stops])
    dem = random_demand(len(ids), 3)
    base = arrays.assign(net, dem, components=True)
    rng = np.random.default_rng(4)
    rows, cols = rng.permutation(len(ids)), rng.permutation(len(ids))
    frame = pd.DataFrame(dem[np.ix_(rows, cols)], index=[ids[i] for i in rows],
                         columns=[ids[i] for i in cols])
    got = arrays.assign(net, frame, components=True)
    for name in ("flows", "cost", "wait", "ride", "walk", "boardings"):
        assert np.array_equal(getattr(got, name), getattr(base, name), equal_nan=True), name
    assert got.total_cost == base.total_cost
    cong = arrays.assign_congested(net, frame, 50.0, max_iters=3)
    ref = arrays.assign_congested(net, dem, 50.0, max_iters=3)
    assert np.array_equal(cong.flows, ref.flows)
    assert list(net.zone_nodes(["C", "A"])) == [2, 0]

    # a frame without some zones: refused, unless they are said to have none
    part = frame.drop(index=["H"], columns=["H"])
    with pytest.raises(arrays.InputError, match="no row or column for the zones 'H'"):
        arrays.assign(net, part)
    zero = dem.copy()
    h = ids.index("H")
    zero[h, :] = zero[:, h] = 0
    assert np.array_equal(arrays.assign(net, part, missing_zones="zero").flows,
                          arrays.assign(net, zero).flows)
    bad = frame.rename(index={"A": "Q1", "B": "Q2"}, columns={"A": "Q1", "B": "Q2"})
    with pytest.raises(arrays.InputError, match="not zones of the network: '(Q1|Q2)', '(Q1|Q2)'$"):
        arrays.assign(net, bad)
    dup = frame.rename(index={"B": "A"})
    with pytest.raises(arrays.InputError, match="more than once: 'A'"):
        arrays.assign(net, dup)
    with pytest.raises(arrays.InputError, match="not square: ids in only one .*'H'"):
        arrays.assign(net, frame.drop(columns=["H"]))
    with pytest.raises(arrays.InputError, match=r"demand must be 8 × 8.*got 7 × 7"):
        arrays.assign(net, dem[:-1, :-1])
    many = pd.DataFrame(np.zeros((8, 8)), index=[f"x{i}" for i in range(8)],
                        columns=[f"x{i}" for i in range(8)])
    with pytest.raises(arrays.InputError, match="'x0', 'x1', 'x2', 'x3', 'x4' and 3 more"):
        arrays.assign(net, many)
    plain = arrays.Network([0], [1], [0.5], [1.0])
    with pytest.raises(arrays.InputError, match="labelled frame but the network has no zone_ids"):
        arrays.assign(plain, pd.DataFrame([[0.0, 1.0], [0.0, 0.0]]))
    plain.zone_ids = ["a", "b"]
    two = pd.DataFrame([[0.0, 0.0], [0.0, 1.0]], index=["b", "a"], columns=["a", "b"])  # a to b
    assert arrays.assign(plain, two).flows.tolist() == [1.0]


# -- OMX --------------------------------------------------------------------

def read_omx_plainly(path):
    """OMX as its documentation describes it: root attributes OMX_VERSION and
    SHAPE, matrices in /data, zone mappings in /lookup."""
    h5py = pytest.importorskip("h5py")
    with h5py.File(path, "r") as f:
        version = f.attrs["OMX_VERSION"]
        shape = tuple(int(x) for x in f.attrs["SHAPE"])
        mats = {k: f["data"][k][()] for k in f["data"]}
        lookups = {k: f["lookup"][k][()] for k in f["lookup"]}
    return version, shape, mats, lookups


def test_omx_round_trip(full_net, tmp_path, capsys):
    arrays, lio = _mod("lumo.arrays"), _mod("lumo.io")
    net = full_net
    dem = random_demand(net.n_stops, 8)
    a = arrays.assign(net, dem, components=True)
    path = str(tmp_path / "skims.omx")
    lio.write_omx(path, net, a, extra={"demand": dem})
    version, shape, mats, lookups = read_omx_plainly(path)
    assert version in (b"0.2", "0.2") and shape == (8, 8)
    assert sorted(mats) == ["boardings", "cost", "demand", "ride", "wait", "walk"]
    for name in ("cost", "wait", "ride", "walk", "boardings"):
        assert mats[name].dtype == np.float32
        assert np.array_equal(mats[name], getattr(a, name), equal_nan=True), name
    assert [v.decode() for v in lookups["zone_id"]] == list(net.zone_ids)
    # the demand read back, through the mapping, is the same bits
    assert np.array_equal(lio.read_omx(path, net, "demand"), dem)
    skims_only = str(tmp_path / "skims_only.omx")
    lio.write_omx(skims_only, net, a)
    with pytest.raises(arrays.InputError, match="holds several matrices .*name one with matrix="):
        lio.read_omx(skims_only, net)
    validator = pytest.importorskip("openmatrix.validator")
    assert validator.run_checks(path) is not False
    out = capsys.readouterr().out
    assert "Fail" not in out and out.count("Pass") >= 10


def test_omx_demand_of_another_tool(full_net, tmp_path):
    h5py = pytest.importorskip("h5py")
    lio = _mod("lumo.io")
    net = full_net
    ids = list(net.zone_ids)
    # a file of integer zone numbers in another order, with one zone more
    numbered = net.__class__.__new__(net.__class__)
    numbered.zone_ids = [str(100 + i) for i in range(len(ids))]
    order = [3, 0, 7, 1, 8, 2, 6, 5, 4]  # file position 4 is zone 108, which the network lacks
    dem = random_demand(9, 11)
    dem[4, :] = dem[:, 4] = 0
    path = str(tmp_path / "other.omx")
    with h5py.File(path, "w") as f:
        f.attrs["OMX_VERSION"] = b"0.2"
        f.attrs["SHAPE"] = np.array([9, 9], np.int32)
        f.create_group("data")["trips"] = dem.astype(np.float64)
        f.create_group("lookup")["taz"] = np.array([100 + i for i in order], np.int32)
    got = lio.read_omx(path, numbered)
    pos = {z: k for k, z in enumerate(order)}
    want = dem[np.ix_([pos[i] for i in range(8)], [pos[i] for i in range(8)])]
    assert got.dtype == np.float32 and np.array_equal(got, want.astype(np.float32))
    with pytest.raises(_mod("lumo.arrays").InputError,
                       match="no entry for 8 zones of the network: 'A', 'B'"):
        lio.read_omx(path, net)
    with h5py.File(path, "a") as f:
        f["data"]["trips"][4, 0] = 1.0
    with pytest.raises(_mod("lumo.arrays").InputError, match="network does not have carry "
                                                             "demand: '108'"):
        lio.read_omx(path, numbered)


# -- zones from files --------------------------------------------------------

def test_zones_from_files_and_reference_systems(tmp_path, full_net):
    gpd = pytest.importorskip("geopandas")
    shapely = pytest.importorskip("shapely")
    gtfs, arrays = _mod("lumo.gtfs"), _mod("lumo.arrays")
    feed = write_feed(str(tmp_path), FULL)
    pts = pd.DataFrame({"id": ["z1", "z2"], "lat": [60.0, 60.0055], "lon": [25.005, 25.02]})
    ref = gtfs.load(feed, DAY, "07:00", "09:00", zones=pts, access_distance=400.0)
    assert ref.zone_ids == ["z1", "z2"]
    csv = tmp_path / "zones.csv"
    pts.to_csv(csv, index=False)
    geo = gpd.GeoDataFrame({"id": pts.id}, geometry=gpd.points_from_xy(pts.lon, pts.lat),
                           crs="EPSG:4326")
    # a square polygon around each point, in a metric system: its
    # representative point, back in degrees, is within a metre of the point
    metric = geo.to_crs(3067)
    polys = metric.assign(geometry=metric.buffer(50.0, cap_style="square"))
    polys.to_file(tmp_path / "zones.gpkg", driver="GPKG")
    metric.to_file(tmp_path / "zones.geojson", driver="GeoJSON")
    polys.to_file(tmp_path / "zones.shp")
    for given in (str(csv), geo, str(tmp_path / "zones.gpkg"), tmp_path / "zones.geojson",
                  str(tmp_path / "zones.shp")):
        net = gtfs.load(feed, DAY, "07:00", "09:00", zones=given, access_distance=400.0)
        assert net.zone_ids == ["z1", "z2"]
        np.testing.assert_allclose(net.stops.lat[:2], pts.lat, atol=1e-5)
        np.testing.assert_allclose(net.stops.lon[:2], pts.lon, atol=1e-5)
        acc = net.arcs[net.arcs.kind == "access"]
        assert list(zip(acc.from_stop_id, acc.to_stop_id)) == list(
            zip(ref.arcs[ref.arcs.kind == "access"].from_stop_id,
                ref.arcs[ref.arcs.kind == "access"].to_stop_id))
    assert shapely.Point(25.005, 60.0).distance(shapely.Point(net.stops.lon[0],
                                                                net.stops.lat[0])) < 1e-5
    swapped = pts.rename(columns={"lat": "lon", "lon": "lat"})
    with pytest.raises(arrays.InputError, match="2 zones lie more than 400 m outside .*'z1', "
                                                "'z2'.*latitude and longitude look swapped"):
        gtfs.load(feed, DAY, "07:00", "09:00", zones=swapped, access_distance=400.0)
    far = gpd.GeoDataFrame({"id": ["z1"]}, geometry=gpd.points_from_xy([3.0e5], [7.0e6]))
    with pytest.raises(arrays.InputError, match="no reference system"):
        gtfs.load(feed, DAY, "07:00", "09:00", zones=far)
    with pytest.raises(arrays.InputError, match="no valid lat and lon"):
        gtfs.load(feed, DAY, "07:00", "09:00", zones=[("z", 95.0, 25.0)])


def test_connectors_nearest_first_and_at_most_max(tmp_path):
    gtfs = _mod("lumo.gtfs")
    feed = write_feed(str(tmp_path), FEED)
    # near D: D (28 m), C (83 m), F (472 m) within 500 m; nearest first
    zone = [("z", 60.00125, 25.0200)]
    net = gtfs.load(feed, DAY, "07:00", "09:00", zones=zone, access_distance=500.0)
    acc = net.arcs[net.arcs.kind == "access"]
    assert list(acc.to_stop_id) == ["D", "C", "F"]
    assert list(np.diff(acc.cost)) == sorted(np.diff(acc.cost)) and (np.diff(acc.cost) > 0).all()
    two = gtfs.load(feed, DAY, "07:00", "09:00", zones=zone, access_distance=500.0,
                    max_connectors=2)
    assert list(two.arcs[two.arcs.kind == "access"].to_stop_id) == ["D", "C"]
    assert list(two.arcs[two.arcs.kind == "egress"].from_stop_id) == ["D", "C"]
    none_near = gtfs.load(feed, DAY, "07:00", "09:00", zones=zone, access_distance=10.0)
    assert list(none_near.arcs[none_near.arcs.kind == "access"].to_stop_id) == ["D"]
    with pytest.raises(_mod("lumo.arrays").InputError, match="max_connectors = 0"):
        gtfs.load(feed, DAY, "07:00", "09:00", zones=zone, max_connectors=0)


# -- GIS layers -------------------------------------------------------------

def test_segments_follow_the_shapes(full_net):
    pytest.importorskip("geopandas")
    arrays, gtfs = _mod("lumo.arrays"), _mod("lumo.gtfs")
    net = full_net
    a = arrays.assign(net, random_demand(net.n_stops, 2))
    plain = gtfs.segment_loads(net, a)
    seg = gtfs.segment_loads(net, a, geometry=True)
    assert str(seg.crs) == "EPSG:4326" and (seg.geom_type == "LineString").all()
    pd.testing.assert_frame_equal(pd.DataFrame(seg.drop(columns="geometry")), plain)
    coords = [list(g.coords) for g in seg.geometry]
    # line 0 (A-B-C) follows S1 through its bends; line 1 runs back, straight
    np.testing.assert_allclose(coords[0], [(25.0, 60.0), (25.005, 60.0005), (25.01, 60.0)])
    np.testing.assert_allclose(coords[1], [(25.01, 60.0), (25.015, 60.0005), (25.02, 60.0)])
    np.testing.assert_allclose(coords[2], [(25.02, 60.0), (25.01, 60.0)])
    # every segment starts at its first stop and ends at its last
    st = net.stops.set_index("stop_id")
    for (_, row), c in zip(seg.iterrows(), coords):
        np.testing.assert_allclose(c[0], (st.lon[row.from_stop_id], st.lat[row.from_stop_id]))
        np.testing.assert_allclose(c[-1], (st.lon[row.to_stop_id], st.lat[row.to_stop_id]))


def test_geopackage_read_by_sqlite(full_net, tmp_path):
    pytest.importorskip("geopandas")
    arrays, lio = _mod("lumo.arrays"), _mod("lumo.io")
    net = full_net
    dem = random_demand(net.n_stops, 6)
    a = arrays.assign(net, dem)
    path = str(tmp_path / "net.gpkg")
    lio.write_layers(path, net, a, capacity=6000.0, demand=dem)
    con = sqlite3.connect(path)
    try:
        kinds = dict(con.execute("SELECT table_name, geometry_type_name FROM "
                                 "gpkg_geometry_columns").fetchall())
        assert kinds == {"stops": "POINT", "segments": "LINESTRING", "zones": "POINT"}
        counts = {t: con.execute(f'SELECT COUNT(*) FROM "{t}"').fetchone()[0] for t in kinds}
        assert counts == {"stops": net.n_stops, "segments": int((net.kind == 1).sum()),
                          "zones": net.n_stops}
        loads = dict(con.execute('SELECT arc, "load" FROM segments').fetchall())
        flows = np.asarray(a.flows, dtype=np.float64)
        assert loads == {int(i): pytest.approx(flows[i]) for i in np.flatnonzero(net.kind == 1)}
        origins = dict(con.execute("SELECT zone_id, origins FROM zones").fetchall())
        assert [origins[z] for z in net.zone_ids] == pytest.approx(dem.sum(axis=1))
        ratio = con.execute('SELECT MAX(load_ratio), MIN(headway) FROM segments').fetchone()
        # the busiest line's headway: the window over its departures
        assert ratio[0] > 0 and ratio[1] == pytest.approx(120 / net.lines.n_trips.max())
    finally:
        con.close()


# -- what load leaves out ----------------------------------------------------

def test_dropped_trips_table_and_one_warning(tmp_path):
    gtfs = _mod("lumo.gtfs")
    files = replace(FEED, "trips.txt", "R1,WK,t0900,0\n",
                    "R1,WK,t0900,0\nR1,WK,ghost1,0\nR2,WK,ghost2,\nR2,SAT,ghost3,\n")
    files = replace(files, "stop_times.txt", "t0815,8:25:00,8:25:00,C", "t0815,,,C")
    files = replace(files, "stop_times.txt", "tmpl1,", "lonely,07:00:00,07:00:00,A,1\ntmpl1,")
    files = replace(files, "trips.txt", "R3,WK,tmpl1,", "R3,WK,lonely,\nR3,WK,tmpl1,")
    files = replace(files, "stop_times.txt", "tmpl1,", "nowhere,07:00:00,07:00:00,A,1\ntmpl1,")
    files = replace(files, "frequencies.txt", "tmpl2,", "nothing,07:00:00,08:00:00,600,0\ntmpl2,")
    with pytest.warns(UserWarning) as record:
        net = gtfs.load(write_feed(str(tmp_path), files), DAY, "07:00", "09:00")
    assert len(record) == 1 and record[0].filename == __file__
    text = str(record[0].message)
    assert "2 trips of the day have no stop times (e.g. ghost1, ghost2)" in text
    assert "1 trips of the day have no time at their first or last stop" in text
    assert "1 trips of the day stop at a single stop (e.g. lonely)" in text
    assert "1 stop_times.txt rows name a trip that is not in trips.txt (e.g. nowhere)" in text
    assert "1 frequencies.txt rows name a trip that is not in trips.txt (e.g. nothing)" in text
    d = net.dropped.set_index("reason")
    assert d.loc["trips of the day have no stop times", "count"] == 2
    assert d.loc["trips of the day have no stop times", "example_ids"] == "ghost1, ghost2"
    assert d["count"].sum() == 2 + 1 + 1 + 1 + 1 + 2  # and the stops ST and X, served by no line
    assert "stations included" not in text  # expected, in the table only


def test_route_type_and_agency_filters(tmp_path, full_net):
    gtfs, arrays = _mod("lumo.gtfs"), _mod("lumo.arrays")
    feed = write_feed(str(tmp_path), FULL)
    trams = gtfs.load(feed, DAY, "07:00", "09:00", route_types=[0])
    assert list(trams.lines.route_id) == ["R3"] and trams.n_stops == 2
    d = trams.dropped.set_index("reason")["count"]
    assert d["trips of the day are of a route_type not selected"] == 9
    for agency in (["AG"], "Test Transit"):
        buses = gtfs.load(feed, DAY, "07:00", "09:00", agencies=agency)
        assert list(buses.lines.route_id) == ["R1", "R1", "R2"]
    with pytest.raises(arrays.InputError, match=r"route_types=\[7\]: no route .* \[0, 3\]"):
        gtfs.load(feed, DAY, "07:00", "09:00", route_types=[7])
    with pytest.raises(arrays.InputError, match="agencies=\\['XX'\\]: no route"):
        gtfs.load(feed, DAY, "07:00", "09:00", agencies=["XX"])


def test_transfers_on_walking_arcs(full_net, tmp_path):
    gtfs = _mod("lumo.gtfs")
    plain = gtfs.load(write_feed(str(tmp_path), FEED), DAY, "07:00", "09:00")

    def walks(n):
        w = n.arcs[n.arcs.kind == "walk"]
        return {(f, t): c for f, t, c in zip(w.from_stop_id, w.to_stop_id, w.cost)}

    before, after = walks(plain), walks(full_net)
    assert after[("C", "D")] == pytest.approx(5.0)  # min_transfer_time 300 s
    assert ("D", "C") in before and ("D", "C") not in after  # transfer_type 3
    assert ("A", "H") not in before and after[("A", "H")] > 20  # listed: walkable, 1.7 km
    assert ("H", "A") not in after  # one way, as listed
    rest = set(before) - {("C", "D"), ("D", "C")}
    assert all(after[k] == before[k] for k in rest)


# -- gravity demand ---------------------------------------------------------

@pytest.mark.skipif(not os.path.exists(os.path.join(KUOPIO, "gtfs", "kuopio.zip")),
                    reason="the shared Kuopio data is not beside the checkout")
def test_gravity_keeps_its_total_and_every_destination():
    gtfs = _mod("lumo.gtfs")
    net = gtfs.load(os.path.join(KUOPIO, "gtfs", "kuopio.zip"), "2017-03-14", "07:00", "09:00")
    for total, decimals in ((20_000.0, 3), (500.0, 3), (1234.5, 1), (20_000.0, None)):
        dem = gtfs.gravity_demand(net, total=total, decimals=decimals)
        assert dem.dtype == np.float32
        assert float(dem.sum(dtype=np.float64)) == pytest.approx(total, rel=2e-7)
        assert (dem.sum(axis=0) > 0).all(), (total, decimals)  # no destination rounded away
        if decimals is not None:
            units = dem.astype(np.float64) * 10 ** decimals
            np.testing.assert_allclose(units, np.round(units), atol=1e-3)
    # the apportionment stays within a unit of the unrounded shares
    exact = gtfs.gravity_demand(net, total=500.0, decimals=None).astype(np.float64)
    rounded = gtfs.gravity_demand(net, total=500.0, decimals=3).astype(np.float64)
    assert np.abs(exact - rounded).max() <= 1e-3 + 1e-6


# -- save and load ----------------------------------------------------------

def test_saved_networks_read_back_exactly(full_net, tmp_path):
    arrays, gtfs = _mod("lumo.arrays"), _mod("lumo.gtfs")
    net = full_net
    # a changed headway: line 0 twice as often
    board = np.flatnonzero((net.kind == arrays.BOARDING) & (net.arc_line == 0))
    net.freq[board] *= 2
    net.lines.loc[0, "freq"] *= 2
    path = tmp_path / "net.lumo"
    net.save(path)
    back = arrays.Network.load(path)
    assert type(back) is gtfs.TransitNetwork and sorted(vars(back)) == sorted(vars(net))
    for name, value in vars(net).items():
        got = getattr(back, name)
        if isinstance(value, pd.DataFrame):
            pd.testing.assert_frame_equal(got, value, check_exact=True)
        elif isinstance(value, np.ndarray):
            assert got.dtype == value.dtype and np.array_equal(got, value), name
        elif isinstance(value, list) and value and isinstance(value[0], np.ndarray):
            assert all(np.array_equal(g, v) and g.dtype == v.dtype for g, v in zip(got, value))
        else:
            assert got == value and type(got) is type(value), name
    dem = random_demand(net.n_stops, 1)
    assert np.array_equal(arrays.assign(back, dem).flows, arrays.assign(net, dem).flows)

    # a base network with a line added by hand and zone ids of its own
    lines = arrays.Network.from_lines([[0, 1, 2], [2, 0]], [0.1, 0.2], [[5.0, 6.0], [7.0]])
    lines.zone_ids = ["x", "y", "z"]
    lines.save(tmp_path / "lines.npz")
    again = arrays.Network.load(tmp_path / "lines.npz")
    assert type(again) is arrays.Network and again.zone_ids == ["x", "y", "z"]
    assert again.n_stops == 3 and np.array_equal(again.cost, lines.cost)
    with pytest.raises(arrays.InputError, match="holds a Network, not a TransitNetwork"):
        gtfs.TransitNetwork.load(tmp_path / "lines.npz")


def test_saved_network_errors(tmp_path):
    arrays = _mod("lumo.arrays")
    store = _mod("lumo._store")
    net = arrays.Network([0, 1], [1, 2], [0.1, np.inf], [1.0, 2.0])
    net.save(tmp_path / "n.npz")
    # a file of a later format version: refused, naming both versions
    with np.load(tmp_path / "n.npz") as z:
        entries = {k: z[k] for k in z.files}
    import json
    meta = json.loads(bytes(entries["meta"]).decode())
    meta["version"] = store.VERSION + 1
    entries["meta"] = np.frombuffer(json.dumps(meta).encode(), np.uint8)
    np.savez(tmp_path / "future.npz", **entries)
    with pytest.raises(arrays.InputError, match=f"format version {store.VERSION + 1} by a newer "
                                                f"lumo; this one reads version {store.VERSION}"):
        arrays.Network.load(tmp_path / "future.npz")
    np.save(tmp_path / "plain.npy", np.zeros(3))
    with pytest.raises(arrays.InputError, match="not a saved lumo network"):
        arrays.Network.load(tmp_path / "plain.npy")
    with pytest.raises(arrays.InputError, match="does not exist"):
        arrays.Network.load(tmp_path / "nothing.npz")
    net.note = object()
    with pytest.raises(arrays.InputError, match="network.note cannot be saved: it is a object"):
        net.save(tmp_path / "bad.npz")
    # a pickled object inside the archive is never unpickled
    entries["meta"] = np.frombuffer(json.dumps({**meta, "version": 1}).encode(), np.uint8)
    entries["x0"] = np.array([datetime.date(2024, 1, 1)], dtype=object)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        np.savez(tmp_path / "pickled.npz", **entries)
    with pytest.raises((arrays.InputError, ValueError)):
        arrays.Network.load(tmp_path / "pickled.npz")


def test_lumo_and_arrays_need_none_of_the_file_libraries():
    import subprocess
    import sys
    code = ("import sys\n"
            "for m in ('h5py', 'geopandas', 'pyogrio', 'pyproj', 'shapely', 'pandas', 'openmatrix'):\n"
            "    sys.modules[m] = None\n"
            "import lumo, lumo.arrays\n"
            "n = lumo.arrays.Network([0], [1], [0.5], [1.0])\n"
            "n.zone_ids = ['a', 'b']\n"
            "print(n.zone_nodes(['b']).tolist())\n"
            "try:\n    import lumo.io\nexcept ImportError as e:\n    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines()[0] == "[1]"


@pytest.mark.skipif(not os.path.exists(os.path.join(KUOPIO, "gtfs", "kuopio.zip")),
                    reason="the shared Kuopio data is not beside the checkout")
def test_kuopio_by_id_through_omx_and_a_geopackage(tmp_path):
    # Kuopio feed: City of Kuopio, CC BY 4.0
    pyogrio = pytest.importorskip("pyogrio")
    arrays, gtfs, lio = _mod("lumo.arrays"), _mod("lumo.gtfs"), _mod("lumo.io")
    net = gtfs.load(os.path.join(KUOPIO, "gtfs", "kuopio.zip"), "2017-03-14", "07:00", "09:00")
    assert list(net.dropped.reason) == [
        "stops of stops.txt are served by no line in the window (stations included)"]
    dem = gtfs.gravity_demand(net)
    ids = list(net.zone_ids)
    rng = np.random.default_rng(18)
    rows, cols = rng.permutation(len(ids)), rng.permutation(len(ids))
    frame = pd.DataFrame(dem[np.ix_(rows, cols)], index=[int(ids[i]) for i in rows],
                         columns=[ids[i] for i in cols])  # numeric origins, text destinations
    base = arrays.assign(net, dem, components=True)
    got = arrays.assign(net, frame, components=True)
    assert got.total_cost == base.total_cost and np.array_equal(got.flows, base.flows)
    assert np.array_equal(got.cost, base.cost, equal_nan=True)

    omx = str(tmp_path / "kuopio.omx")
    lio.write_omx(omx, net, base, extra={"demand": dem})
    _, shape, mats, lookups = read_omx_plainly(omx)
    assert shape == (len(ids), len(ids)) and lookups["zone_id"].dtype.kind == "i"
    assert [str(v) for v in lookups["zone_id"]] == ids
    assert np.array_equal(mats["wait"], base.wait, equal_nan=True)
    assert np.array_equal(lio.read_omx(omx, net), dem)  # the file's demand by default
    with pytest.raises(arrays.InputError, match="has no matrix 'trips'; it has boardings, cost"):
        lio.read_omx(omx, net, "trips")

    gpkg = str(tmp_path / "kuopio.gpkg")
    lio.write_layers(gpkg, net, base, capacity=100 * net.window_minutes)
    layers = dict(pyogrio.list_layers(gpkg).tolist())
    assert layers == {"segments": "LineString", "stops": "Point", "zones": "Point"}
    seg = pyogrio.read_dataframe(gpkg, layer="segments")
    iv = np.flatnonzero(net.kind == arrays.IN_VEHICLE)
    assert len(seg) == len(iv)
    np.testing.assert_array_equal(seg["load"].to_numpy(),
                                  np.asarray(base.flows, dtype=np.float64)[iv])
    assert (seg.geom_type == "LineString").all() and seg.crs.to_epsg() == 4326

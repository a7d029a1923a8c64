"""The lumo command end to end: files written, a run repeated from its
run.toml to the bit, bad input named with exit status 2, Ctrl-C with 130 and
nothing half-written under a final name, and lumo inspect."""

import filecmp
import os
import signal
import subprocess
import sys
import time
import tomllib

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pytest.importorskip("click")
pytest.importorskip("plotly")
pytest.importorskip("pyarrow")

from click.testing import CliRunner  # noqa: E402
from test_gtfs import DAY, FEED, KUOPIO, replace, write_feed  # noqa: E402

KUOPIO_ZIP = os.path.join(KUOPIO, "gtfs", "kuopio.zip")
needs_kuopio = pytest.mark.skipif(not os.path.exists(KUOPIO_ZIP),
                                  reason="the shared Kuopio data is not beside the checkout")
TABLES = ["line_summary", "segment_loads", "skims", "stop_boardings"]


def lumo(*args):
    from lumo.cli import main
    return CliRunner().invoke(main, [str(a) for a in args], catch_exceptions=False)


def final_files(folder):
    return sorted(os.listdir(folder)) if os.path.isdir(folder) else []


def same_files(a, b):
    names = final_files(a)
    assert names == final_files(b)
    return [n for n in names if not filecmp.cmp(os.path.join(a, n), os.path.join(b, n),
                                                shallow=False)]


@pytest.fixture(scope="module")
def feed(tmp_path_factory):
    return write_feed(str(tmp_path_factory.mktemp("feed")))


def test_assign_writes_every_file_and_run_toml_repeats_it(feed, tmp_path):
    out = tmp_path / "a"
    r = lumo("assign", feed, "--date", DAY, "--start", "07:00", "--end", "09:00", "--out", out,
             "--wait-factor", "1.5", "--boarding-penalty", "2", "-q")
    assert r.exit_code == 0, r.output
    names = final_files(out)
    assert names == sorted(["report.html", "run.toml", "skims.omx"]
                           + [t + ".parquet" for t in TABLES]
                           + (["layers.gpkg"] if "layers.gpkg" in names else []))
    run = tomllib.loads((out / "run.toml").read_text())
    assert run["network"]["wait_factor"] == 1.5 and run["network"]["boarding_penalty"] == 2.0
    assert run["checksums"]["feed"].startswith("sha256:") and run["lumo_version"]
    assert os.path.isabs(run["feed"])
    # the tables hold the run: skims' cost is perceived, its parts in minutes
    skims = pd.read_parquet(out / "skims.parquet")
    ok = np.isfinite(skims["cost"])
    assert ok.any()
    rebuilt = (1.5 * skims["wait"] + skims["ride"] + skims["walk"] + 2 * skims["boardings"])[ok]
    np.testing.assert_allclose(rebuilt, skims["cost"][ok], rtol=2e-6, atol=2e-5)
    report = (out / "report.html").read_text()
    assert "gravity demand" in report and "wait_factor = 1.5" in report

    again = tmp_path / "b"
    r = lumo("assign", out / "run.toml", "--out", again, "-q")
    assert r.exit_code == 0, r.output
    assert same_files(out, again) == []
    # an option overrides the record, and changes what is written
    other = tmp_path / "c"
    assert lumo("assign", out / "run.toml", "--out", other, "--csv", "-q").exit_code == 0
    assert "skims.csv" in final_files(other) and "skims.parquet" not in final_files(other)


def test_config_file_with_paths_beside_it(feed, tmp_path):
    cfg = tmp_path / "run.toml"
    cfg.write_text(f'feed = "{os.path.relpath(feed, tmp_path)}"\ndate = "{DAY}"\n'
                   'out = "results"\ncongested = true\n\n[congestion]\ncapacity = 2.0\n'
                   'max_iters = 4\n\n[network]\nin_vehicle_factor = { 3 = 1.2 }\n')
    r = lumo("assign", cfg, "-q")
    assert r.exit_code == 0, r.output
    out = tmp_path / "results"
    run = tomllib.loads((out / "run.toml").read_text())
    assert run["congested"] is True and run["network"]["in_vehicle_factor"] == {"3": 1.2}
    assert "Convergence of the congested run" in (out / "report.html").read_text()


def test_zones_and_demand_from_files(feed, tmp_path):
    h5py = pytest.importorskip("h5py")
    zones = tmp_path / "zones.csv"
    zones.write_text("id,lat,lon\nZA,60.0,25.0\nZB,60.012,25.02\nZC,60.014,25.03\n")
    omx = tmp_path / "demand.omx"
    # the file's zones in another order than the network's: matched by id
    with h5py.File(omx, "w") as f:
        f.attrs["OMX_VERSION"] = b"0.2"
        f.attrs["SHAPE"] = np.array([3, 3], dtype=np.int32)
        f.create_dataset("data/am", data=np.array([[0, 5, 2], [1, 0, 3], [4, 0, 0]], np.float32))
        f.create_dataset("lookup/zone_id", data=np.array([b"ZC", b"ZA", b"ZB"]))
    out = tmp_path / "out"
    r = lumo("assign", feed, "--date", DAY, "--zones", zones, "--demand", omx,
             "--demand-matrix", "am", "--out", out, "-q")
    assert r.exit_code == 0, r.output
    skims = pd.read_parquet(out / "skims.parquet")
    assert set(skims["origin_id"]) == {"ZA", "ZB", "ZC"}
    from lumo import arrays, gtfs
    net = gtfs.load(feed, DAY, "07:00", "09:00", zones=str(zones), progress=False)
    demand = np.array([[0, 3, 1], [0, 0, 4], [5, 2, 0]], np.float32)  # in ZA, ZB, ZC order
    direct = arrays.assign(net, demand, components=True, progress=False)
    assert skims["cost"].to_numpy().tobytes() == gtfs.skims(net, direct)["cost"].to_numpy(
        ).tobytes()
    page = (out / "report.html").read_text()
    assert "read from demand.omx (matrix am)" in page and "gravity demand" not in page
    run = tomllib.loads((out / "run.toml").read_text())
    assert set(run["checksums"]) == {"feed", "zones", "demand"}


BAD = [
    ("feed row", lambda f, d: (write_feed(d, replace(FEED, "stop_times.txt", "t0730,07:33:00",
                                                     "t0730,25:61:00")), []),
     "stop_times.txt, row 5: arrival_time '25:61:00'"),
    ("no date", lambda f, d: (f, ["--date", ""]), "date: is required"),
    ("bad clock", lambda f, d: (f, ["--start", "7h"]), "start"),
    ("missing demand", lambda f, d: (f, ["--demand", os.path.join(d, "none.omx")]),
     "demand: "),
    ("missing feed", lambda f, d: (os.path.join(d, "nowhere.zip"), []), "nowhere.zip"),
]


@pytest.mark.parametrize("case, make, text", BAD, ids=[b[0] for b in BAD])
def test_bad_input_exits_2_naming_it(feed, tmp_path, case, make, text):
    path, extra = make(feed, str(tmp_path))
    out = tmp_path / "out"
    r = lumo("assign", path, "--date", DAY, *extra, "--out", out, "-q")
    assert r.exit_code == 2, r.output
    assert text in r.output
    assert final_files(out) == []


def test_bad_config_names_file_and_setting(feed, tmp_path):
    cfg = tmp_path / "c.toml"
    for body, text in [(f'feed = "{feed}"\ndate = "{DAY}"\n[network]\nwalk_factr = 2\n',
                        "c.toml: network.walk_factr: is not a setting"),
                       (f'feed = "{feed}"\ndate = "{DAY}"\n[network]\nwait_factor = -1\n',
                        "c.toml: network.wait_factor: must be a finite number > 0"),
                       ('feed = "x"\ndate = 2024-03-12\n', "c.toml: date: must be a text"),
                       ('feed = [\n', "c.toml: syntax:")]:
        cfg.write_text(body)
        r = lumo("assign", cfg, "-q")
        assert r.exit_code == 2 and text in r.output, (body, r.output)
    # a record whose input has changed since is refused
    r = lumo("assign", feed, "--date", DAY, "--out", tmp_path / "o", "-q")
    assert r.exit_code == 0
    record = (tmp_path / "o" / "run.toml").read_text()
    copy = write_feed(str(tmp_path), replace(FEED, "stops.txt", "Alpha", "Alfa"))
    (tmp_path / "r.toml").write_text(record.replace(f'feed = "{feed}"', f'feed = "{copy}"'))
    r = lumo("assign", tmp_path / "r.toml", "--out", tmp_path / "p", "-q")
    assert r.exit_code == 2 and "checksums.feed" in r.output and "has changed" in r.output


def test_interrupted_writing_leaves_no_final_file(feed, tmp_path, monkeypatch):
    from lumo import report

    def interrupted(*args, **kw):
        raise KeyboardInterrupt

    # Ctrl-C after the skims and tables are written, while the page is
    monkeypatch.setattr(report, "write_report", interrupted)
    out = tmp_path / "out"
    r = lumo("assign", feed, "--date", DAY, "--out", out, "-q")
    assert r.exit_code == 130
    assert final_files(out) == []  # nor the temporary folder


@needs_kuopio
def test_ctrl_c_in_a_real_run(tmp_path):
    out = tmp_path / "out"
    with subprocess.Popen([sys.executable, "-m", "lumo.cli", "assign", KUOPIO_ZIP, "--date",
                           "2017-03-14", "--out", str(out)], stderr=subprocess.PIPE,
                          text=True) as proc:
        # interrupt once the network is being built (its first record)
        line = ""
        while "reading feed" not in line and "building" not in line:
            line = proc.stderr.readline()
            assert line, "the run ended before it was interrupted"
        time.sleep(0.2)
        proc.send_signal(signal.SIGINT)
        rest = proc.stderr.read()
        assert proc.wait(timeout=60) == 130, rest
    assert "interrupted" in rest
    assert final_files(out) == []


@needs_kuopio
def test_kuopio_end_to_end(tmp_path):
    out = tmp_path / "k"
    r = lumo("assign", KUOPIO_ZIP, "--date", "2017-03-14", "--start", "07:00", "--end", "09:00",
             "--out", out, "-q")
    assert r.exit_code == 0, r.output
    loads = pd.read_parquet(out / "segment_loads.parquet")
    lines = pd.read_parquet(out / "line_summary.parquet")
    assert len(lines) == 81 and loads["load"].max() > 0
    # a second run from the record gives the same bytes in every file
    again = tmp_path / "k2"
    assert lumo("assign", out / "run.toml", "--out", again, "-q").exit_code == 0
    assert same_files(out, again) == []


def test_inspect(feed):
    r = lumo("inspect", feed)
    assert r.exit_code == 0, r.output
    text = r.output
    # 2024: WK runs 262 weekdays; SAT Saturdays; EXTRA adds 2024-03-12
    assert "Service days:" in text and "from 2024-01-01 to 2024-12-31" in text
    assert "Test Transit: 2 bus (3)" in text and "Test Transit: 1 tram (0)" in text
    assert "Left out by load:" in text
    r = lumo("inspect", feed, "--date", "2024-03-12", "--start", "07:00", "--end", "09:00")
    assert "On 2024-03-12 07:00-09:00:" in r.output
    assert lumo("inspect", os.path.join(os.path.dirname(feed), "nowhere.zip")).exit_code == 2


def test_congested_capacity_is_places_per_vehicle(feed, tmp_path):
    # The run and the tables count the window's minutes themselves: the
    # command passes the places of one vehicle, never places × minutes.
    out = tmp_path / "cap"
    r = lumo("assign", feed, "--date", DAY, "--start", "07:00", "--end", "09:00", "--congested",
             "--capacity", "2", "--max-iters", "3", "--out", out, "-q")
    assert r.exit_code == 0, r.output
    loads = pd.read_parquet(out / "segment_loads.parquet")
    per_vehicle = loads["capacity"] * loads["headway"] / 120.0
    assert np.allclose(per_vehicle.to_numpy(), 2.0, rtol=1e-6)

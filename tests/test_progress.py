"""Progress: bars on a terminal, log records elsewhere, silence when asked;
never a changed bit in the results."""

import logging

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("tqdm")

import importlib  # noqa: E402

from test_gtfs import _OnFirstUse  # noqa: E402

# imported when first used, not at collection (other tests inspect the
# package's namespace)
arrays = _OnFirstUse("lumo.arrays")
_arrays = _OnFirstUse("lumo._arrays")


@pytest.fixture(scope="module")
def mid():
    """A network whose assignment takes a few tenths of a second: long
    enough for the waiting thread to look at the count several times."""
    rng = np.random.default_rng(1)
    s = 350
    al = [rng.choice(s, size=20, replace=False).tolist() for _ in range(90)]
    net = arrays.Network.from_lines(al, rng.uniform(0.02, 0.2, 90),
                                    [rng.uniform(1, 5, 19) for _ in al], n_stops=s)
    d = rng.uniform(0, 1, (s, s)).astype(np.float32)
    np.fill_diagonal(d, 0)
    return net, d


def raw(net, d, progress):
    return _arrays.assign(tail=net.tail, head=net.head, freq=net.freq, cost=net.cost,
                          kind=net.kind, n_nodes=net.n_nodes, demand=d, n_zones=d.shape[0],
                          destinations=None, per_destination=False, components=True,
                          threads=None, progress=progress)


def same(a, b):
    for name in ("flows", "cost", "wait", "ride", "walk", "boardings"):
        assert np.asarray(getattr(a, name)).tobytes() == np.asarray(getattr(b, name)).tobytes()
    assert a.total_cost == b.total_cost


def test_native_count_of_destinations(mid):
    net, d = mid
    seen = []
    watched = raw(net, d, seen.append)
    plain = raw(net, d, None)
    assert seen, "the count was never looked at"
    assert seen == sorted(seen) and 0 <= seen[0] and seen[-1] <= d.shape[0]
    for key in ("flows", "cost", "wait", "ride", "boardings"):
        assert bytes(watched[key]) == bytes(plain[key])
    assert watched["total_cost"] == plain["total_cost"]

    def broken(done):
        raise ZeroDivisionError("from the bar")

    # a bar that fails stops the computation with its error
    with pytest.raises(ZeroDivisionError, match="from the bar"):
        raw(net, d, broken)


def test_bars_on_a_terminal(mid, monkeypatch, capsys):
    net, d = mid
    monkeypatch.setattr(importlib.import_module("lumo._progress"), "_terminal", lambda: True)
    shown = arrays.assign(net, d, components=True)
    err = capsys.readouterr().err
    assert "assigning" in err and "destinations" in err
    hidden = arrays.assign(net, d, components=True, progress=False)
    assert capsys.readouterr().err == ""
    same(shown, hidden)
    # two ways from 0 to 2 that fill up: the run goes on to its last iteration
    small = arrays.Network.from_lines([[0, 1, 2], [0, 2]], [0.1, 0.2], [[3, 4], [9]], n_stops=3)
    dem = np.zeros((3, 3), np.float32)
    dem[0, 2] = 30.0
    a = arrays.assign_congested(small, dem, 5.0, max_iters=7, tol=0.0)
    err = capsys.readouterr().err
    assert a.convergence.iterations == 7
    assert "congested" in err and "7/7" in err and "gap=" in err
    same(a, arrays.assign_congested(small, dem, 5.0, max_iters=7, tol=0.0, progress=False))


def test_records_without_a_terminal(mid, caplog, tmp_path):
    from test_gtfs import DAY, write_feed

    from lumo import gtfs
    net, d = mid
    feed = write_feed(str(tmp_path))
    with caplog.at_level(logging.INFO, logger="lumo"):
        gtfs.load(feed, DAY, "07:00", "09:00")
        arrays.assign(net, d)
    steps = {r.step: r for r in caplog.records if hasattr(r, "step")}
    assert {"reading feed", "building network", "assigning"} <= set(steps)
    assert steps["assigning"].done == steps["assigning"].total == d.shape[0]
    assert steps["reading feed"].done >= 5  # routes, trips, stops, stop times, calendars
    caplog.clear()
    with caplog.at_level(logging.INFO, logger="lumo"):
        gtfs.load(feed, DAY, "07:00", "09:00", progress=False)
        arrays.assign(net, d, progress=False)
    assert not [r for r in caplog.records if hasattr(r, "step")]


def test_progress_argument_is_checked(mid):
    net, d = mid
    with pytest.raises(arrays.InputError, match="progress must be True or False"):
        arrays.assign(net, d, progress="yes")

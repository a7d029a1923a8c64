"""Perceived costs: the skims' cost is the weighted sum of its components in
minutes, pair by pair; neutral weights change no bit; a wait weight draws
more lines into the strategy while the shares stay by frequency; in a
congested run the capacity follows the nominal frequency."""

import pytest

np = pytest.importorskip("numpy")

from test_gtfs import _OnFirstUse  # noqa: E402

arrays = _OnFirstUse("lumo.arrays")


def random_lines(seed, n_stops=9, n_lines=6):
    rng = np.random.default_rng(seed)
    alignments = []
    for _ in range(n_lines):
        k = int(rng.integers(2, 6))
        alignments.append(rng.choice(n_stops, size=k, replace=False).tolist())
    freqs = rng.uniform(0.02, 0.3, n_lines)
    times = [rng.uniform(1.0, 9.0, len(a) - 1) for a in alignments]
    demand = rng.uniform(0, 5, (n_stops, n_stops)).astype(np.float32)
    np.fill_diagonal(demand, 0)
    return alignments, freqs, times, demand


def per_line_parts(net, result_of, n_lines):
    """Per line, the expected riding minutes and boardings of every pair, by
    the components of the same strategies with one line's minutes kept."""
    ride, board = [], []
    for ln in range(n_lines):
        on = net.arc_line == ln
        for kind, out in ((arrays.IN_VEHICLE, ride), (arrays.BOARDING, board)):
            mins = np.zeros(net.n_arcs, np.float32)
            pick = on & (net.kind == kind)
            mins[pick] = net.minutes[pick] if kind == arrays.IN_VEHICLE else 1.0
            probe = arrays.Network(net.tail, net.head, net.freq, net.cost, net.kind,
                                   n_nodes=net.n_nodes, arc_line=net.arc_line, minutes=mins,
                                   wait_factor=net.wait_factor)
            out.append(result_of(probe).ride)
    return ride, board


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("congested", [False, True])
def test_perceived_cost_is_the_weighted_sum_of_its_parts(seed, congested):
    alignments, freqs, times, demand = random_lines(seed)
    rng = np.random.default_rng(100 + seed)
    w = float(rng.uniform(1.2, 3.0))
    ivf = rng.uniform(0.8, 1.6, len(alignments))
    pen = rng.uniform(0.0, 6.0, len(alignments))
    net = arrays.Network.from_lines(alignments, freqs, times, wait_factor=w,
                                    boarding_penalty=pen, in_vehicle_factor=ivf)

    def result_of(n):
        if congested:
            return arrays.assign_congested(n, demand, 3.0, max_iters=5, components=True,
                                           progress=False)
        return arrays.assign(n, demand, components=True, progress=False)

    r = result_of(net)
    ride, board = per_line_parts(net, result_of, len(alignments))
    # riding is split over the lines exactly as a whole
    np.testing.assert_allclose(sum(ride), r.ride, rtol=1e-5, atol=1e-4)
    rebuilt = (w * r.wait.astype(np.float64)
               + sum(ivf[ln] * ride[ln].astype(np.float64) + pen[ln] * board[ln]
                     for ln in range(len(alignments))))
    ok = np.isfinite(r.cost) & ~np.isnan(r.cost)
    np.fill_diagonal(ok, False)
    assert ok.sum() > 10
    np.testing.assert_allclose(rebuilt[ok], r.cost[ok], rtol=2e-5, atol=1e-4)
    # the parts are minutes: riding is no more than the longest line's time
    assert (r.ride[ok] <= sum(t.sum() for t in times)).all()


def test_neutral_weights_change_no_bit():
    alignments, freqs, times, demand = random_lines(7)
    plain = arrays.Network.from_lines(alignments, freqs, times)
    neutral = arrays.Network.from_lines(alignments, freqs, times, wait_factor=1.0,
                                        boarding_penalty=np.zeros(len(alignments)),
                                        in_vehicle_factor=[1.0] * len(alignments))
    assert neutral.minutes is None
    for run in (lambda n: arrays.assign(n, demand, components=True, progress=False),
                lambda n: arrays.assign_congested(n, demand, 2.0, max_iters=3, components=True,
                                                  progress=False)):
        a, b = run(plain), run(neutral)
        for name in ("flows", "cost", "wait", "ride", "walk", "boardings"):
            assert getattr(a, name).tobytes() == getattr(b, name).tobytes(), name
        assert a.total_cost == b.total_cost


def two_lines(w, fast_freq=0.1, slow_freq=0.05, slow_time=14.0):
    """Stop 0 to stop 1 by a frequent fast line (10 min) or a slower one."""
    return arrays.Network.from_lines([[0, 1], [0, 1]], [fast_freq, slow_freq],
                                     [[10.0], [slow_time]], wait_factor=w)


def test_wait_weight_draws_more_lines_with_shares_by_frequency():
    demand = np.array([[0.0, 6.0], [0.0, 0.0]], np.float32)
    attractive = []
    for w in (0.5, 1.0, 1.5, 2.0, 4.0, 8.0):
        r = arrays.assign(two_lines(w), demand, components=True, progress=False)
        net = two_lines(w)
        board = net.kind == arrays.BOARDING
        loads = r.flows[board]
        attractive.append(int((loads > 0).sum()))
        if attractive[-1] == 2:
            # the riders split as the frequencies, whatever the weight
            assert loads[0] / loads[1] == pytest.approx(0.1 / 0.05, rel=1e-5)
            # waiting in minutes is that of both lines together
            assert r.wait[0, 1] == pytest.approx(0.5 / 0.15, rel=1e-5)
        else:
            assert r.wait[0, 1] == pytest.approx(0.5 / 0.1, rel=1e-5)
        assert r.cost[0, 1] == pytest.approx(w * r.wait[0, 1] + r.ride[0, 1], rel=1e-5)
    # the slow line joins once waiting weighs enough (w * 5 min > 4 min more riding
    # plus what it saves in waiting), and stays
    assert attractive == sorted(attractive) and attractive[0] == 1 and attractive[-1] == 2


def test_congested_capacity_follows_the_nominal_frequency():
    # one line: the strategy cannot change, so the waiting minutes of a
    # congested run must not depend on how much waiting weighs
    demand = np.array([[0.0, 40.0], [0.0, 0.0]], np.float32)
    waits = []
    for w in (1.0, 2.0, 3.5):
        net = arrays.Network.from_lines([[0, 1]], [0.1], [[12.0]], wait_factor=w)
        r = arrays.assign_congested(net, demand, 500.0, decay="msa", max_iters=20,
                                    components=True, progress=False)
        waits.append(float(r.wait[0, 1]))
        assert r.cost[0, 1] == pytest.approx(w * r.wait[0, 1] + 12.0, rel=1e-5)
    assert waits[0] > 0.5 / 0.1  # congestion lengthens the wait
    assert waits == pytest.approx([waits[0]] * 3, rel=1e-4)


def test_weights_are_checked():
    with pytest.raises(arrays.InputError, match="wait_factor = 0 must be a finite number > 0"):
        arrays.Network.from_lines([[0, 1]], [0.1], [[3.0]], wait_factor=0)
    with pytest.raises(arrays.InputError, match=r"boarding_penalty\[1\] = -1.0"):
        arrays.Network.from_lines([[0, 1], [1, 0]], [0.1, 0.1], [[3.0], [3.0]],
                                  boarding_penalty=[0.0, -1.0])
    with pytest.raises(arrays.InputError, match="in_vehicle_factor must be a number or one "
                       "value per line"):
        arrays.Network.from_lines([[0, 1]], [0.1], [[3.0]], in_vehicle_factor=[1.0, 2.0])
    with pytest.raises(arrays.InputError, match="minutes must have 1 entries"):
        arrays.Network([0], [1], [0.1], [1.0], minutes=[1.0, 2.0])


def test_feed_weights_by_route_type(tmp_path):
    pytest.importorskip("pandas")
    pytest.importorskip("scipy")
    from test_gtfs import DAY, write_feed

    from lumo import gtfs
    feed = write_feed(str(tmp_path))
    plain = gtfs.load(feed, DAY, "07:00", "09:00", progress=False)
    neutral = gtfs.load(feed, DAY, "07:00", "09:00", progress=False, wait_factor=1.0,
                        boarding_penalty={3: 0.0}, in_vehicle_factor={0: 1.0})
    assert neutral.cost.tobytes() == plain.cost.tobytes() and neutral.minutes is None
    w, wf = 1.7, 2.0
    pen, ivf = {3: 2.5, 0: 1.0}, {0: 0.8}  # buses and trams; buses ride at weight 1
    net = gtfs.load(feed, DAY, "07:00", "09:00", progress=False, wait_factor=w, walk_factor=wf,
                    boarding_penalty=pen, in_vehicle_factor=ivf)
    # the minutes are those of the unweighted network, the walking costs doubled
    assert net.minutes.tobytes() == plain.cost.tobytes()
    walking = np.isin(net.kind, [arrays.WALK, arrays.ACCESS, arrays.EGRESS])
    assert walking.any()
    np.testing.assert_array_equal(net.cost[walking], plain.cost[walking] * np.float32(wf))
    assert (net.arcs["minutes"].to_numpy()[walking] == plain.cost[walking]).all()
    demand = gtfs.gravity_demand(net)

    def result_of(n):
        return arrays.assign(n, demand, components=True, progress=False)

    r = result_of(net)
    types = net.lines["route_type"].to_numpy()
    ride, board = per_line_parts(net, result_of, len(types))
    rebuilt = (w * r.wait.astype(np.float64) + wf * r.walk
               + sum(ivf.get(int(types[ln]), 1.0) * ride[ln].astype(np.float64)
                     + pen.get(int(types[ln]), 0.0) * board[ln] for ln in range(len(types))))
    ok = np.isfinite(r.cost)
    np.fill_diagonal(ok, False)
    assert ok.sum() > 20 and (r.walk[ok] > 0).any()
    np.testing.assert_allclose(rebuilt[ok], r.cost[ok], rtol=2e-5, atol=1e-4)
    # and the skims table carries the perceived cost beside the minutes
    skims = gtfs.skims(net, r)
    assert {"cost", "wait", "ride", "walk", "boardings"} <= set(skims.columns)

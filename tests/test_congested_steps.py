"""lumo.arrays.assign_congested: every step rule against the slow model (weights and
flows bit for bit, the same for 1 and 2 threads), capacity per arc and the period,
the effective frequencies on the result, the published two-line case, and a run too
large for memory refused before its first iteration."""
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import lumo
import model_congested
from model_congested import F, f32
from test_numpy_assign import random_lines, same

RULES = [("msa", ()), ("mswa", (2.0,)), ("mswa", (0.5,)), ("sra", (1.7, 0.3)),
         ("sra", (1.2, 0.05)), ("restarts", (0.5,))]


@pytest.fixture(scope="module")
def la():
    import lumo.arrays
    return lumo.arrays


def inner_assign(frm, to, freqs, costs, demands, dsts):
    labels, flows = lumo.linear_assign(frm, to, [float(v) for v in freqs], costs, demands, dsts)
    return f32(labels), f32(flows)


def model_run(la, net, demand, dsts, capacity, rule, params, beta, max_iters):
    """The model over the expanded arcs, with the demand blocks laid out as the product
    lays them out (every origin's demand, and at the destination minus their sum)."""
    n, s = net.n_nodes, demand.shape[0]
    blocks = []
    for d in dsts:
        block = [F(0)] * n
        for o in range(s):
            if o != d:
                block[o] = F(demand[o, d])
                block[d] = block[d] - F(demand[o, d])
        blocks += [float(v) for v in block]
    gaps = []
    weight = model_congested.step_weight(rule, params)
    cap = [float(c) for c in capacity] if np.ndim(capacity) else capacity
    _, x, count, _ = model_congested.congested(
        net.tail.tolist(), net.head.tolist(), net.freq.tolist(), net.cost.tolist(), blocks,
        list(dsts), cap, weight, beta, 0.0, max_iters, assign=inner_assign, gaps=gaps)
    m = net.n_arcs
    total = [F(0)] * m
    for k in range(len(dsts)):
        total = [t + v for t, v in zip(total, x[k * m:(k + 1) * m])]
    weights = [weight(k, gaps[:k - 1]) for k in range(1, count + 1)]
    return total, gaps, weights


def random_case(la, seed):
    rng = random.Random(seed)
    lines, freqs, tt, demand = random_lines(rng)
    net = la.Network.from_lines(lines, freqs, np.asarray(tt))
    return rng, net, np.asarray(demand, np.float32), list(range(1, len(tt)))


@pytest.mark.parametrize("rule,params", RULES)
@pytest.mark.parametrize("seed", range(4))
def test_rules_match_the_model_for_any_thread_count(la, rule, params, seed):
    rng, net, demand, dsts = random_case(la, seed)
    cap, beta, iters = rng.choice([1.0, 3.0, 8.0]), rng.choice([0.2, 1.0]), rng.randrange(3, 9)
    flows, gaps, weights = model_run(la, net, demand, dsts, cap, rule, params, beta, iters)
    runs = [la.assign_congested(net, demand, cap, decay=(rule, *params), beta=beta, tol=0.0,
                                max_iters=iters, destinations=dsts, threads=t) for t in (1, 2)]
    for r in runs:
        c = r.convergence
        same(c.gaps, gaps[:c.iterations])
        same(c.weights, weights[:c.iterations])
        if c.iterations == len(gaps):
            same(r.flows, flows)
    same(runs[0].flows, runs[1].flows)
    same(runs[0].effective_freq, runs[1].effective_freq)
    same(runs[0].cost, runs[1].cost)


def test_rule_weights_follow_their_definitions(la):
    """Checked on the values themselves, not only against the model."""
    net, demand = two_lines(la, 350.0)
    run = lambda decay: la.assign_congested(net, demand, 40.0, period=60, decay=decay,  # noqa: E731
                                            tol=0.0, max_iters=12).convergence
    assert run("msa").weights == [float(F(1) / F(k + 1)) for k in range(1, 13)]
    assert run(("mswa", 0.0)).weights == run("msa").weights  # d = 0 is plain averaging
    w = run(("mswa", 1.0)).weights
    assert w == [float(F(2.0 * (k + 1) / ((k + 1) * (k + 2)))) for k in range(1, 13)]
    c = run(("sra", 1.5, 0.25))
    eta = [1 / v for v in c.weights]
    assert eta[0] == 2.0
    for k in range(1, 12):
        rose = k >= 2 and c.gaps[k - 1] >= c.gaps[k - 2]
        assert eta[k] - eta[k - 1] == pytest.approx(1.5 if rose else 0.25, abs=1e-5)
    assert run(0.3).weights == [float(F(0.3))] * 12


def test_capacity_per_arc_equals_the_scalar_and_period_scales_it(la):
    rng, net, demand, dsts = random_case(la, 3)
    base = la.assign_congested(net, demand, 6.0, decay=0.25, max_iters=5, destinations=dsts)
    per_arc = la.assign_congested(net, demand, np.full(net.n_arcs, 6.0), decay=0.25,
                                  max_iters=5, destinations=dsts)
    halves = la.assign_congested(net, demand, 3.0, period=2.0, decay=0.25, max_iters=5,
                                 destinations=dsts)
    for r in (per_arc, halves):
        same(r.flows, base.flows)
        same(r.cost, base.cost)
        same(r.effective_freq, base.effective_freq)
        assert r.convergence.gaps == base.convergence.gaps
    # only the boarding arcs' values are read
    other = np.where(np.isinf(net.freq), 1e9, 6.0)
    same(la.assign_congested(net, demand, other, decay=0.25, max_iters=5,
                             destinations=dsts).flows, base.flows)
    # capacities that differ per line, against the model
    tight = np.where(net.arc_line == 0, 0.5, 6.0).astype(np.float32)
    r = la.assign_congested(net, demand, tight, decay="msa", tol=0.0, max_iters=3,
                            destinations=dsts)
    flows, gaps, _ = model_run(la, net, demand, dsts, tight, "msa", (), 0.2, 3)
    same(r.convergence.gaps, gaps[:r.convergence.iterations])
    if r.convergence.iterations == 3:
        same(r.flows, flows)


def test_period_reproduces_capacity_times_window_of_the_exact_module(la):
    rng = random.Random(11)
    lines, freqs, tt, demand = random_lines(rng)
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        mat, flows, total = lumo.mat_linear_congested_assign(lines, freqs, tt, demand, 2.5 * 40,
                                                             0.25, 0.2, 0.001, 6)
    net = la.Network.from_lines(lines, freqs, np.asarray(tt))
    r = la.assign_congested(net, np.asarray(demand), 2.5, period=40, decay=0.25, max_iters=6,
                            destinations=range(1, len(tt)))
    same(r.flows, flows)
    same([r.total_cost], [total])


def test_effective_freq_is_that_of_the_last_assignment(la):
    _, net, demand, dsts = random_case(la, 5)
    r = la.assign_congested(net, demand, 1.5, decay=0.5, max_iters=1, destinations=dsts)
    start = la.assign(net, demand, dsts, per_destination=True)
    x = [F(v) for v in np.asarray(start.dest_flows).ravel()]
    want = model_congested.effective_freqs(x, net.freq.tolist(), net.head.tolist(), 1.5, 0.2,
                                           len(dsts), net.n_arcs)
    same(r.effective_freq, want)
    assert np.all(np.isinf(r.effective_freq) == np.isinf(net.freq))
    none = la.assign_congested(net, demand, 1.5, tol=float("inf"), destinations=dsts)
    same(none.effective_freq, net.freq)


def test_capacity_and_decay_errors_name_the_argument(la):
    _, net, demand, dsts = random_case(la, 1)
    m = net.n_arcs
    cases = [({"capacity": np.ones(m + 2)}, f"capacity has {m + 2} values, the network {m} arcs"),
             ({"capacity": np.ones((2, 2))}, "capacity must be a number or one value per arc"),
             ({"capacity": -1.0}, "capacity = -1.0 must be a non-negative number"),
             ({"capacity": 1.0, "period": 0}, "period = 0.0 must be above 0"),
             ({"capacity": 1.0, "decay": "fast"}, "decay must be a number in (0, 1] or one of"),
             ({"capacity": 1.0, "decay": ("sra", 0.5, 0.1)}, "grow >= 1 > shrink > 0"),
             ({"capacity": 1.0, "decay": ("msa", 2.0)}, "takes 0 parameter(s), got 1")]
    for kw, text in cases:
        with pytest.raises(la.InputError) as e:
            la.assign_congested(net, demand, destinations=dsts, **kw)
        assert text in str(e.value)
        assert len(str(e.value)) < 120  # never the whole array


def two_lines(la, a_to_c):
    net = la.Network.from_lines([[0, 2], [0, 1, 2]], [8 / 60, 3 / 60], [[24.01], [20.01, 20.01]])
    return net, np.array([[0, 10, a_to_c], [0, 0, 10], [0, 0, 0]], np.float32)


@pytest.mark.parametrize("decay", ["msa", None])
def test_published_two_line_case(la, decay):
    """Express A-C every 3.75 min (24.01 min), local A-B-C every 10 min (20.01 + 20.01),
    20 places, beta 0.2, an hour's demand: 10 A-B, 10 B-C and 100 or 350 A-C. The
    paper's full headway of waiting is lumo's half headway at half the frequency, with
    twice the places per vehicle. Reported: 84.3 express boardings and 40.02 min A-C
    (low); 260.5 express boardings, 99.5 on the local's first segment and 97.36 min
    (high)."""
    net, _ = two_lines(la, 0.0)
    express_board = np.flatnonzero((net.kind == la.BOARDING) & (net.arc_line == 0))[0]
    local_first = np.flatnonzero((net.kind == la.IN_VEHICLE) & (net.arc_line == 1))[0]
    kw = {} if decay is None else {"decay": decay}
    for ac, board, first, minutes in ((100.0, 84.3, None, 40.02), (350.0, 260.5, 99.5, 97.36)):
        _, demand = two_lines(la, ac)
        r = la.assign_congested(net, demand, 40, period=60, tol=1e-6, max_iters=2000, **kw)
        assert r.convergence.converged
        assert r.flows[express_board] == pytest.approx(board, abs=0.5)
        if first is not None:
            assert r.flows[local_first] == pytest.approx(first, abs=0.5)
        assert r.cost[0, 2] == pytest.approx(minutes, abs=0.1)


def test_too_large_a_run_fails_before_any_iteration():
    code = textwrap.dedent("""
        import resource
        import numpy as np
        import lumo.arrays as la
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        z, m = 3000, 400_000
        tail = np.arange(m) % z
        head = (np.arange(m) + 1) % z
        net = la.Network(tail, head, np.full(m, 0.1), np.ones(m))
        demand = np.ones((z, z), np.float32)
        seen = []
        try:
            la.assign_congested(net, demand, 10.0, progress=lambda k, g: seen.append(k))
        except MemoryError as e:
            print("MemoryError", e, seen)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("MemoryError a congested run over 3000 destinations and "
                                 "400000 arcs needs 4.84 GB"), out.stdout
    assert out.stdout.rstrip().endswith("[]")

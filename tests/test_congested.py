import logging
import os
import re
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest

import lumo
from model_congested import F, FLOOR, INF, congested, effective_freqs, f32, gap_parts

HERE = os.path.dirname(os.path.abspath(__file__))
NO_CONV = re.compile(r"linear_congested_assign: no convergence after (\d+) iterations "
                     r"\(gap (\S+) > tol (\S+)\)$")


def bits(values):
    a = np.asarray(values, dtype=np.float32).reshape(-1)
    return np.where(np.isnan(a), np.uint32(0x7FC00000), a.view(np.uint32)).tolist()


def assign(frm, to, freqs, costs, demands, dsts):
    labels, flows = lumo.linear_assign(frm, to, [float(v) for v in freqs], costs, demands, dsts)
    return f32(labels), f32(flows)


def run(*args, **kw):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        labels, flows = lumo.linear_congested_assign(*args, **kw)
    assert all(w.category is RuntimeWarning for w in caught)
    return labels, flows, [str(w.message) for w in caught]


def blend(x, y, alpha):
    keep, alpha = F(1) - F(alpha), F(alpha)
    return [a * keep + b * alpha for a, b in zip(x, y)]


def network(seed, n_stops=6, n_lines=3, n_dsts=3):
    """Lines over stops: boarding arcs (finite frequency) into route nodes, in-vehicle and
    alighting arcs without waiting, so that boarders share the room left on board."""
    rng = np.random.default_rng(seed)
    frm, to, freqs, costs = [], [], [], []
    node = n_stops
    for _ in range(n_lines):
        stops = rng.permutation(n_stops)[: rng.integers(2, n_stops + 1)]
        f = float(F(rng.uniform(0.02, 0.5)))
        for p, s in enumerate(stops):
            arcs = [(s, node + p, f, float(F(rng.uniform(0, 2))))] if p + 1 < len(stops) else []
            if p > 0:
                arcs += [(node + p - 1, node + p, INF, float(F(rng.uniform(1, 15)))),
                         (node + p, s, INF, 0.0)]
            for u, v, fr, c in arcs:
                frm.append(int(u)), to.append(int(v)), freqs.append(float(fr)), costs.append(c)
        node += len(stops)
    dsts = [int(d) for d in rng.permutation(n_stops)[:n_dsts]]
    demands = [float(F(rng.uniform(0, 10))) if i < n_stops else 0.0
               for _ in dsts for i in range(node)]
    return frm, to, freqs, costs, demands, dsts, float(F(rng.uniform(2, 40)))


def check_warning(msgs, count, gap, tol, max_iters):
    """The warning, iff the count hit the limit above tol, carries the count, gap and tol."""
    expected = count == max_iters and count > 0 and gap > F(tol)
    assert len(msgs) == expected
    m = expected and NO_CONV.match(msgs[0])
    assert not expected or (int(m[1]), bits([F(float(m[2])), F(float(m[3]))])) == \
        (count, bits([gap, F(tol)]))


SETTINGS = [(0.01, 0.2, 0.001, 1000), (0.5, 0.2, 0.65, 60), (1.0, 1.0, 0.01, 5),
            (0.0, 0.2, 0.001, 3), (0.8, 2.0, 0.62, 200)] + [(0.3, 0.5, 1e-6, m) for m in range(1, 6)]


@pytest.mark.parametrize("seed", range(5))
@pytest.mark.parametrize("alpha,beta,tol,max_iters", SETTINGS)
def test_matches_model(seed, alpha, beta, tol, max_iters):
    net = network(seed)
    labels, flows, count, gap = congested(*net, alpha, beta, tol, max_iters, assign=assign)
    got_labels, got_flows, msgs = run(*net, alpha, beta, tol, max_iters)
    assert bits(got_labels) == bits(labels) and bits(got_flows) == bits(flows)
    check_warning(msgs, count, gap, tol, max_iters)


@pytest.mark.parametrize("tol,max_iters", [(float("inf"), 5), (float("nan"), 5), (0.001, 0)])
def test_no_iteration_gives_uncongested(tol, max_iters):
    net = network(1)
    labels, flows, msgs = run(*net, tol=tol, max_iters=max_iters)
    assert (bits(labels), bits(flows)) == tuple(map(bits, assign(*net[:6]))) and msgs == []


@pytest.mark.parametrize("alpha,iters", [(0.25, 1), (1.0, 4), (0.0, 4)])
def test_hand_composed_iterations(alpha, iters):
    frm, to, freqs, costs, demands, dsts, cap = net = network(3)
    n, gaps = max(max(frm), max(to)) + 1, []
    outgoing = {u: [a for a in range(len(frm)) if frm[a] == u] for u in set(frm)}
    x0 = x = assign(*net[:6])[1]
    for _ in range(iters):
        eff = effective_freqs(x, freqs, to, F(cap), F(0.2), len(dsts), len(frm))
        labels, y = assign(frm, to, eff, costs, demands, dsts)
        x = blend(x, y, alpha)
        gaps.append(np.divide(*gap_parts(to, costs, eff, dsts, n, labels, x, outgoing)))
    # the newest assignment's flows with weight 1; with weight 0 nothing moves, gap included
    assert bits(x) == bits({1.0: y, 0.0: x0}.get(alpha, x))
    assert alpha != 0.0 or len(set(bits(gaps))) == 1
    got_labels, got_flows, msgs = run(*net, alpha, 0.2, -INF, iters)
    assert bits(got_labels) == bits(labels) and bits(got_flows) == bits(x)
    check_warning(msgs, iters, gaps[-1], -INF, iters)


@pytest.mark.parametrize("beta,capacity", [(0.0, None), (0.2, 0.0)])
def test_every_boarding_arc_at_floor(beta, capacity):
    frm, to, freqs, costs, demands, dsts, cap = net = network(4)
    floored = [FLOOR if np.isfinite(f) else INF for f in freqs]
    labels1, y1 = assign(frm, to, floored, costs, demands, dsts)
    labels, flows, _ = run(*net[:6], cap if capacity is None else capacity, 0.4, beta, -INF, 1)
    assert bits(labels) == bits(labels1)
    assert bits(flows) == bits(blend(assign(*net[:6])[1], y1, 0.4))


def test_full_load_gives_floor_and_no_wait_arcs_stay():
    # one boarding arc whose load equals its capacity exactly: 1 = 0.5 * 2
    one = ([0], [1], [0.5], [3.0], [1.0, 0.0], [1])
    labels, flows, _ = run(*one, 2.0, 0.5, 0.2, -INF, 1)
    at = lambda f: assign(*one[:2], [f], *one[3:])[0]
    assert np.isfinite(labels[0]) and bits(labels) == bits(at(FLOOR)) != bits(at(F(0.001)))
    assert flows == [1.0]
    # arcs without waiting keep +inf under any load
    net = ([0, 1, 0], [1, 2, 2], [INF] * 3, [2.0, 3.0, 9.0], [500.0, 80.0, 0.0], [2])
    labels0, x0 = assign(*net)
    labels, flows, _ = run(*net, 1e-3, 0.3, 0.2, -INF, 2)
    assert bits(labels) == bits(labels0) and bits(flows) == bits(blend(blend(x0, x0, 0.3), x0, 0.3))


def test_idle_boarding_arc_at_a_head_loaded_to_its_capacity_gets_the_floor():
    # Stops 0 and 1 board the same vehicle (route node 2, then 3 without
    # waiting). Nobody boards at 1, and the 2 riders from 0 fill exactly the
    # room of the service behind arc 1 (0.5 * 4): full is full even with no
    # boarders of its own, so arc 1 gets the floor.
    net = ([0, 1, 2], [2, 2, 3], [1.0, 0.5, INF], [0.0, 0.0, 1.0], [2.0, 0.0, 0.0, 0.0], [3])
    x0 = assign(*net)[1]
    eff = effective_freqs(x0, net[2], net[1], F(4), F(0.2), 1, 3)
    assert eff[1] == FLOOR and x0[1] == 0 and np.isfinite(eff[0])
    labels, flows, msgs = run(*net, 4.0, 0.5, 0.2, -INF, 1)
    assert bits(labels) == bits(assign(net[0], net[1], eff, *net[3:])[0])
    assert np.isfinite(labels[1])  # waiting 0.5 / floor, then riding 1
    want = congested(*net, 4.0, 0.5, 0.2, -INF, 1, assign=assign)
    assert bits(labels) == bits(want[0]) and bits(flows) == bits(want[1])
    check_warning(msgs, want[2], want[3], -INF, 1)


@pytest.mark.parametrize("max_iters", [1, 5])
def test_no_demand_or_destination_stops_after_one_iteration(max_iters):
    frm, to, freqs, costs, demands, dsts, cap = network(5)
    freqs[0] = 0.0005  # a boarding arc below the floor is raised to it
    raised = [max(F(f), FLOOR) if np.isfinite(f) else INF for f in freqs]
    zero = [0.0] * len(demands)
    labels, flows, msgs = run(frm, to, freqs, costs, zero, dsts, cap, 0.5, 0.2, 1e-9, max_iters)
    assert bits(labels) == bits(assign(frm, to, raised, costs, zero, dsts)[0])
    assert flows == [0.0] * len(flows) and msgs == []  # the gap is 0/0
    assert run(frm, to, freqs, costs, [], [], cap, 0.5, 0.2, 1e-9, max_iters) == ([], [], [])


DIFFER = "arc arrays differ in length: from has 2 entries, "


@pytest.mark.parametrize("frm,to,freqs,costs,message", [
    ([], [1], [1.0], [1.0], "called `Option::unwrap()` on a `None` value"),
    ([0], [], [1.0, 1.0], [1.0], "called `Option::unwrap()` on a `None` value"),
    ([0, 1], [1, 2, 2], [1.0], [1.0], DIFFER + "to has 3"),
    ([0, 1], [1], [1.0, 1.0], [1.0, 1.0], DIFFER + "to has 1"),
    ([0, 1], [1, 2], [1.0], [1.0], DIFFER + "arc_freqs has 1"),
    ([0, 1], [1, 2], [1.0, 1.0], [1.0] * 3, DIFFER + "costs has 3"),
])
def test_rejects_bad_arc_arrays_before_assignment(frm, to, freqs, costs, message):
    # the destination 99 and the missing demands would fail in the assignment
    with pytest.raises(BaseException) as info:
        lumo.linear_congested_assign(frm, to, freqs, costs, [], [99], 10.0)
    kind = type(info.value)
    assert (kind.__module__, kind.__qualname__) == ("pyo3_runtime", "PanicException")
    assert not isinstance(info.value, Exception) and info.value.args == (message,)


def test_no_convergence_warning():
    net = network(7)
    labels1, flows1, count, gap = congested(*net, max_iters=1, assign=assign)
    assert count == 1 and gap > F(0.001)  # the case must not converge in one step
    msgs = run(*net, max_iters=1)[2]
    assert msgs and msgs[0].endswith(" > tol 0.001)")
    check_warning(msgs, count, gap, 0.001, 1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match="no convergence after 1 iterations"):
            lumo.linear_congested_assign(*net, max_iters=1)
    # a gap equal to tol counts as converged
    labels, flows, msgs = run(*net, 0.01, 0.2, gap, 3)
    assert msgs == [] and bits(labels) == bits(labels1) and bits(flows) == bits(flows1)


SCRIPT = """
import sys, warnings; sys.path.insert(0, sys.argv[1])
import lumo
from test_congested import network
net = network(11, n_stops=40, n_lines=12, n_dsts=36)
for alpha, tol, iters in [(0.5, 1e-7, 12), (0.3, 0.02, 500)]:
    with warnings.catch_warnings(record=True) as w:
        warnings.simplefilter("always")
        print(lumo.linear_congested_assign(*net, alpha, 0.3, tol, iters), [str(m.message) for m in w])
"""


def test_reproducible_across_pool_sizes():
    base = {k: v for k, v in os.environ.items() if k != "RAYON_NUM_THREADS"}
    outs = [subprocess.run([sys.executable, "-c", SCRIPT, HERE], env=base | threads, check=True,
                           capture_output=True, text=True).stdout
            for threads in [{}, {"RAYON_NUM_THREADS": "1"}, {"RAYON_NUM_THREADS": "3"}]]
    assert "no convergence after 12 iterations" in outs[0] and outs[1] == outs[0] == outs[2]


def test_gap_edge_cases():
    # arcs: 0->1 (no wait), 1->0 (leaves the destination), 2->1 (tail unreachable),
    # 3->1 (waiting), 3->2 (head unreachable)
    to, costs = [1, 0, 1, 1, 2], [4.0, 1.0, 1.0, 2.0, 1.0]
    eff, out = [INF, INF, F(0.5), F(0.25), F(0.5)], {0: [0], 1: [1], 2: [2], 3: [3, 4]}
    labels = f32([4.0, 0.0, INF, 3.0])
    parts = lambda x: gap_parts(to, costs, eff, [1], 4, labels, f32(x), out)
    # a loaded no-wait arc priced by its labels adds only flow * cost, to the denominator
    assert parts([3, 0, 0, 0, 0]) == (F(0), F(12))
    # the destination's own arcs and arcs touching unreachable nodes add nothing
    assert parts([3, 7, 5, 0, 9]) == (F(0), F(12))
    # at node 3: reduced cost -1 per unit plus half of flow / frequency (waiting at half a
    # headway), the latter never below 0
    assert parts([0, 0, 0, 2, 0]) == (F(-2) + F(8) * F(0.5), F(6))
    assert parts([0, 0, 0, -2, 0]) == (F(2), F(-6))
    # the module's gap (in its no-convergence warning) on a network with the
    # same kinds of arcs: a no-wait arc, an arc leaving the destination, two
    # waiting arcs at one node, one of them into a dead end, and a pair of
    # nodes that cannot reach the destination
    net = ([0, 1, 3, 3, 4], [1, 0, 1, 2, 5], [INF, 0.5, 0.25, 0.5, 0.5], [4.0, 1.0, 2.0, 1.0, 1.0],
           [3.0, 0.0, 0.0, 2.0, 7.0, 0.0], [1])
    for capacity in (1.0, 100.0):
        labels, flows, msgs = run(*net, capacity, 0.5, 0.2, -INF, 1)
        want = congested(*net, capacity, 0.5, 0.2, -INF, 1, assign=assign)
        assert bits(labels) == bits(want[0]) and bits(flows) == bits(want[1])
        check_warning(msgs, want[2], want[3], -INF, 1)


# --- the gap, progress records and the warning's function name -------------------------------

class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.INFO)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def records():
    logger, handler = logging.getLogger("lumo"), Records()
    old_level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    yield handler.records
    logger.removeHandler(handler)
    logger.setLevel(old_level)


def check_records(recs, function, gaps, tol):
    """One record per iteration carrying the model's gap, then the final record."""
    *steps, last = recs
    assert all(r.name == "lumo" and r.levelno == logging.INFO for r in recs)
    assert all(r.thread == threading.get_ident() for r in recs)  # emitted by the caller
    assert [(r.function, r.iteration) for r in steps] == [(function, k + 1) for k in range(len(gaps))]
    assert bits([r.gap for r in steps]) == bits(gaps) and all(r.seconds >= 0 for r in steps)
    assert all(r.getMessage() == f"{function}: iteration {r.iteration}, gap {r.gap:.6g}, "
               f"{r.seconds:.3f} s" for r in steps)
    converged = bool(gaps) and gaps[-1] <= F(tol)
    assert (last.function, last.iterations, last.converged) == (function, len(gaps), converged)
    assert bits([last.gap, last.tol]) == bits([gaps[-1] if gaps else np.nan, F(tol)])
    assert last.getMessage() == (f"{function}: {len(gaps)} iterations, gap {last.gap:.6g}, "
                                 f"tol {last.tol:.6g}, {'' if converged else 'not '}converged")


@pytest.mark.parametrize("seed,alpha,tol,max_iters", [(3, 0.5, 1e-3, 40), (1, 0.3, 1e-6, 4),
                                                      (2, 0.2, float("inf"), 5)])
def test_progress_records(records, seed, alpha, tol, max_iters):
    net, gaps = network(seed), []
    labels, flows, count, gap = congested(*net, alpha, 0.2, tol, max_iters, assign=assign, gaps=gaps)
    got = run(*net, alpha, 0.2, tol, max_iters)
    assert bits(got[0]) == bits(labels) and bits(got[1]) == bits(flows)
    check_records(records, "linear_congested_assign", gaps, tol)


def test_gap_counts_waiting_as_the_labels_do(records):
    # a small congested network on which the gap falls geometrically below 1e-3, where the
    # full-headway measure stays above 0.5 for as long as one cares to iterate
    net, gaps, full = network(3), [], []
    congested(*net, 0.5, 0.2, -1.0, 40, assign=assign, gaps=full, waiting=F(1))
    assert min(full) > 0.5
    labels, flows, count, gap = congested(*net, 0.5, 0.2, 1e-3, 40, assign=assign, gaps=gaps)
    assert count < 15 and gap <= F(1e-3) and gaps[0] > 0.1
    got = run(*net, 0.5, 0.2, 1e-3, 40)
    assert bits(got[0]) == bits(labels) and bits(got[1]) == bits(flows) and got[2] == []
    check_records(records, "linear_congested_assign", gaps, 1e-3)


def test_line_form_records_and_warning_name_the_function(records):
    lines, freqs = [[0, 1, 2, 3], [3, 1, 0], [2, 0]], [0.1, 0.2, 0.05]
    ttm = [[0.0, 4.0, 9.0, 12.0], [3.0, 0.0, 5.0, 8.0], [6.0, 2.0, 0.0, 3.0], [9.0, 4.0, 7.0, 0.0]]
    dm = [[0.0, 30.0, 20.0, 50.0], [0.0, 0.0, 40.0, 10.0], [0.0, 25.0, 0.0, 35.0], [0.0, 45.0, 5.0, 0.0]]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        lumo.mat_linear_congested_assign(lines, freqs, ttm, dm, 2.0, 0.3, 0.2, 1e-9, 3)
    msgs = [str(w.message) for w in caught]
    assert len(msgs) == 1 and msgs[0].startswith("mat_linear_congested_assign: no convergence after 3 ")
    *steps, last = records
    assert [r.iteration for r in steps] == [1, 2, 3] and last.iterations == 3
    assert {r.function for r in records} == {"mat_linear_congested_assign"} and not last.converged
    # the warning's gap is the last record's
    m = NO_CONV.match(msgs[0][len("mat_"):])
    assert m and bits([F(float(m[2]))]) == bits([last.gap]) and m[3] == "1e-09"


def test_nan_nominal_frequency_is_never_congested():
    frm, to, freqs, costs, demands, dsts, cap = network(2)
    boarding = [a for a, f in enumerate(freqs) if np.isfinite(f)]
    a = boarding[0]
    freqs[a] = float("nan")
    x0 = assign(frm, to, freqs, costs, demands, dsts)[1]
    eff = effective_freqs(x0, freqs, to, F(cap), F(0.2), len(dsts), len(frm))
    assert eff[a] == INF  # kept, like an arc without waiting
    floored = eff[:a] + [FLOOR] + eff[a + 1:]
    labels1, y1 = assign(frm, to, eff, costs, demands, dsts)
    assert bits(labels1) != bits(assign(frm, to, floored, costs, demands, dsts)[0])  # it matters
    labels, flows, _ = run(frm, to, freqs, costs, demands, dsts, cap, 0.25, 0.2, -INF, 1)
    assert bits(labels) == bits(labels1) and bits(flows) == bits(blend(x0, y1, 0.25))


QUIET = """
import sys; sys.path.insert(0, sys.argv[1])
import lumo, threading
from test_congested import network
net = network(3)
if sys.argv[2] == "configured":
    import logging
    logging.basicConfig(level=logging.INFO)
out = {}
worker = threading.Thread(target=lambda: out.setdefault("t", lumo.linear_congested_assign(*net, 0.5, 0.2, 1e-3, 40)))
worker.start(); worker.join()
assert out["t"] == lumo.linear_congested_assign(*net, 0.5, 0.2, 1e-3, 40)
"""


def test_nothing_printed_unless_logging_is_configured():
    def go(mode):
        r = subprocess.run([sys.executable, "-c", QUIET, HERE, mode], capture_output=True, text=True,
                           timeout=120)
        assert r.returncode == 0, r.stderr
        return r.stdout, r.stderr.splitlines()

    assert go("default") == ("", [])
    out, err = go("configured")  # once from a thread, once from the main thread
    timeless = [re.sub(r", [0-9.]+ s$", "", e) for e in err]
    assert out == "" and timeless[:len(err) // 2] == timeless[len(err) // 2:]
    assert err[0].startswith("INFO:lumo:linear_congested_assign: iteration 1, gap ")
    assert re.fullmatch(r"INFO:lumo:linear_congested_assign: \d+ iterations, gap \S+, tol 0.001, converged",
                        err[-1])

import os
import re
import subprocess
import sys
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


def test_gap_model_edge_cases():
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

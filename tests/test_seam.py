"""The seam between lumo.arrays and its native half: one failure mapping for
both extension modules, one owner for each rule and value, nodes without arcs,
and the thread count."""
import inspect
import math
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import lumo

INF = math.inf


# Imported when the tests run, not at collection: importing a submodule adds
# it to the package's namespace, which another test reads as it is.
@pytest.fixture(scope="module", autouse=True)
def modules():
    global np_la, _arrays
    np_la = pytest.importorskip("lumo.arrays")
    from lumo import _arrays


def bits(a):
    return np.asarray(a, np.float32).view(np.uint32)


# ---------------------------------------------------------------------------
# One failure mapping

FAIL_CHILD = textwrap.dedent("""
    import sys
    import numpy as np
    import lumo
    from lumo import _arrays
    face = sys.argv[1]
    try:
        if face == "exact":
            lumo.linear_congested_assign([], [], [], [], [], [], 1.0)
        else:
            empty_i, empty_f = np.zeros(0, np.int64), np.zeros(0, np.float32)
            _arrays.congested(tail=empty_i, head=empty_i, freq=empty_f, cost=empty_f,
                              kind=None, n_nodes=1, demand=np.zeros((1, 1)), n_zones=1,
                              destinations=empty_i, capacity=np.ones(1, np.float32), step=0, decay=0.01,
                              step_param=0.0, step_param2=0.0,
                              beta=0.2, tol=0.001, max_iters=10, progress=None,
                              components=False, threads=None)
    except BaseException as e:
        print(type(e).__module__, type(e).__qualname__, repr(e.args), sep="|")
""")


def test_one_core_failure_reaches_python_alike_through_both_modules():
    # A congested run over no arcs fails in the core's network set-up; the
    # public lumo.arrays refuses it earlier, so its native half is called directly.
    seen = {}
    for face in ("exact", "arrays"):
        p = subprocess.run([sys.executable, "-c", FAIL_CHILD, face], capture_output=True,
                           text=True, timeout=60)
        report = [line for line in p.stderr.splitlines() if "panicked at" in line]
        assert len(report) == 1, p.stderr
        seen[face] = (p.stdout.strip(), re.sub(r"^thread \S+( \(pool slot \d+\))? ", "", report[0]))
    assert seen["exact"] == seen["arrays"]
    raised, where = seen["exact"]
    assert raised == "pyo3_runtime|PanicException|('called `Option::unwrap()` on a `None` value',)"
    assert re.fullmatch(r"panicked at src/core/strategy\.cpp:\d+:", where), where


def test_both_modules_share_one_panic_class():
    assert np_la.PanicException is _arrays.PanicException
    with pytest.raises(BaseException) as caught:
        lumo.linear_assign([0], [1], [1.0], [1.0], [0.0], [5])  # destination out of range
    assert type(caught.value) is np_la.PanicException


# ---------------------------------------------------------------------------
# One owner for each rule and value

def test_arc_kinds_and_defaults_come_from_the_core():
    names = ["BOARDING", "IN_VEHICLE", "ALIGHTING", "WALK", "ACCESS", "EGRESS"]
    assert [getattr(_arrays, n) for n in names] == list(range(6))
    assert [getattr(np_la, n) for n in names] == list(range(6))
    assert set(names) <= set(np_la.__all__)
    # the congested defaults: the exact module's and the numpy function's come from the
    # core; the numpy function's step is the core's default rule with its parameters
    sig = inspect.signature(np_la.assign_congested).parameters
    d = _arrays.CONGESTED_DEFAULTS
    assert d == {"decay": 0.01, "beta": 0.2, "tol": 0.001, "max_iters": 1000, "step": "sra",
                 "step_params": (1.7, 0.3)}
    assert {k: sig[k].default for k in ("beta", "tol", "max_iters")} == \
        {k: d[k] for k in ("beta", "tol", "max_iters")}
    assert sig["decay"].default == d["step"]
    assert np_la.STEP_RULES[d["step"]] == d["step_params"]
    exact = lumo.linear_congested_assign.__text_signature__
    for k, name in (("decay", "average_decay_factor"), ("beta", "beta"), ("tol", "tol"),
                    ("max_iters", "max_iters")):
        assert f"{name}={d[k]}" in exact


def test_base_network_has_no_zone_nodes():
    net = np_la.Network([0], [1], [0.5], [1.0])
    assert net.n_zones == 0
    net.n_zones = 1  # zone nodes first: the triple's ids count only those
    with pytest.raises(np_la.InputError, match=re.escape("demand origins[0] = 1 is not a zone: "
                                                         "there are 1 zones")):
        np_la.assign(net, ([1], [0], [1.0]))


def test_changed_attributes_get_the_constructors_messages():
    good = dict(tail=[0, 0], head=[1, 1], freq=[0.1, 0.2], cost=[10.0, 12.0])
    cases = [("tail", [0, 5], "tail[1] = 5 is not a node: the network has 2 nodes"),
             ("head", [1, -1], "head[1] = -1 is negative"),
             ("kind", [0, 9], "kind[1] = 9 is not an arc kind (0 … 5: BOARDING, IN_VEHICLE, "
                              "ALIGHTING, WALK, ACCESS, EGRESS)")]
    for name, bad, text in cases:
        with pytest.raises(np_la.InputError, match=re.escape(text)):
            np_la.Network(**dict(good, **{name: bad}), n_nodes=2)
        net = np_la.Network(**good, n_nodes=2)
        setattr(net, name, np.asarray(bad, np.int8 if name == "kind" else np.int64))
        for call in (lambda: np_la.assign(net, np.zeros((2, 2))),
                     lambda: np_la.assign_congested(net, np.zeros((2, 2)), 1.0)):
            with pytest.raises(np_la.InputError, match=re.escape(text)):
                call()


def test_max_iters_messages_say_what_is_wrong():
    net = np_la.Network([0, 0], [1, 1], [0.1, 0.2], [10.0, 12.0])
    demand = np.array([[0.0, 3.0], [0.0, 0.0]])
    for value, text in [(0, "max_iters = 0 must be at least 1"),
                        (-3, "max_iters = -3 must be at least 1"),
                        (2**32, "max_iters = 4294967296 is too large: at most 4294967295"),
                        (1.0, "max_iters must be an integer, got 1.0")]:
        with pytest.raises(np_la.InputError, match=re.escape(text)):
            np_la.assign_congested(net, demand, 1.0, max_iters=value)
    r = np_la.assign_congested(net, demand, 1.0, max_iters=2**32 - 1, tol=INF)
    assert r.convergence.iterations == 0


# ---------------------------------------------------------------------------
# Threads: any integer of at least 1, capped at the processors

def test_any_thread_count_of_at_least_one_works():
    net = np_la.Network([0, 0, 1, 2], [1, 2, 2, 1], [0.1, 0.2, INF, INF], [10.0, 12.0, 3.0, 1.0])
    demand = np.array([[0.0, 2.0, 5.0], [1.0, 0.0, 0.0], [0.0, 0.0, 0.0]])
    want = np_la.assign(net, demand)
    want_c = np_la.assign_congested(net, demand, 2.0)
    for n in (1, 2, 7, 65537, 2**31 - 1, 2**31, 2**32 + 65537, 2**63, 2**100):
        r = np_la.assign(net, demand, threads=n)
        c = np_la.assign_congested(net, demand, 2.0, threads=n)
        assert (bits(r.flows) == bits(want.flows)).all() and r.total_cost == want.total_cost
        assert (bits(c.flows) == bits(want_c.flows)).all()
        assert c.convergence.gaps == want_c.convergence.gaps
    for bad, text in [(0, "threads = 0 must be at least 1"),
                      (-1, "threads = -1 must be at least 1"),
                      (-2**70, f"threads = {-2**70} must be at least 1"),
                      (True, "threads must be a positive integer, got True"),
                      (1.5, "threads must be a positive integer, got 1.5"),
                      ("2", "threads must be a positive integer, got '2'")]:
        for call in (lambda: np_la.assign(net, demand, threads=bad),
                     lambda: np_la.assign_congested(net, demand, 2.0, threads=bad)):
            with pytest.raises(np_la.InputError, match=re.escape(text)):
                call()


# ---------------------------------------------------------------------------
# Nodes without arcs change no result

def random_network(rng):
    used = int(rng.integers(2, 9))
    m = int(rng.integers(1, 16))
    tail = rng.integers(0, used, m)
    head = rng.integers(0, used, m)
    tail[0], head[0] = used - 1, 0  # both ends of the node range in use
    freq = np.where(rng.random(m) < 0.5, INF, rng.choice([0.05, 0.1, 0.25, 1.0], m))
    cost = rng.choice([0.0, 1.0, 2.5, 7.0], m)
    kind = np.where(np.isinf(freq), rng.choice([1, 2, 3, 4, 5], m), 0)
    zones = int(rng.integers(1, used + 1))
    demand = np.where(rng.random((zones, zones)) < 0.6, rng.choice([0.5, 1.0, 3.0], (zones, zones)),
                      0.0)
    return tail, head, freq, cost, kind, used, demand


def same_skim(a, b, used):
    for name in ("flows", "cost", "wait", "ride", "walk", "boardings", "dest_flows"):
        x, y = getattr(a, name), getattr(b, name)
        assert (x is None) == (y is None), name
        if x is not None:
            assert x.shape == y.shape and (bits(x) == bits(y)).all(), name
    assert bits([a.total_cost]) == bits([b.total_cost])
    assert (a.destinations == b.destinations).all()
    if a.labels is not None:  # the isolated nodes have no path to any destination
        assert (bits(b.labels[:, :used]) == bits(a.labels)).all()
        assert np.isposinf(b.labels[:, used:]).all()


@pytest.mark.parametrize("block", range(4))
def test_isolated_nodes_change_no_result(block):
    rng = np.random.default_rng(block)
    for case in range(75):
        tail, head, freq, cost, kind, used, demand = random_network(rng)
        extra = int(rng.integers(1, 12))
        base = np_la.Network(tail, head, freq, cost, kind)
        wide = np_la.Network(tail, head, freq, cost, kind, n_nodes=used + extra)
        assert base.n_nodes == used
        for flags in ({}, {"per_destination": True, "components": True}):
            same_skim(np_la.assign(base, demand, **flags), np_la.assign(wide, demand, **flags),
                      used)
        if not demand.any():
            continue
        cap = float(rng.choice([0.5, 2.0, 10.0]))
        decay = [0.25, 1.0, "msa"][int(rng.integers(3))]
        a = np_la.assign_congested(base, demand, cap, decay=decay, max_iters=40,
                                   components=True)
        b = np_la.assign_congested(wide, demand, cap, decay=decay, max_iters=40,
                                   components=True)
        same_skim(a, b, used)
        assert (a.convergence.iterations, a.convergence.converged) == \
            (b.convergence.iterations, b.convergence.converged)
        assert (bits(a.convergence.gaps) == bits(b.convergence.gaps)).all()

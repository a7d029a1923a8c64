"""lumo.arrays.assign_congested: equal to the exact line-form function, the
convergence record, the progress callback, successive averages, components of
the last assignment, Ctrl-C; and the stubs checked by a type checker."""
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import lumo
import model_skim
from test_numpy_assign import random_lines, same


@pytest.fixture(scope="module")
def la():
    import lumo.arrays
    return lumo.arrays


def run_exact(*args, **kw):
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # no convergence: expected here
        return lumo.mat_linear_congested_assign(*args, **kw)


@pytest.mark.parametrize("seed", range(10))
def test_line_network_equals_exact_module(la, seed):
    rng = random.Random(seed)
    lines, freqs, tt, demand = random_lines(rng)
    cap, decay, iters = rng.choice([1.0, 5.0, 20.0]), rng.choice([0.01, 0.25, 1.0]), rng.randrange(1, 6)
    mat, flows, total = run_exact(lines, freqs, tt, demand, cap, decay, 0.2, 0.001, iters)
    net = la.Network.from_lines(lines, freqs, np.asarray(tt))
    s = len(tt)
    seen = []
    r = la.assign_congested(net, np.asarray(demand), cap, decay=decay, max_iters=iters,
                            destinations=range(1, s), progress=lambda k, g: seen.append((k, g)),
                            threads=1 + seed % 2)
    same(r.flows, flows)
    same([r.total_cost], [total])
    upper = np.triu(np.ones((s, s), bool), 1)
    same(r.cost[upper], np.asarray(mat, np.float32)[upper])
    c = r.convergence
    assert 1 <= c.iterations <= iters and len(c.gaps) == c.iterations
    assert seen == list(enumerate(c.gaps, 1))
    assert c.converged == (c.gaps[-1] <= 0.001) and not c.stopped


def kuopio(la):
    from test_numpy_assign import load
    data = load("kuopio")
    net = la.Network.from_lines(data["alignments"], data["freqs"],
                                np.asarray(data["travel_time_mat"]))
    return net, np.asarray(data["demands_mat"])


def test_progress_can_stop_the_run_and_msa_lowers_the_gap(la):
    rng = random.Random(3)
    lines, freqs, tt, demand = random_lines(rng)
    net = la.Network.from_lines(lines, freqs, np.asarray(tt))
    demand = np.asarray(demand) * 50
    r = la.assign_congested(net, demand, 2.0, decay="msa", tol=0.0, max_iters=50,
                            progress=lambda k, g: k < 3)
    assert r.convergence.iterations == 3 and r.convergence.stopped
    assert not r.convergence.converged
    # with decay 1/(k+1) the k-th average is the mean of all assignments so far:
    # the first iteration weighs the new flows by one half
    one = la.assign_congested(net, demand, 2.0, decay="msa", max_iters=1)
    half = la.assign_congested(net, demand, 2.0, decay=0.5, max_iters=1)
    same(one.flows, half.flows)
    with pytest.raises(ZeroDivisionError):
        la.assign_congested(net, demand, 2.0, max_iters=5, progress=lambda k, g: 1 / 0)


def test_components_belong_to_the_last_assignment(la):
    rng = random.Random(11)
    lines, freqs, tt, demand = random_lines(rng)
    net = la.Network.from_lines(lines, freqs, np.asarray(tt))
    demand = np.asarray(demand) * 20
    r = la.assign_congested(net, demand, 3.0, decay=0.5, max_iters=3, components=True)
    for name in ("wait", "ride", "walk", "boardings"):
        assert getattr(r, name).shape == r.cost.shape
    cols = r.destinations
    finite = np.isfinite(r.cost[:, cols])
    total = (r.wait + r.ride + r.walk)[:, cols][finite]
    assert np.allclose(total, r.cost[:, cols][finite], rtol=1e-4, atol=1e-3)
    assert (r.walk[:, cols][finite] == 0).all()
    # no iteration at all: the uncongested skim
    free = la.assign_congested(net, demand, 3.0, tol=float("inf"), components=True)
    plain = la.assign(net, demand, components=True)
    for name in ("flows", "cost", "wait", "ride", "walk", "boardings"):
        same(getattr(free, name), getattr(plain, name))
    assert free.convergence.iterations == 0


def test_congested_input_errors(la):
    net = la.Network([0], [1], [0.5], [1.0])
    d = np.zeros((2, 2))
    for kw, text in [({"decay": "fast"}, "decay must be a number in (0, 1] or one of 'msa'"),
                     ({"decay": 0.0}, "decay = 0.0 must lie in (0, 1]"),
                     ({"max_iters": 0}, "max_iters = 0 must be at least 1"),
                     ({"beta": -1}, "beta = -1.0 must be a non-negative number"),
                     ({"tol": float("nan")}, "tol = nan must be a non-negative number"),
                     ({"progress": 3}, "progress must be callable")]:
        with pytest.raises(la.InputError) as info:
            la.assign_congested(net, d, 1.0, **kw)
        assert str(info.value).startswith(text)
    with pytest.raises(la.InputError, match="capacity = -1.0"):
        la.assign_congested(net, d, -1.0)
    with pytest.raises(la.InputError, match="network has no arcs"):
        la.assign_congested(la.Network([], [], [], [], n_nodes=2), d, 1.0)


CTRL_C = """
import os, signal, sys, threading, time
sys.path.insert(0, {tests!r})
import numpy as np
import lumo.arrays as la
from test_numpy_congested import kuopio
net, demand = kuopio(la)
for call in (lambda: la.assign_congested(net, demand, 1.0, tol=0.0, max_iters=10_000),
             lambda: [la.assign(net, demand, threads=1) for _ in range(1000)]):
    threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
    start = time.monotonic()
    try:
        call()
    except KeyboardInterrupt:
        print("interrupted after", time.monotonic() - start)
"""


def test_ctrl_c_stops_both_calls(la):
    kuopio(la)  # skips without the data
    import os
    code = CTRL_C.format(tests=os.path.dirname(__file__))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert len(lines) == 2, out.stdout
    for line in lines:
        words = line.split()
        assert words[:2] == ["interrupted", "after"] and float(words[2]) < 10


USER_SCRIPT = """
import numpy as np
import lumo
from lumo.arrays import BOARDING, Assignment, InputError, Network, PanicException, assign, assign_congested

labels, flows = lumo.linear_assign([0, 0], [1, 1], [0.1, 0.2], [10.0, 12.0], [3.0, 0.0], [1])
first: float = labels[0]
mat, arc_flows, total = lumo.mat_linear_assign([[0, 1]], [0.5], [[0, 2], [0, 0]], [[0, 1], [0, 0]])
net = Network([0, 0], [1, 1], [0.1, 0.2], [10.0, 12.0], [BOARDING, BOARDING])
res: Assignment = assign(net, np.zeros((2, 2)), components=True)
cost: np.ndarray = res.cost
congested = assign_congested(net, np.zeros((2, 2)), 10.0, decay="msa", progress=lambda k, g: k < 5)
if congested.convergence is not None:
    n: int = congested.convergence.iterations
try:
    pass
except (InputError, PanicException):
    pass
"""

BAD_SCRIPT = """
import lumo
from lumo.arrays import Network, assign
lumo.linear_assign(from_=[0], to=[1], arc_freqs=[1.0], costs=[1.0], demands=[0.0], dsts=[1])
assign(Network([0], [1], [1.0], [1.0]), [[0.0]], per_destination="yes", bogus=1)
x: str = lumo.mat_linear_assign([[0, 1]], [0.5], [[0.0]], [[0.0]])[2]
"""


def test_stubs_satisfy_a_type_checker(tmp_path):
    pytest.importorskip("mypy")
    good = tmp_path / "user.py"
    good.write_text(textwrap.dedent(USER_SCRIPT))
    bad = tmp_path / "bad.py"
    bad.write_text(textwrap.dedent(BAD_SCRIPT))
    cmd = [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
           "--cache-dir", str(tmp_path / "cache")]
    ok = subprocess.run(cmd + [str(good)], capture_output=True, text=True, cwd=tmp_path)
    assert ok.returncode == 0, ok.stdout + ok.stderr
    out = subprocess.run(cmd + [str(bad)], capture_output=True, text=True, cwd=tmp_path).stdout
    assert 'Unexpected keyword argument "from_"' in out
    assert 'Unexpected keyword argument "bogus"' in out
    assert "per_destination" in out
    # and the package itself is consistently typed
    pkg = subprocess.run(cmd + ["-p", "lumo"], capture_output=True, text=True, cwd=tmp_path)
    assert pkg.returncode == 0, pkg.stdout + pkg.stderr
    assert 'Incompatible types in assignment (expression has type "float"' in out

"""lumo.arrays: the uncongested assignment against an independent float32 model
and against the exact module, buffer inputs, result memory, input errors.

lumo.arrays is imported inside fixtures, not at collection: importing a
submodule binds it in the package namespace, which the exact module's
boundary tests require to hold its four functions only.
"""
import array
import gc
import gzip
import json
import random
import re
import sys
from pathlib import Path

import numpy as np
import pytest

import lumo
import model_skim

INF = float("inf")
DATA = Path(__file__).resolve().parents[2] / "shared" / "data"
EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


@pytest.fixture(scope="module")
def la():
    import lumo.arrays
    return lumo.arrays


@pytest.fixture(scope="module")
def native():
    from lumo import _arrays
    return _arrays


def same(got, want):
    """Bit for bit, NaN included (as float32)."""
    got = np.asarray(got, dtype=np.float32)
    want = np.asarray(want, dtype=np.float32)
    assert got.shape == want.shape
    assert np.array_equal(got.view(np.uint32), want.view(np.uint32)), (got, want)


def random_arcs(rng, zones, extra):
    n = zones + extra
    m = rng.randrange(1, 4 * n)
    tail = [rng.randrange(n) for _ in range(m)]
    head = [rng.randrange(n) for _ in range(m)]
    freq = [rng.choice([INF, INF, 0.5, 0.25, 0.1, 0.05]) for _ in range(m)]
    cost = [rng.choice([0.0, 0.0, 1.0, 2.5, 7.0, rng.uniform(0, 20)]) for _ in range(m)]
    kind = [rng.randrange(6) for _ in range(m)]
    demand = [[rng.choice([0.0, 0.0, 1.0, rng.uniform(0, 5)]) for _ in range(zones)]
              for _ in range(zones)]
    return tail, head, freq, cost, kind, n, demand


@pytest.mark.parametrize("seed", range(12))
def test_skim_matches_model(la, native, seed):
    rng = random.Random(seed)
    zones = rng.randrange(1, 7)
    tail, head, freq, cost, kind, n, demand = random_arcs(rng, zones, rng.randrange(0, 9))
    dsts = rng.sample(range(zones), rng.randrange(0, zones + 1))
    kinds = kind if seed % 2 else [model_skim.IN_VEHICLE if f == INF else model_skim.BOARDING
                                   for f in freq]
    want = model_skim.skim(tail, head, freq, cost, kinds, n, demand, dsts)
    net = la.Network(tail, head, freq, cost, kind if seed % 2 else None, n_nodes=n)
    # by default every zone with demand towards it, from another zone
    found = la.assign(net, np.asarray(demand, np.float32 if seed % 2 else np.float64))
    assert found.destinations.tolist() == [
        d for d in range(zones) if any(demand[o][d] for o in range(zones) if o != d)]
    for threads, chunk in [(1, 0), (2, 0), (2, 1), (None, 2)]:
        if chunk:  # destinations held a few at a time
            out = native.assign(
                tail=net.tail, head=net.head, freq=net.freq, cost=net.cost, kind=net.kind,
                n_nodes=n, demand=np.asarray(demand, np.float32), n_zones=zones,
                destinations=np.asarray(dsts, np.int64), per_destination=False,
                components=False, threads=threads, chunk=chunk)
            flows, cst, total = out["flows"], out["cost"], out["total_cost"]
            same(flows, want[0])
            same(cst, want[1])
            same([total], [want[2]])
            continue
        r = la.assign(net, np.asarray(demand), dsts, per_destination=True, components=True,
                      threads=threads)
        same(r.flows, want[0])
        same(r.cost, want[1])
        same([r.total_cost], [want[2]])
        same(r.labels, np.asarray(want[3], np.float32).reshape(len(dsts), n))
        same(r.dest_flows, np.asarray(want[4], np.float32).reshape(len(dsts), len(tail)))
        for got, w in zip((r.wait, r.ride, r.walk, r.boardings), want[5]):
            same(got, w)


def random_lines(rng):
    s = rng.randrange(2, 9)
    lines = []
    for _ in range(rng.randrange(1, 6)):
        stops = [rng.randrange(s)]
        for _ in range(rng.randrange(1, 5)):
            stops.append(rng.choice([x for x in range(s) if x != stops[-1]]))
        lines.append(stops)
    freqs = [rng.choice([0.1, 0.2, 1 / 12, 1 / 30]) for _ in lines]
    tt = [[float(rng.randrange(1, 20)) for _ in range(s)] for _ in range(s)]
    # nothing towards stop 0, which the line form never assigns
    demand = [[0.0 if o == d or d == 0 or rng.random() < 0.3 else float(rng.randrange(1, 9))
               for d in range(s)] for o in range(s)]
    return lines, freqs, tt, demand


def exact_blocks(net, demand, s):
    """linear_assign on the expanded network, demand laid out as the line form does."""
    n = net.n_nodes
    flat = []
    for d in range(1, s):
        block = [0.0] * n
        for o in range(s):
            if o != d:
                block[o] = demand[o][d]
                block[d] -= demand[o][d]
        flat += block
    return lumo.linear_assign(net.tail.tolist(), net.head.tolist(), net.freq.tolist(),
                              net.cost.tolist(), flat, list(range(1, s)))


def check_against_exact(la, lines, freqs, tt, demand, threads=None):
    s = len(tt)
    mat, flows, total = lumo.mat_linear_assign(lines, freqs, tt, demand)
    net = la.Network.from_lines(lines, freqs, np.asarray(tt))
    r = la.assign(net, np.asarray(demand), range(1, s), per_destination=True, threads=threads)
    same(r.flows, flows)
    same([r.total_cost], [total])
    upper = np.triu(np.ones((s, s), bool), 1)
    same(r.cost[upper], np.asarray(mat, np.float32)[upper])
    assert np.isnan(r.cost[:, 0]).all() and (np.diagonal(r.cost)[1:] == 0).all()
    return net, r


@pytest.mark.parametrize("seed", range(15))
def test_line_network_equals_exact_module(la, seed):
    lines, freqs, tt, demand = random_lines(random.Random(seed))
    net, r = check_against_exact(la, lines, freqs, tt, demand)
    labels, flows = exact_blocks(net, demand, len(tt))
    same(r.labels.ravel(), labels)
    same(r.dest_flows.ravel(), flows)
    # per-line segment times give the same network as the matrix
    per_line = [[tt[a][b] for a, b in zip(ln, ln[1:])] for ln in lines]
    other = la.Network.from_lines(lines, freqs, per_line, n_stops=len(tt))
    for name in ("tail", "head", "freq", "cost", "kind", "arc_line", "arc_from_stop",
                 "arc_to_stop"):
        assert np.array_equal(getattr(other, name), getattr(net, name)), name


def test_line_network_records_kinds_lines_and_stops(la):
    # the worked example: S = 3, line 0 = [0, 1, 2], line 1 = [2, 0]
    tt = np.arange(9, dtype=np.float64).reshape(3, 3) + 1
    net = la.Network.from_lines([[0, 1, 2], [2, 0]], [0.1, 0.2], tt)
    B, V, A = la.BOARDING, la.IN_VEHICLE, la.ALIGHTING
    assert net.tail.tolist() == [0, 3, 1, 4, 4, 5, 2, 6, 7]
    assert net.head.tolist() == [3, 4, 4, 1, 5, 2, 6, 7, 0]
    assert net.kind.tolist() == [B, V, B, A, V, A, B, V, A]
    assert net.arc_line.tolist() == [0] * 6 + [1] * 3
    assert net.arc_from_stop.tolist() == [0, 0, 1, -1, 1, -1, 2, 2, -1]
    assert net.arc_to_stop.tolist() == [-1, 1, -1, 1, 2, 2, -1, 0, 0]
    assert net.cost.tolist() == [0, tt[0, 1], 0, 0, tt[1, 2], 0, 0, tt[2, 0], 0]
    assert (net.n_nodes, net.n_arcs) == (8, 9)
    # two lines over the same stops may differ in their segment times
    two = la.Network.from_lines([[0, 1], [0, 1]], [0.1, 0.1], [[3.0], [4.0]], n_stops=2)
    assert two.cost.tolist() == [0, 3, 0, 0, 4, 0]
    # three lines of four stops: per-line times of three segments each, not a 3 x 3 matrix
    lines = [[0, 1, 2, 3], [3, 2, 1, 0], [0, 2, 1, 3]]
    times = [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0], [7.0, 8.0, 9.0]]
    three = la.Network.from_lines(lines, [0.1] * 3, times)
    assert three.cost[three.kind == la.IN_VEHICLE].tolist() == list(range(1, 10))


def load(name):
    path = DATA / f"{name}.json.gz"
    if not path.exists():
        pytest.skip(f"{path} not found")
    with gzip.open(path, "rt") as fh:
        return json.load(fh)


def test_kuopio_equals_exact_module(la):
    net = load("kuopio")
    args = (net["alignments"], net["freqs"], net["travel_time_mat"], net["demands_mat"])
    check_against_exact(la, *args, threads=2)


def test_results_are_the_same_for_every_thread_count(la):
    rng = random.Random(5)
    tail, head, freq, cost, kind, n, demand = random_arcs(rng, 30, 300)
    net = la.Network(tail, head, freq, cost, kind, n_nodes=n)
    runs = [la.assign(net, np.asarray(demand), components=True, threads=t) for t in (1, 2, 3)]
    for r in runs[1:]:
        for name in ("flows", "cost", "wait", "ride", "walk", "boardings"):
            same(getattr(r, name), getattr(runs[0], name))
        assert r.total_cost == runs[0].total_cost


def test_four_line_network_splits_waiting_and_riding(la):
    sys.path.insert(0, str(EXAMPLES))
    import spiess_florian
    frm, to, freqs, costs, *_ = spiess_florian.build_network()
    net = la.Network(frm, to, freqs, costs)
    demand = np.zeros((4, 4))
    demand[0, 3] = 100.0
    r = la.assign(net, demand, components=True)
    assert r.cost[0, 3] == pytest.approx(27.75, abs=1e-4)
    assert r.wait[0, 3] == pytest.approx(4.25, abs=1e-4)
    assert r.ride[0, 3] == pytest.approx(23.5, abs=1e-4)
    assert r.walk[0, 3] == 0
    # half board line 1 to B; half ride line 2 to Y and change there to 3 or 4
    assert r.boardings[0, 3] == pytest.approx(1.5, abs=1e-5)


def test_walking_arcs_count_as_walking(la):
    # 0 -walk 3-> 2 -board (0.25) -> 3 -ride 5-> 1; access/egress likewise
    net = la.Network([0, 2, 3], [2, 3, 1], [INF, 0.25, INF], [3.0, 0.0, 5.0],
                     [la.WALK, la.BOARDING, la.IN_VEHICLE])
    demand = np.zeros((2, 2))
    demand[0, 1] = 1
    r = la.assign(net, demand, components=True)
    assert (r.walk[0, 1], r.wait[0, 1], r.ride[0, 1], r.boardings[0, 1]) == (3, 2, 5, 1)
    assert r.cost[0, 1] == 10


@pytest.mark.parametrize("itype", [np.int8, np.int16, np.int32, np.int64, np.uint8,
                                   np.uint16, np.uint32, np.uint64])
@pytest.mark.parametrize("ftype", [np.float32, np.float64])
def test_buffer_dtypes(la, native, itype, ftype):
    tail = np.array([0, 0], itype)
    head = np.array([1, 1], itype)
    freq = np.array([0.1, 0.2], ftype)
    cost = np.array([10, 12], ftype)
    demand = np.array([[0, 3], [0, 0]], ftype)
    out = native.assign(tail=tail, head=head, freq=freq, cost=cost, kind=None, n_nodes=2,
                        demand=demand, n_zones=2, destinations=np.array([1], itype),
                        per_destination=False, components=False, threads=None)
    same(out["flows"], [0.99999994, 1.9999999])
    r = la.assign(la.Network(tail, head, freq, cost), demand)
    same(r.flows, out["flows"])


def test_other_inputs(la):
    want = la.assign(la.Network([0, 0], [1, 1], [0.1, 0.2], [10, 12]), [[0, 3], [0, 0]])
    nets = [
        la.Network(array.array("q", [0, 0]), array.array("i", [1, 1]), array.array("d", [0.1, 0.2]),
                   memoryview(array.array("f", [10, 12]))),
        la.Network((0, 0), [1, 1], [0.1, 0.2], (10, 12)),
        # non-contiguous views are copied once
        la.Network(np.array([0, 9, 0, 9])[::2], np.array([[1, 1], [5, 5]])[0],
                   np.array([0.1, 9.0, 0.2, 9.0])[::2], np.array([10.0, 12.0])[::-1][::-1]),
    ]
    for net in nets:
        r = la.assign(net, np.array([[0, 3], [0, 0]], np.float64)[:, :])
        same(r.flows, want.flows)
    tri = la.assign(nets[0], ([0, 0], [1, 1], [1.0, 2.0]))  # duplicate pairs add up
    same(tri.flows, want.flows)


def test_native_side_refuses_what_it_cannot_read(la, native):
    args = dict(tail=np.array([0, 0]), head=np.array([1, 1]), freq=np.array([0.1, 0.2]),
                cost=np.array([10.0, 12.0]), kind=None, n_nodes=2, demand=np.zeros((2, 2)),
                n_zones=2, destinations=np.array([1]), per_destination=False, components=False,
                threads=None)
    for key, bad, exc, text in [
        ("tail", np.array([0, -1], np.int32), la.InputError, "tail[1] = -1 is negative"),
        ("head", np.array([1, 2], np.uint16), la.InputError,
         "head[1] = 2 is not a node: the network has 2 nodes"),
        ("freq", np.array([1, 2], np.int64), TypeError, "freq must hold float32 or float64"),
        ("cost", np.array([1.0, 2.0, 3.0, 4.0])[::2], TypeError, "cost must be a C-contiguous"),
        ("tail", np.array([0.0, 0.0]), TypeError, "tail must hold integers"),
        ("tail", [0, 0], TypeError, "tail must be a C-contiguous"),
        ("kind", np.array([0, 6], np.int8), la.InputError, "kind[1] = 6 is not an arc kind (0 "),
        ("destinations", np.array([2]), la.InputError,
         "destinations[0] = 2 is not a zone: there are 2 zones"),
        ("n_zones", 3, la.InputError, "demand is 3 × 3 but the network has only 2 nodes"),
        ("n_zones", 2**32, la.InputError, "demand is 4294967296 × 4294967296 but the network"),
        ("n_nodes", 2**32, la.InputError, "demand must hold 4294967296 x 4294967296 values"),
        ("threads", 0, la.InputError, "threads = 0 must be at least 1"),
        ("threads", 1.5, la.InputError, "threads must be a positive integer, got 1.5"),
    ]:
        call = dict(args)
        call[key] = bad
        if key == "n_nodes":
            call["n_zones"] = 2**32  # z * z wraps to 0: refused, not read past the buffer
        with pytest.raises(exc, match=re.escape(text)):
            native.assign(**call)
    with pytest.raises(TypeError, match="missing required keyword argument 'demand'"):
        native.assign(**{k: v for k, v in args.items() if k != "demand"})
    with pytest.raises(TypeError):
        native.assign(*args.values())  # keywords only


def test_changed_network_attributes_are_checked_again(la):
    net = la.Network([0, 0], [1, 1], [0.1, 0.2], [10.0, 12.0])
    net.cost[1] = np.nan
    with pytest.raises(la.InputError, match=re.escape("cost[1] = nan is NaN")):
        la.assign(net, np.zeros((2, 2)))
    net.cost[1] = 1.0
    net.freq[0] = -np.inf
    with pytest.raises(la.InputError, match=re.escape("freq[0] = -inf is negative")):
        la.assign(net, np.zeros((2, 2)))


def test_results_own_their_memory(la, native):
    net = la.Network(np.array([0, 0]), np.array([1, 1]), np.array([0.1, 0.2]),
                     np.array([10.0, 12.0]))
    demand = np.array([[0, 3.0], [0, 0]])
    r = la.assign(net, demand, per_destination=True)
    flows, cost, labels = r.flows, r.cost, r.labels
    # no copy: the arrays sit on the native result blocks
    for a in (flows, cost, labels):
        assert isinstance(a.base, memoryview) and isinstance(a.base.obj, native.Buffer)
        assert a.dtype == np.float32 and a.flags.c_contiguous and a.flags.writeable
    del r, net, demand
    gc.collect()
    np.zeros(1 << 16)  # reuse freed memory if any was freed
    same(flows, [0.99999994, 1.9999999])
    same(cost, [[np.nan, 13], [np.nan, 0]])
    same(labels, [[13, 0]])
    flows[0] = 5  # writable and independent of everything else
    assert flows[0] == 5


def errors_table(la):
    good = dict(tail=[0, 1], head=[1, 2], freq=[0.5, INF], cost=[1.0, 2.0])

    def net(**over):
        return lambda: la.Network(**{**good, **over})

    ok = la.Network(**good)
    z3 = np.zeros((3, 3))
    return [
        (net(head=[1, 5004], n_nodes=5004), "head[1] = 5004 is not a node: the network has 5004 nodes"),
        (net(tail=[0, -3]), "tail[1] = -3 is negative"),
        (net(tail=[0.5, 1]), "tail must hold integers, got dtype float64"),
        (net(head=[1]), "head must have 2 entries (one per arc), got 1"),
        (net(cost=[1.0, np.nan]), "cost[1] = nan is NaN"),
        (net(cost=[-1.0, 1.0]), "cost[0] = -1.0 is negative"),
        (net(cost=[1.0, INF]), "cost[1] = inf is infinite"),
        (net(freq=[-0.5, INF]), "freq[0] = -0.5 is negative"),
        (net(freq=[0.5, np.nan]), "freq[1] = nan is NaN"),
        (net(freq="ab"), "freq must be a sequence of numbers, got str"),
        (net(cost=[1 + 1j, 2]), "cost must hold numbers, got dtype complex128"),
        (net(head=["a", "b"]), "head must hold integers, got dtype <U1"),
        (net(freq=[[0.5, 1]]), "freq must be one-dimensional, got shape (1, 2)"),
        (net(kind=[0, 9]), "kind[1] = 9 is not an arc kind (0 … 5: BOARDING, IN_VEHICLE"),
        (net(n_nodes=2), "head[1] = 2 is not a node: the network has 2 nodes"),
        (net(n_nodes=-1), "n_nodes = -1 is negative"),
        (lambda: la.assign(ok, np.zeros((3, 2))), "demand must be 3 × 3, got 3 × 2"),
        (lambda: la.assign(ok, np.zeros((4, 4))),
         "demand is 4 × 4 but the network has only 3 nodes"),
        (lambda: la.assign(ok, np.zeros(3)), "demand must be a square matrix"),
        (lambda: la.assign(ok, np.array([[0, -1.0], [0, 0]])), "demand[0, 1] = -1.0 is negative"),
        (lambda: la.assign(ok, np.array([[0, 1], [np.nan, 0]])), "demand[1, 0] = nan is NaN"),
        (lambda: la.assign(ok, np.array([[0, 1], [0, np.inf]], np.float32)),
         "demand[1, 1] = inf is infinite"),
        (lambda: la.assign(ok, np.array([[0, 1], [3.5e38, 0]])),
         "demand[1, 0] = 3.5e+38 is too large for float32"),
        (lambda: la.assign(ok, ([0], [7], [1.0]), None),
         "demand destinations[0] = 7 is not a zone: there are 3 zones"),
        (lambda: la.assign(ok, z3, [0, 3]), "destinations[1] = 3 is not a zone: there are 3 zones"),
        (lambda: la.assign(ok, z3, [1, 2, 1]), "destinations[2] = 1 is listed twice"),
        (lambda: la.assign(ok, z3, threads=0), "threads = 0 must be at least 1"),
        (lambda: la.assign("net", z3), "network must be a lumo.arrays.Network, got str"),
        (lambda: la.Network.from_lines([[0]], [0.1], np.ones((2, 2))),
         "alignments[0] has 1 stops; a line needs at least two"),
        (lambda: la.Network.from_lines([[0, 2]], [0.1], np.ones((2, 2))),
         "alignments[0][1] = 2 is not a stop: there are 2 stops"),
        (lambda: la.Network.from_lines([[0, 1]], [0.1, 0.2], np.ones((2, 2))),
         "freqs must have 1 entries"),
        (lambda: la.Network.from_lines([[0, 1]], [0.1], np.ones((2, 3))),
         "travel_times must be square, got shape (2, 3)"),
        (lambda: la.Network.from_lines([[0, 1, 0], [0, 1]], [0.1, 0.1], [[1.0], [2.0]]),
         "travel_times[0] must have 2 segment times, got 1"),
        (lambda: la.Network.from_lines([[0, 1]], [0.1], np.array([[0, -2.0], [0, 0]])),
         "travel_times[0] = -2.0 is negative"),
    ]


def test_input_errors(la):
    # the largest values that narrow to a finite float, and -0.0, are demand
    ok = la.Network([0], [1], [0.5], [1.0])
    top = np.float64(np.finfo(np.float32).max) * (1 + 2.0**-26)
    r = la.assign(ok, np.array([[-0.0, top], [0, 0]]))
    assert r.flows[0] == np.finfo(np.float32).max
    for call, text in errors_table(la):
        with pytest.raises(la.InputError, match=re.escape(text)) as info:
            call()
        assert isinstance(info.value, ValueError)


def test_panic_exception_is_shared_and_importable(la, capfd):
    from lumo.arrays import PanicException
    assert PanicException is la.PanicException
    assert issubclass(PanicException, BaseException) and not issubclass(PanicException, Exception)
    with pytest.raises(PanicException, match="called `Option::unwrap"):
        lumo.linear_assign([], [], [], [], [], [])
    capfd.readouterr()


def test_import_lumo_needs_no_numpy(tmp_path):
    import subprocess
    code = ("import sys; sys.modules['numpy'] = None\n"
            "import lumo; print(lumo.mat_linear_assign([[0, 1]], [0.5], [[0, 2], [0, 0]],"
            " [[0, 1], [0, 0]])[2])\n"
            "try:\n    import lumo.arrays\nexcept ImportError: print('needs numpy')\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["3.0", "needs", "numpy"]


@pytest.mark.skipif(__import__("shutil").which("nm") is None, reason="binutils not installed")
def test_private_module_exports_only_its_init(native):
    import subprocess
    out = subprocess.run(["nm", "-D", "--defined-only", native.__file__], capture_output=True,
                         text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit__arrays"]
    # and it sits beside the exact module, in the package
    assert Path(native.__file__).parent == Path(lumo.__file__).parent


FORK = """
import os, sys, warnings
import numpy as np
import lumo.arrays as la
warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
net = la.Network([0, 0, 1], [1, 1, 2], [0.1, 0.2, np.inf], [10.0, 12.0, 1.0])
demand = np.zeros((3, 3))
demand[0, 2], demand[0, 1] = 3.0, 1.0
first = la.assign(net, demand, threads=2, components=True)  # the pool is running now
pid = os.fork()
if pid == 0:
    again = la.assign(net, demand, threads=2, components=True)
    same = all(np.array_equal(getattr(first, k), getattr(again, k), equal_nan=True)
               for k in ("flows", "cost", "wait", "ride"))
    os._exit(0 if same else 1)
_, status = os.waitpid(pid, 0)
print(os.waitstatus_to_exitcode(status))
"""


def test_forked_child_computes_on_its_own(la):
    import subprocess
    out = subprocess.run([sys.executable, "-c", FORK], capture_output=True, text=True,
                         timeout=60)
    assert out.stdout.split() == ["0"], out.stderr

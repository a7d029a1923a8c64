import gzip, json, os, re, subprocess, sys, warnings
from pathlib import Path

import numpy as np
import pytest

import model_lines as ml

F = np.float32
DATA = Path(__file__).resolve().parents[2] / "shared" / "data" / "kuopio.json.gz"  # beside the checkout


@pytest.fixture(scope="module")
def lm():
    return pytest.importorskip("lumo")


BOTH = pytest.mark.parametrize("fn", [lambda lm, *a: lm.mat_linear_assign(*a),
                                       lambda lm, *a: lm.mat_linear_congested_assign(*a, 50.0)],
                               ids=["plain", "congested"])


def bits(xs):
    """float64 bit patterns, NaNs made equal (a module value that is not an exact
    float32 cannot match a widened model value)."""
    a = np.array(xs, dtype=np.float64).ravel()
    u = a.view(np.uint64).copy()
    u[np.isnan(a)] = 0x7FF8000000000000
    return u.tolist()


def same(got, want):
    for g, w in zip(got, want):
        assert bits(g) == bits(np.array(w, dtype=np.float32).astype(np.float64))


def sq(n, v=0.0):
    return [[v] * n for _ in range(n)]


def run_quiet(fn, *a):
    with warnings.catch_warnings(record=True) as w:
        warnings.simplefilter("always")
        out = fn(*a)
    return out, [x for x in w if "stop 0" in str(x.message)]


def same_as_model(lm, *args):
    """The module's line-form result equals the model's expansion and folds around
    the module's arc-form assignment, bit for bit."""
    got, _ = run_quiet(lm.mat_linear_assign, *args)
    want, _ = run_quiet(ml.mat_linear_assign, lm, *args)
    assert bits(sum(got[0], [])) == bits(sum(want[0], []))
    assert bits(got[1]) == bits(want[1]) and bits([got[2]]) == bits([want[2]])
    return got


# --- model against the text, and the module against the model -------------------

def test_worked_example_expansion(lm):
    fa, fb = 0.25, 0.5
    ttm = [[0.0, 1.0, 2.0], [3.0, 0.0, 4.0], [5.0, 6.0, 0.0]]
    dm = [[0.0, 1.0, 4.0], [9.0, 5.0, 8.0], [9.0, 2.0, 0.0]]  # column 0, diagonal unread
    frm, to, af, co, dem = ml.mat2graph([[0, 1, 2], [2, 0]], [fa, fb], ttm, dm)
    assert list(zip(frm, to)) == [(0, 3), (3, 4), (1, 4), (4, 1), (4, 5), (5, 2),
                                  (2, 6), (6, 7), (7, 0)]
    inf = np.inf
    assert af == [fa, inf, fa, inf, inf, inf, fb, inf, inf]
    assert co == [0, 1.0, 0, 0, 4.0, 0, 0, 5.0, 0]
    assert dem == [1, -3, 2, 0, 0, 0, 0, 0, 4, 8, -12, 0, 0, 0, 0, 0]
    # the module expands the same arcs in the same order: every arc carries flow here
    _, flows, _ = same_as_model(lm, [[0, 1, 2], [2, 0]], [fa, fb], ttm, dm)
    assert len(flows) == 9 and all(v > 0 for v in flows)


def test_destination_entry_subtracts_in_origin_order(lm):
    dm = sq(4)
    dm[0][1], dm[2][1], dm[3][1] = 1.0, 1e8, -1e8
    dem = ml.mat2graph([[0, 1]], [0.1], sq(4), dm)[4]
    n = 6
    assert dem[1] == F(F(F(F(0) - F(1)) - F(1e8)) + F(1e8)) == 0  # not -(1+1e8-1e8) = -1
    assert dem[:6] == [1, dem[1], 1e8, -1e8, 0, 0] and len(dem) == 3 * n
    # the module on the same demands, on a network where stops 2 and 3 reach 1
    same_as_model(lm, [[0, 1], [2, 3, 1]], [0.1, 0.2], sq(4, 2.0), dm)


def test_folds(lm):
    assert ml.sum_flows([1, 2, 3, 4, 5, 6], 2) == [5, 7, 9]
    assert ml.graph2mat([1, 2, 3, 4, 5, 6], 3) == [[0, 1, 4], [0, 0, 5], [0, 0, 0]]
    # the module's folds over several destinations, with demand both ways and
    # rows of costs that the upper triangle leaves out
    dm = [[0.0, 2.0, 1.0, 4.0], [3.0, 0.0, 5.0, 1.0], [1.0, 2.0, 0.0, 6.0], [2.0, 2.0, 2.0, 0.0]]
    ttm = [[float(1 + a + 2 * b) for b in range(4)] for a in range(4)]
    mat, flows, total = same_as_model(lm, [[0, 1, 2, 3], [3, 2, 1, 0], [1, 3]], [0.2, 0.1, 0.3],
                                      ttm, dm)
    assert all(mat[o][d] == 0 for o in range(4) for d in range(o + 1)) and mat[0][3] > 0
    with pytest.raises(ZeroDivisionError):
        ml.graph2mat([], 1)
    with pytest.raises(ZeroDivisionError):
        ml.sum_flows([1.0], 0)


# --- module against hand derivations and the model -----------------------------

@pytest.mark.parametrize("pair,arcs", [((0, 1), {0, 1, 3}), ((0, 2), {0, 1, 4, 5}),
                                       ((1, 2), {2, 4, 5}), ((2, 1), {6, 7, 8, 0, 1, 3})])
def test_worked_example_arc_order(lm, pair, arcs):
    dm = sq(3)
    dm[pair[0]][pair[1]] = 3.0
    _, flows, _ = lm.mat_linear_assign([[0, 1, 2], [2, 0]], [0.2, 0.2], sq(3, 2.0), dm)
    assert len(flows) == 9
    assert {a for a, v in enumerate(flows) if v != 0} == arcs
    assert all(flows[a] == pytest.approx(3.0, rel=1e-6) for a in arcs)


def test_one_line_demand_from_stop_0(lm):
    # waiting 0.5/0.1 plus riding 5
    mat, flows, total = lm.mat_linear_assign([[0, 1]], [0.1], [[0.0, 5.0], [5.0, 0.0]], [[0.0, 10.0], [0.0, 0.0]])
    assert mat == [[0, pytest.approx(10, rel=1e-6)], [0, 0]]
    assert flows == pytest.approx([10, 10, 10], rel=1e-6)
    assert total == pytest.approx(100, rel=1e-6)


def test_two_lines_sharing_a_segment(lm):
    # A = [0,1,2] (f 0.1) and B = [1,2] (f 0.2) both ride 1 -> 2 in 10; 0 -> 1 takes 2.
    # At stop 1 both are attractive: 0.5/0.3 + 10 = 35/3, demand split 1:2 by frequency;
    # riders from stop 0 stay on A: 0.5/0.1 + 2 + 10 = 17; 0 -> 1 costs 5 + 2 = 7.
    ttm = sq(3)
    ttm[0][1], ttm[1][2] = 2.0, 10.0
    dm = [[0.0, 1.0, 6.0], [0.0, 0.0, 3.0], [0.0, 0.0, 0.0]]
    mat, flows, total = lm.mat_linear_assign([[0, 1, 2], [1, 2]], [0.1, 0.2], ttm, dm)
    assert np.allclose(mat, [[0, 7, 17], [0, 0, 35 / 3], [0, 0, 0]], rtol=1e-6, atol=0)
    assert np.allclose(flows, [7, 7, 1, 1, 7, 7, 2, 2, 2], rtol=1e-6, atol=0)
    assert total == pytest.approx(7 + 6 * 17 + 35, rel=1e-6)


def test_reverse_demand_not_in_matrix(lm):
    # only demand 2 -> 1, served by B = [2,1,0] (f 0.25): 0.5/0.25 + 3 = 5
    dm = sq(3)
    dm[2][1] = 4.0
    mat, flows, total = lm.mat_linear_assign([[0, 1, 2], [2, 1, 0]], [0.5, 0.25], sq(3, 3.0), dm)
    assert mat == [[0, 4, 7], [0, 0, 4], [0, 0, 0]]
    assert flows == [0] * 6 + [4, 4, 0, 4, 0, 0]
    assert total == 20


def random_network(rng, stop0=False):
    S = int(rng.integers(2, 9))
    lines = [[int(s) for s in rng.integers(0, S, int(rng.integers(2, 6)))]
             for _ in range(int(rng.integers(1, 6)))]
    freqs = [float(F(x)) for x in rng.uniform(0.02, 0.5, len(lines) + int(rng.integers(0, 2)))]
    ttm = rng.uniform(0.5, 20.0, (S, S)).astype(np.float32)
    dm = (rng.uniform(0, 50, (S, S)) * (rng.random((S, S)) < 0.6)).astype(np.float32)
    if not stop0:
        dm[1:, 0] = 0
    return lines, freqs, ttm.tolist(), dm.tolist()


@pytest.mark.parametrize("seed", range(40))
def test_differential_plain(lm, seed):
    rng = np.random.default_rng(seed)
    net = random_network(rng, stop0=seed % 4 == 0)
    got, warned = run_quiet(lm.mat_linear_assign, *net)
    same(got, ml.mat_linear_assign(lm, *net))
    assert len(warned) == (np.array(net[3])[1:, 0] != 0).any()


@pytest.mark.filterwarnings("ignore:(mat_)?linear_congested_assign. no convergence")
@pytest.mark.parametrize("seed", range(15))
def test_differential_congested(lm, seed):
    rng = np.random.default_rng(1000 + seed)
    net = random_network(rng)
    extra = [float(rng.uniform(5, 80)), 0.05, 0.3, 1e-3, int(rng.integers(1, 40))]
    if seed % 5 == 0:
        extra = extra[:1]  # defaults
    same(lm.mat_linear_congested_assign(*net, *extra), ml.mat_linear_congested_assign(lm, *net, *extra))


# --- failures ------------------------------------------------------------------

OOB = "index out of bounds: the len is {} but the index is {}"
TT3 = [[0.0, 0.0], [0.0] * 3, [0.0] * 3]
FAILURES = [
    ([[0, 1], [1]], [.1, .1], sq(2), sq(2), "line 1 has 1 stops; a line needs at least two"),
    ([[]], [.1], sq(2), sq(2), "line 0 has 0 stops; a line needs at least two"),
    ([[0, 2]], [.1], sq(2), sq(2), OOB.format(2, 2)),  # last stop checked too
    ([[3, 0, 4]], [.1], sq(2), sq(2), OOB.format(2, 3)),
    ([[0, 5], [1]], [.1, .1], sq(2), sq(2), OOB.format(2, 5)),
    ([[1], [0, 5]], [.1, .1], sq(2), sq(2), "line 0 has 1 stops; a line needs at least two"),
    ([[0, 1], [0, 7]], [], sq(2), sq(2), OOB.format(2, 7)),  # lines before frequencies
    ([[0, 3]], [.1], [[0.0] * 5] * 2, sq(2), OOB.format(2, 3)),  # wide rows do not widen S
    ([[0, 1], [1, 0]], [.1], sq(2), sq(2), OOB.format(1, 1)),
    ([[0, 1]], [], sq(2), sq(2), OOB.format(0, 0)),
    ([[0, 1]], [.1], [[0.0], [0.0, 0.0]], sq(2), OOB.format(1, 1)),
    ([[0, 2], [1, 0]], [.1], TT3, sq(3), OOB.format(2, 2)),  # line 0's row before line 1's freq
    ([[0, 2]], [], TT3, sq(3), OOB.format(0, 0)),  # a line's freq before its rows
    ([[0, 1, 2]], [.1], sq(3), sq(3)[:2], OOB.format(2, 2)),
    ([[0, 1, 2]], [.1], sq(3), [[0.0] * 3, [0.0], [0.0] * 3], OOB.format(1, 2)),
    ([[0, 1, 2]], [.1], sq(3), [[0.0], [0.0] * 3, [0.0] * 3], OOB.format(1, 1)),
    ([[0, 1, 2]], [.1], sq(3), [[0.0] * 3, [0.0]], OOB.format(2, 2)),  # destination-major
    ([], [], sq(2), sq(2), "called `Option::unwrap()` on a `None` value"),
    ([[0, 0]], [.1], [[0.0]], [[0.0]], "attempt to divide by zero"),
    ([[0, 1]], [.1], [], [], OOB.format(0, 0)),
    ([], [], [], [], "called `Option::unwrap()` on a `None` value"),
]


@BOTH
@pytest.mark.parametrize("case", FAILURES, ids=range(len(FAILURES)))
def test_failures(lm, fn, case):
    with pytest.raises(BaseException) as ei:
        fn(lm, *case[:4])
    e = ei.value
    assert (type(e).__module__, type(e).__qualname__) == ("pyo3_runtime", "PanicException")
    assert not isinstance(e, Exception) and not hasattr(lm, "PanicException")
    assert e.args == (case[4],)


def first_missing_demand(dm, S):
    """The first entry the demand fill reads that does not exist: destinations 1 .. S-1, and
    for each of them the origins in order."""
    for i in range(1, S):
        for o in range(S):
            if o != i and (o >= len(dm) or i >= len(dm[o])):
                return OOB.format(len(dm), o) if o >= len(dm) else OOB.format(len(dm[o]), i)


@BOTH
@pytest.mark.parametrize("seed", range(4))
def test_missing_demand_entries_in_fill_order(lm, fn, seed):
    # ragged and short demand matrices; the first missing entry is the one reported
    rng = np.random.default_rng(seed)
    for _ in range(30):
        S = int(rng.integers(2, 7))
        dm = [[1.0] * int(rng.choice([S, S, rng.integers(0, S + 1)])) for _ in range(rng.integers(0, S + 2))]
        want = first_missing_demand(dm, S)
        if want is None:
            continue
        with pytest.raises(BaseException) as ei:
            fn(lm, [[0, S - 1]], [0.1], sq(S), dm)
        assert ei.value.args == (want,), (S, [len(r) for r in dm])


# --- unassigned demand towards stop 0 --------------------------------------------

@BOTH
@pytest.mark.parametrize("col,diag,total", [
    ([3.5], 0.0, "3.5"), ([0.1, 0.2], 0.0, None), ([1.0, -1.0], 0.0, None),
    ([0.0, float("nan")], 0.0, None), ([0.0, 0.0], 7.0, ""), ([-0.0, 0.0], 0.0, "")])
def test_stop0_warning(lm, fn, col, diag, total):
    S = len(col) + 1
    dm = sq(S)
    dm[0][S - 1] = 2.0
    dm[0][0] = diag
    for o, v in enumerate(col, 1):
        dm[o][0] = v
    net = ([[0, S - 1, 0]], [0.2], sq(S, 3.0))
    got, warned = run_quiet(lambda *a: fn(lm, *a), *net, dm)
    base, _ = run_quiet(lambda *a: fn(lm, *a), *net, [[0.0] + r[1:] for r in dm])
    same(got, base)
    if total == "":
        assert warned == []
        return
    assert len(warned) == 1 and warned[0].category is RuntimeWarning
    m = re.fullmatch(r"demand towards stop 0 is not assigned \(total (\S+)\)", str(warned[0].message))
    assert m and (total is None or m[1] == total)
    assert bits([F(float(m[1]))]) == bits([ml.stop0_demand(dm)])


# --- determinism and the real network ------------------------------------------

SCRIPT = """
import numpy as np, lumo, sys
rng = np.random.default_rng(7)
lines = [list(rng.integers(0, 60, 12)) for _ in range(25)]
ttm = rng.uniform(1, 20, (60, 60)).tolist()
dm = rng.uniform(0, 9, (60, 60)); dm[1:, 0] = 0
args = ([[int(s) for s in l] for l in lines], [0.1] * 25, ttm, dm.tolist())
out = [lumo.mat_linear_assign(*args)[2] for _ in range(3)]
out += [lumo.mat_linear_congested_assign(*args, 30.0, max_iters=5)[2] for _ in range(2)]
print(" ".join(float.hex(x) for x in out))
"""


def test_total_cost_independent_of_pool(lm):
    res = []
    for threads in ("1", "3", None):
        env = {k: v for k, v in os.environ.items() if k != "RAYON_NUM_THREADS"}
        if threads:
            env["RAYON_NUM_THREADS"] = threads
        r = subprocess.run([sys.executable, "-c", SCRIPT], env=env,
                           capture_output=True, text=True, timeout=120)
        assert r.returncode == 0, r.stderr
        res.append(r.stdout.split())
    assert res[0][:3] == res[0][:1] * 3 and res[0][3] == res[0][4]
    assert res[0] == res[1] == res[2]


@pytest.mark.skipif(not DATA.with_name("cairns.json.gz").exists(),
                    reason="network data not present")
def test_real_network_folds_across_chunks(lm):
    """On a network whose destinations run in several chunks (Cairns: 414
    destinations, 68 a chunk at most), the line result equals the folds of the
    arc-form assignment's whole per-destination blocks, bit for bit. The folds
    run over every block at once, each sum still added in its order: an arc's
    flows in destination order, a destination's products in node order from
    0.0 (a skipped product adds +0.0, which changes no sum that starts there)."""
    with gzip.open(DATA.with_name("cairns.json.gz"), "rt") as f:
        d = json.load(f)
    args = d["alignments"], d["freqs"], d["travel_time_mat"], d["demands_mat"]
    S = len(d["travel_time_mat"])
    frm, to, af, co, dem = ml.mat2graph(*args)
    labels, flows = lm.linear_assign(frm, to, [float(x) for x in af], [float(x) for x in co],
                                     [float(x) for x in dem], list(range(1, S)))
    n, m = len(labels) // (S - 1), len(frm)
    labels = np.array(labels, F).reshape(S - 1, n)
    flows = np.array(flows, F).reshape(S - 1, m)
    dem = np.array(dem, F).reshape(S - 1, n)
    want_flows = np.zeros(m, F)
    for block in flows:
        want_flows = want_flows + block
    with np.errstate(invalid="ignore"):  # unreachable labels times 0, dropped below
        products = np.where(np.isfinite(labels), labels * dem, F(0))
    sums = np.zeros(S - 1, F)
    for e in range(n):
        sums = sums + products[:, e]
    total = F(0)
    for x in sums:
        total = F(total + x)
    want_mat = np.zeros((S, S), F)
    for k in range(1, S):
        want_mat[:k, k] = labels[k - 1, :k]
    mat, got_flows, got_total = lm.mat_linear_assign(*args)
    assert bits(mat) == bits(want_mat)
    assert bits(got_flows) == bits(want_flows) and bits([got_total]) == bits([total])


@pytest.mark.skipif(not DATA.exists(), reason="network data not present")
def test_real_network_arc_count(lm):
    with gzip.open(DATA, "rt") as f:
        d = json.load(f)
    mat, flows, total = lm.mat_linear_assign(d["alignments"], d["freqs"],
                                             d["travel_time_mat"], d["demands_mat"])
    assert len(flows) == sum(3 * len(l) - 3 for l in d["alignments"])
    assert len(mat) == len(d["travel_time_mat"]) and np.isfinite(total) and total > 0

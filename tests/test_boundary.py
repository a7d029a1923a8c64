"""The Python face of lumo: module object, binding, argument conversion, results, failures."""
import ctypes
import inspect
import math
import re
import subprocess
import shutil
import sys
import warnings
from fractions import Fraction

import numpy as np
import pytest

import lumo

INF, NAN, f32 = math.inf, math.nan, np.float32
ORDER = ["linear_assign", "mat_linear_assign", "linear_congested_assign", "mat_linear_congested_assign"]

def needs(name):
    return pytest.mark.skipif(not hasattr(lumo, name), reason=f"{name} not registered yet")

def capi(fn, obj, restype=ctypes.c_double):
    """The interpreter's own error for a C-API conversion, to compare texts with."""
    f = getattr(ctypes.pythonapi, fn)
    f.restype, f.argtypes = restype, [ctypes.py_object]
    with pytest.raises(Exception) as info:
        f(obj)
    return info.type, str(info.value)

NEG, BIG = (capi("PyLong_AsUnsignedLongLong", v, ctypes.c_ulonglong) for v in (-1, 2**64))
NOT_INT = capi("PyNumber_Index", 0.0, ctypes.py_object)
NOT_REAL = capi("PyFloat_AsDouble", None)

def pre(name, err):  # a TypeError renamed after the parameter
    return TypeError, f"argument '{name}': {err[1]}"

def nostr(p): return TypeError, f"argument '{p}': Can't extract `str` to `Vec`"
def noseq(p, t): return TypeError, f"argument '{p}': '{t}' object cannot be converted to 'Sequence'"

def enc(w):  # cost key: w * -60000 in f32, truncated and saturated to i32
    x = f32(w) * f32(-60000)
    return 0 if x != x else int(max(-2.0**31, min(2.0**31 - 1, float(x))))

def dec(p):
    return f32(INF) if p == -2**31 else f32(p) / f32(-60000)

def same(got, want):
    """Exact equality of doubles (sign of zero included), NaN equal to NaN."""
    want = [float(w) for w in want]
    assert len(got) == len(want) and all(type(g) is float for g in got), got
    assert all((g != g and w != w) or (g == w and math.copysign(1, g) == math.copysign(1, w))
               for g, w in zip(got, want)), (got, want)

# One no-wait arc 0 -> 1 to destination 1: label = decoded cost 2.5 (exact), the arc carries all demand.
BASE = {"from": [0], "to": [1], "arc_freqs": [INF], "costs": [2.5], "demands": [3.0, 0.0], "dsts": [1]}
ARGS6 = list(BASE.values())
MAT4 = [[[0, 1]], [0.1], [[0, 1], [1, 0]], [[0, 1], [0, 0]]]

def la(**over):
    return lumo.linear_assign(**{**BASE, **over})

def obj(**methods):  # an instance of a fresh class with the given special methods
    return type("Obj", (), methods)()

def idx(v): return obj(__index__=lambda s: v)
def flt(v): return obj(__float__=lambda s: v)

class Seq:  # passes the sequence check; its length query fails (ignored); iteration may end in `err`
    def __init__(self, items, err=None): self.items, self.err = items, err
    def __getitem__(self, i): return self.items[i]
    def __len__(self): raise RuntimeError("no length")
    def __iter__(self):
        yield from self.items
        if self.err: raise self.err

class HugeLen(Seq):  # claims a length no vector could reserve: only a hint, so still converted
    def __len__(self): return 2**62

class Outer:
    class Inner: pass

class MyTypeError(TypeError): pass

ROOT = KeyError("root")

def raise_caused(_):
    raise TypeError("bad float") from ROOT

def raise_sub(_):
    raise MyTypeError("sub")

def test_module_object():
    assert lumo.__name__ == "lumo" and lumo.__doc__ == ""
    assert lumo.__all__ == [n for n in ORDER if hasattr(lumo, n)]
    assert [n for n in vars(lumo) if not n.startswith("__")] == lumo.__all__  # no PanicException either

@pytest.mark.parametrize("name, sig", [pytest.param(n, s, marks=needs(n)) for n, s in [
    ("linear_assign", "(from, to, arc_freqs, costs, demands, dsts)"),
    ("mat_linear_assign", "(alignments, freqs, travel_time_mat, demands_mat)"),
    ("linear_congested_assign", "(from, to, arc_freqs, costs, demands, dsts, capacity, "
                                "average_decay_factor=0.01, beta=0.2, tol=0.001, max_iters=1000)"),
    ("mat_linear_congested_assign", "(alignments, freqs, travel_time_mat, demands_mat, capacity, "
                                    "average_decay_factor=0.01, beta=0.2, tol=0.001, max_iters=1000)")]])
def test_function_objects(name, sig):
    fn = getattr(lumo, name)
    assert type(fn) is type(len) and fn.__name__ == name and fn.__self__ is lumo
    assert fn.__text_signature__ == sig and fn.__doc__ is None and fn.__module__ == "lumo"
    if name.startswith("mat_"):  # 'from' is a Python keyword, so only these two have a signature object
        params = inspect.signature(fn).parameters.values()
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params)
        assert "(" + ", ".join(map(str, params)) + ")" == sig

def missing(f, *names):
    q = [f"'{n}'" for n in names]
    listed = " and ".join(q) if len(q) < 3 else ", ".join(q[:-1]) + ", and " + q[-1]
    return f"{f}() missing {len(q)} required positional argument{'s' * (len(q) > 1)}: {listed}"

def multi(f, n): return f"{f}() got multiple values for argument '{n}'"
def unexp(f, n): return f"{f}() got an unexpected keyword argument '{n}'"
def many(f, n, k, r=None):
    return f"{f}() takes {f'from {r} to ' if r else ''}{n} positional arguments but {k} were given"

def lazy(name, *rest):
    return pytest.param(name, *rest, marks=needs(name))

L, M, C, MC = ORDER

@pytest.mark.parametrize("name, args, kwargs, msg", [
    (L, ARGS6 + [0], {}, "linear_assign() takes 6 positional arguments but 7 were given"),
    (L, ARGS6 + [0], {"foo": 1}, many(L, 6, 7)),  # keywords not looked at
    (L, ARGS6[:5], {}, "linear_assign() missing 1 required positional argument: 'dsts'"),
    (L, ARGS6[:4], {}, "linear_assign() missing 2 required positional arguments: 'demands' and 'dsts'"),
    (L, ARGS6[:3], {}, "linear_assign() missing 3 required positional arguments: 'costs', 'demands', and 'dsts'"),
    (L, [], {}, missing(L, *BASE)),
    (L, [], {"dsts": [1], "to": [1]}, missing(L, "from", "arc_freqs", "costs", "demands")),
    (L, ["x", "y"], {"to": [1], "dsts": [1]}, multi(L, "to")),  # before conversion
    (L, ARGS6, {"dsts": [1]}, multi(L, "dsts")),
    (L, ARGS6[:5], {"from": [0], "foo": 1}, multi(L, "from")),  # keywords in call order
    (L, ARGS6[:5], {"foo": 1, "from": [0]}, unexp(L, "foo")),
    (L, ["x"], {"From": [0]}, unexp(L, "From")),
    (L, ARGS6[:5], {"\udc80": 1}, unexp(L, "\udc80")),  # a name with no UTF-8 form
    lazy(C, ARGS6 + [1.0] * 6, {}, many(C, 11, 12, 7)),
    lazy(C, ARGS6, {"tol": 1.0}, missing(C, "capacity")),
    lazy(C, ARGS6, {"capacity": 1, "Tol": 1}, unexp(C, "Tol")),
    lazy(M, MAT4 + [0], {}, many(M, 4, 5)),
    lazy(M, [], {}, missing(M, "alignments", "freqs", "travel_time_mat", "demands_mat")),
    lazy(MC, MAT4 + [1.0] * 6, {}, many(MC, 9, 10, 5)),
    lazy(MC, MAT4[:3], {"capacity": 1}, missing(MC, "demands_mat")),
    lazy(MC, MAT4, {"capacity": 1, "beta": 1, "alignments": []}, multi(MC, "alignments")),
])
def test_binding_errors(name, args, kwargs, msg):
    with pytest.raises(TypeError) as info:
        getattr(lumo, name)(*args, **kwargs)
    assert info.type is TypeError and str(info.value) == msg

@pytest.mark.parametrize("over, exc, msg", [
    ({"from": "01"}, TypeError, "argument 'from': Can't extract `str` to `Vec`"),
    ({"costs": type("S", (str,), {})("1")}, *nostr("costs")),
    ({"from": 5}, TypeError, "argument 'from': 'int' object cannot be converted to 'Sequence'"),
    ({"dsts": {1}}, *noseq("dsts", "set")), ({"to": {1: 1}}, *noseq("to", "dict")),
    ({"arc_freqs": (x for x in [INF])}, *noseq("arc_freqs", "generator")),
    ({"demands": Outer.Inner()}, *noseq("demands", "Outer.Inner")),  # the type's qualified name
    ({"from": [-1]}, *NEG), ({"dsts": [2**64]}, *BIG), ({"to": [idx(-1)]}, *NEG),
    ({"from": [0.0]}, *pre("from", NOT_INT)),
    ({"dsts": [np.float64(1)]}, *pre("dsts", capi("PyNumber_Index", np.float64(1), ctypes.py_object))),
    ({"demands": [None, 0.0]}, *pre("demands", NOT_REAL)),
    ({"costs": ["1"]}, *pre("costs", capi("PyFloat_AsDouble", "1"))),
    ({"costs": [obj(__float__=raise_caused)]}, TypeError, "argument 'costs': bad float"),
    ({"costs": [obj(__float__=raise_sub)]}, MyTypeError, "sub"),  # only exact TypeErrors are renamed
    ({"demands": Seq([0.0], TypeError("it"))}, TypeError, "argument 'demands': it"),
    ({"demands": Seq([0.0], ValueError("it"))}, ValueError, "it"),
    ({"to": [-1], "costs": 5}, *NEG),  # the first failing parameter decides
    ({"to": "x", "dsts": [-1]}, *nostr("to")),
])
def test_conversion_errors(over, exc, msg):
    with pytest.raises(BaseException) as info:
        la(**over)
    assert info.type is exc and str(info.value) == msg
    if "bad float" in msg:  # the renamed error keeps the cause of the one it replaces
        assert info.value.__cause__ is ROOT

@pytest.mark.parametrize("over", [
    {"to": (1,)}, {"to": range(1, 2)}, {"to": b"\x01"}, {"to": bytearray(b"\x01")}, {"to": np.array([1])},
    {"to": [True]}, {"to": [idx(1)]}, {"to": [np.uint8(1)]}, {"dsts": np.array([1], dtype=np.uint64)},
    {"from": Seq([0])}, {"from": HugeLen([0])}, {"costs": (2.5,)}, {"costs": np.array([2.5], dtype=np.float32)},
    {"costs": [flt(2.5)]}, {"costs": [Fraction(5, 2)]}, {"costs": [type("F", (float,), {})(2.5)]},
    {"costs": [np.float64(2.5)]},
    {"demands": [3, 0]}, {"demands": [idx(3), False]}, {"demands": b"\x03\x00"}, {"demands": range(3, -1, -3)},
    {"arc_freqs": np.array([np.inf])}, {"arc_freqs": [flt(INF)]},
])
def test_accepted_forms(over):
    res = la(**over)
    assert type(res) is tuple and len(res) == 2 and all(type(r) is list for r in res)
    same(res[0], [2.5, 0.0])
    same(res[1], [3.0])

@pytest.mark.parametrize("demand", [0.1, 1e300, -1e300, 1e-50, -1e-50, 2**200, 1 + 2**-24, 1 + 3 * 2**-24,
                                    16777217, INF, -INF, NAN, flt(1 / 3)])
def test_demand_narrowed_and_widened(demand):  # the no-wait arc carries the demand unchanged
    with np.errstate(over="ignore"):
        same(la(demands=[demand, 0.0])[1], [f32(float(demand))])

def test_labels_widened():
    labels, _ = la(costs=[0.1])
    same(labels, [dec(enc(f32(0.1))), 0.0])
    assert repr(labels[0]) == "0.10000000149011612"
    # common lines: two boarding arcs 0 -> 1 merge into one strategy
    fa, w = [f32(0.1), f32(0.2)], [dec(enc(f32(10))), dec(enc(f32(12)))]
    u = (f32(0.5) + w[0] * fa[0]) / (fa[0] + f32(0))
    nf = fa[0] + f32(0)
    u, nf = (u * nf + w[1] * fa[1]) / (fa[1] + nf), fa[1] + nf
    labels, flows = lumo.linear_assign([0, 0], [1, 1], [0.1, 0.2], [10, 12], [3, 0], [1])
    same(labels, [u, 0.0])
    same(flows, [(fa[0] / nf) * f32(3), (fa[1] / nf) * f32(3)])
    # a NaN frequency poisons label and flow; the unreached node 2 (counted from `to`) keeps +inf
    labels, flows = la(arc_freqs=[NAN], to=[1, 2], demands=[3.0, 0.0, 0.0])
    same(labels, [NAN, 0.0, INF])
    same(flows, [NAN])

LCA = [[0, 0], [1, 1], [0.1, 0.2], [10.0, 12.0], [3.0, 0.0], [1], 20.0]  # common lines, capacity 20

@needs("linear_congested_assign")
@pytest.mark.filterwarnings("ignore:linear_congested_assign. no convergence:RuntimeWarning")
def test_congested_defaults_and_scalars():
    f = lumo.linear_congested_assign
    want = f(*LCA)
    for kw in ({"average_decay_factor": 0.02}, {"beta": 0.25}, {"tol": 0.0011}):  # the defaults matter here
        assert f(*LCA, **kw) != want
    # a tolerance never met leaves the stop to the default limit
    assert f(*LCA, tol=-1.0) == f(*LCA, tol=-1.0, max_iters=1000) != f(*LCA, tol=-1.0, max_iters=999)
    for got in (f(*LCA, 0.01, 0.2, 0.001, 1000), f(*LCA, f32(0.01), f32(0.2), f32(0.001), np.uint32(1000)),
                f(*LCA, max_iters=1000, tol=0.001, beta=0.2, average_decay_factor=0.01)):
        same(got[0], want[0])
        same(got[1], want[1])
    for a, b in zip(f(*LCA, max_iters=True), f(*LCA, max_iters=1)):
        same(a, b)
    for kw, exc, msg in [({"max_iters": 2.0}, *pre("max_iters", NOT_INT)), ({"tol": None}, *pre("tol", NOT_REAL)),
                         ({"max_iters": 2**32}, OverflowError, "out of range integral type conversion attempted"),
                         ({"max_iters": 2**64}, *BIG), ({"max_iters": -1}, *NEG),
                         ({"beta": [0.2]}, *pre("beta", capi("PyFloat_AsDouble", [0.2])))]:
        with pytest.raises(BaseException) as info:
            f(*LCA, **kw)
        assert (info.type, str(info.value)) == (exc, msg)

class SubList(list):  # not an exact list: read through its iterator
    pass

class Changer:  # converts to `value` after changing the list `into`
    def __init__(self, value, change): self.value, self.change, self.into = value, change, None
    def __float__(self):
        self.change(self.into)
        return self.value

def outcome(call):
    try:
        return "result", call()
    except BaseException as e:
        return type(e).__name__, str(e)

SHORT = ("PanicException", "range end index 2 out of range for slice of length 1")

@pytest.mark.parametrize("items, change, want", [
    ([0.0, 5.0], lambda l: l.pop(), ("result", ([2.5, 0.0], [3.0]))),  # read up to the new end
    ([], lambda l: l.append(0.0), ("result", ([2.5, 0.0], [3.0]))),  # and past the old one
    ([0.0], lambda l: l.clear(), SHORT),  # the item dropped while it is converted
])
def test_list_changed_while_converted(capfd, items, change, want):
    """An item converted with Python code may change the list being read: an
    exact list is read as its iterator reads it, like any other sequence."""
    for kind in (list, SubList):
        first = Changer(3.0, change)
        demands = kind([first, *items])
        first.into = demands
        del first
        assert outcome(lambda: la(demands=demands)) == want, kind
    capfd.readouterr()

@pytest.mark.parametrize("name", [pytest.param(n, marks=needs(n)) for n in ORDER if n.startswith("mat_")])
def test_rows_changed_while_converted(capfd, name):
    """A row dropped from the outer list while its own items are converted."""
    extra = [1.0] * (name == "mat_linear_congested_assign")
    got = []
    for kind in (list, SubList):
        changer = Changer(1.0, lambda l: l.clear())
        matrix = kind([[0.0, changer], [1.0, 0.0]])
        changer.into = matrix
        del changer
        got.append(outcome(lambda: getattr(lumo, name)(MAT4[0], MAT4[1], matrix, MAT4[3], *extra)))
    # only the first row is read, so stop 1 of the line is outside a 1 x 1 matrix
    assert got[0] == got[1] == ("PanicException", "index out of bounds: the len is 1 but the index is 1")
    capfd.readouterr()

@pytest.mark.parametrize("name", [pytest.param(n, marks=needs(n)) for n in ORDER if n.startswith("mat_")])
@pytest.mark.parametrize("pos, value, msg", [
    (0, "01", nostr("alignments")), (0, ["01"], nostr("alignments")), (0, [5], noseq("alignments", "int")),
    (2, [[0, 1], "ab"], nostr("travel_time_mat")), (3, [[0, 1], {0}], noseq("demands_mat", "set")),
])
def test_nested_conversion_errors(name, pos, value, msg):
    args = MAT4 + [1.0] * (name == "mat_linear_congested_assign")
    args[pos] = value
    with pytest.raises(TypeError) as info:
        getattr(lumo, name)(*args)
    assert (info.type, str(info.value)) == msg

PANICS = [({"to": []}, "called `Option::unwrap()` on a `None` value"),
          ({"from": [], "dsts": []}, "called `Option::unwrap()` on a `None` value"),
          ({"dsts": [2**32 + 1]}, "index out of bounds: the len is 2 but the index is 4294967297"),  # no 32-bit cut
          ({"demands": [3.0]}, "range end index 2 out of range for slice of length 1")]

def test_panic_exception(capfd):
    classes = []
    for over, msg in PANICS:
        caught = None
        try:
            try:
                la(**over)
            except Exception as e:  # must not catch it
                caught = ("caught as Exception", e)
        except BaseException as e:
            caught = e
        cls = type(caught)
        assert f"{cls.__module__}.{cls.__qualname__}" == "pyo3_runtime.PanicException"
        assert cls.__bases__ == (BaseException,) and caught.args == (msg,) and str(caught) == msg
        assert isinstance(cls.__doc__, str) and cls.__doc__.strip()
        err = capfd.readouterr().err
        assert msg in err
        # the report names the source position relative to the project
        assert re.search(r"^thread .* panicked at src/core/\w+\.cpp:\d+:$", err, re.M), err
        classes.append(cls)
    assert all(c is classes[0] for c in classes) and classes[0] not in vars(lumo).values()
    same(la()[0], [2.5, 0.0])  # the module stays usable

REINIT = """
import importlib.util, sys, lumo
del sys.modules['lumo']
try:
    importlib.util.module_from_spec(importlib.util.find_spec('lumo'))
except ImportError as e:
    print(type(e).__name__, e)
print(lumo.linear_assign([0], [1], [float('inf')], [2.5], [3.0, 0.0], [1]))
"""

@pytest.mark.parametrize("script, out", [
    (REINIT, "ImportError PyO3 modules may only be initialized once per interpreter process\n([2.5, 0.0], [3.0])\n"),
    ("import lumo; print(lumo.__name__, lumo.__all__[0])", "lumo linear_assign\n"),  # from any directory
])
def test_subprocess(script, out):
    r = subprocess.run([sys.executable, "-c", script], cwd="/tmp", capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stdout) == (0, out), r.stderr


@pytest.mark.skipif(shutil.which("nm") is None, reason="binutils not installed")
def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", lumo.__file__], capture_output=True,
                         text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_lumo"]

"""Uncongested assignment: worked networks, edge cases, failures, a differential check
against the float32 model, and independence from threads."""
import hashlib
import os
import random
import re
import subprocess
import sys
import threading

import numpy as np
import pytest

import lumo
from model_linear import ModelPanic, assign

INF, NAN = float("inf"), float("nan")
np.seterr(all="ignore")


def bits(xs):
    a = np.array(xs, dtype=np.float32).view(np.uint32).copy()
    a[np.isnan(np.array(xs, dtype=np.float32))] = 0x7FC00000  # any NaN equals any NaN
    return a.tolist()


def panic_text(*args):
    with pytest.raises(BaseException) as info:
        lumo.linear_assign(*args)
    assert type(info.value).__name__ == "PanicException"
    assert type(info.value).__module__ == "pyo3_runtime"
    return info.value.args[0]


def check(args, labels, flows):
    """The module and the model both give exactly these labels and flows."""
    for got in (lumo.linear_assign(*args), assign(*args)):
        assert bits(got[0]) == bits(labels) and bits(got[1]) == bits(flows)


F32 = lambda x: float(np.float32(x))

CASES = {  # from, to, arc_freqs, costs, demands, dsts -> labels, flows
    # both lines attract: 15 from the first, then (15*0.1 + 12*0.2)/0.3 = 13
    "common lines": ([0, 0], [1, 1], [0.1, 0.2], [10, 12], [3, 0], [1],
                     [13, 0], [0.99999994, 1.9999999]),
    "second line rejected": ([0, 0], [1, 1], [0.1, 0.2], [10, 20], [3, 0], [1], [15, 0], [3, 0]),
    # 0->2 is accepted at 24, then the no-wait arc at 2 + 15 replaces it
    "no-wait displaces line": ([0, 1, 0], [1, 2, 2], [INF, 0.1, 0.05], [2, 10, 14], [6, 0, 0], [2],
                               [17, 15, 0], [6, 6, 0]),
    # origin 3 cannot reach 2: its demand stays put, nothing is loaded
    "unreachable origin": ([0, 1, 0, 3], [1, 2, 2, 4], [INF, 0.1, 0.05, 0.5], [2, 10, 14, 1],
                           [6, 0, 0, 4, 0], [2], [17, 15, 0, INF, INF], [6, 6, 0, 0]),
    "cost beyond key range": ([0], [1], [0.1], [40000], [1, 0], [1], [INF, 0], [0]),
    "quantised cost": ([0], [1], [INF], [0.123456789], [1, 0], [1], [F32(0.12345), 0], [1]),
    # first arc leaves +inf (0.5/0) and frequency 0; the second gives (0.5 + 6*0.5)/0.5
    "zero-frequency first arc": ([0, 0], [1, 1], [0, 0.5], [5, 6], [2, 0], [1], [7, 0], [0, 2]),
    "zero-frequency service alone": ([0], [1], [0], [5], [2, 0], [1], [INF, 0], [0]),
    "all arcs leave destination": ([1, 1], [0, 2], [0.5, 0.5], [1, 1], [0, 5, 0], [1],
                                   [INF, 0, INF], [0, 0]),
    "nothing enters destination": ([0], [2], [0.5], [1], [3, 0, 0], [1], [INF, 0, INF], [0]),
    # ties with a no-wait arc: the first one popped (arc 0) takes the node, the tie is refused
    "tied no-wait arcs": ([0, 0], [1, 1], [INF, INF], [5, 5], [2, 0], [1], [5, 0], [2, 0]),
    "line tying no-wait arc": ([0, 0, 2], [1, 1, 0], [INF, 0.5, INF], [5, 5, 1], [2, 0, 1], [1],
                               [5, 0, 6], [3, 0, 1]),
    "self loop refused": ([0, 0], [0, 1], [INF, 0.5], [0, 5], [2, 0], [1], [6, 0], [0, 2]),
    # unused trailing `to` entry still counts: N = 8
    "node count from to": ([0, 1], [1, 2, 7], [0.5, 0.5], [1, 1], [1] * 8 + [0] * 8, [2, 7],
                           [4, 2, 0] + [INF] * 5 + [INF] * 7 + [0], [1, 2, 0, 0]),
    # the negative frequency of arc 1 raises the label of 2 from 3 to 4; the re-priced
    # arc 2 must then sink below arc 3, so that node 1 is left without waiting on arc 3
    "raised label re-sorts queue": ([2, 2, 1, 1], [0, 0, 2, 0], [0.25, -0.125, INF, INF],
                                    [1, 2, 0, 3.5], [0, 1, 1], [0], [0, 3.5, 4],
                                    [2, -1, 0, 1]),
    "empty dsts": ([0], [1], [0.5], [1], [], [], [], []),
    # a missing `to` entry is never read for arcs leaving the destination
    "short to, arc leaves dst": ([0, 1, 0], [1, 0], [0.5] * 3, [1] * 3, [0, 2], [0],
                                 [0, 2], [0, 2, 0]),
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_worked_networks(case):
    check(case[:6], case[6], case[7])


def test_blocks_follow_destination_order():
    net = ([0, 1, 0, 2], [1, 2, 2, 0], [INF, 0.1, 0.05, 0.5], [2, 10, 14, 3])
    rows = {2: [6.0, 1.0, 0.0], 0: [0.0, 2.0, 5.0]}
    single = {d: lumo.linear_assign(*net, rows[d], [d]) for d in rows}
    for order in ([2, 0], [0, 2], [0, 0, 2, 2]):
        labels, flows = lumo.linear_assign(*net, sum((rows[d] for d in order), []), order)
        assert len(labels) == 3 * len(order) and len(flows) == 4 * len(order)
        for k, d in enumerate(order):
            assert bits(labels[3 * k:3 * k + 3]) == bits(single[d][0])
            assert bits(flows[4 * k:4 * k + 4]) == bits(single[d][1])
    # a repeated destination reads its own demand row
    labels, flows = lumo.linear_assign(*net, [6.0, 1.0, 0.0, 12.0, 2.0, 0.0], [2, 2])
    assert labels[:3] == labels[3:] and [2 * x for x in flows[:4]] == flows[4:]


OOB = "index out of bounds: the len is {} but the index is {}".format
FAILURES = {  # from, to, arc_freqs, costs, demands, dsts -> text
    "empty from": ([], [1], [], [], [], [], "called `Option::unwrap()` on a `None` value"),
    "empty to": ([0], [], [1], [1], [], [], "called `Option::unwrap()` on a `None` value"),
    "short demands": ([0], [1], [1], [1], [0, 0, 0], [1, 1],
                      "range end index 4 out of range for slice of length 3"),
    "destination out of range": ([0], [1], [1], [1], [0, 0], [5], OOB(2, 5)),
    "short to": ([0, 1, 0], [1, 2], [1] * 3, [1] * 3, [0] * 3, [2], OOB(2, 2)),
    "short costs": ([0, 1, 0], [1, 2, 2], [1] * 3, [1] * 2, [0] * 3, [2], OOB(2, 2)),
    # arc 1 is unreachable, yet still removed and checked
    "short arc_freqs": ([0, 2], [1, 3], [1], [1] * 2, [0] * 4, [1], OOB(1, 1)),
    # set-up failures of any position come before search failures; lowest position first
    "set-up before search": ([0, 2], [1, 3], [1], [1] * 2, [0] * 12, [1, 9, 7], OOB(4, 9)),
    "lowest position": ([0], [1], [1], [1], [0] * 4, [1, 6, 1, 0], OOB(2, 6)),
    "demands before dst": ([0], [1], [1], [1], [0] * 3, [1, 3], "range end index 4 out of "
                           "range for slice of length 3"),
}


@pytest.mark.parametrize("case", FAILURES.values(), ids=FAILURES.keys())
def test_failure_texts(case):
    assert panic_text(*case[:6]) == case[6]
    with pytest.raises(ModelPanic, match="^" + re.escape(case[6]) + "$"):
        assign(*case[:6])


def random_network(rng):
    n, m = rng.randint(2, 12), rng.randint(0, 30)
    frm = [rng.randrange(n) for _ in range(m)]
    to = [a if rng.random() < 0.1 else rng.randrange(n) for a in frm]  # some self loops
    for _ in range(rng.choice([0, 0, 0, 1, 3])):  # duplicated arcs
        if frm:
            a = rng.randrange(len(frm))
            frm.append(frm[a])
            to.append(to[a])
    freqs = [rng.choice([INF, INF, 0.5, 0.25, 0.1, 0.5, 0.25, 0.1, 0.0, -INF]) if rng.random() < 0.95
             else -rng.choice([0.25, 0.5]) for _ in frm]  # negative ones can raise a label
    costs = [rng.choice([0, 1, 1, 2, 2, 3, 4, 0.5, 40000, -1, NAN]) if rng.random() < 0.1
             else rng.randint(0, 4) for _ in frm]
    costs = [float(c) for c in costs]
    to += [rng.randrange(n + 2) for _ in range(rng.choice([0, 0, 0, 1]))]
    nn = max(frm + to, default=0) + 1
    dsts = [rng.randrange(nn) for _ in range(rng.randint(0, 4))]
    dsts += dsts[:rng.choice([0, 1])]  # repeated destinations
    demands = [float(rng.choice([0, 0, 1, 2, 3])) for _ in range(nn * len(dsts))]
    if rng.random() < 0.1:  # occasionally break a length, or a destination
        which = rng.choice([freqs, costs, to, demands, dsts])
        if which is dsts:
            dsts.append(nn + rng.randrange(3))
        else:
            del which[rng.randrange(len(which) + 1):]
    return frm, to, freqs, costs, demands, dsts


@pytest.mark.parametrize("seed", range(200))
def test_matches_model(seed):
    args = random_network(random.Random(seed))
    try:
        want = assign(*args)
    except ModelPanic as e:
        assert panic_text(*args) == e.args[0]
        return
    got = lumo.linear_assign(*args)
    assert bits(got[0]) == bits(want[0]) and bits(got[1]) == bits(want[1])


BIG = """
import random, hashlib, numpy as np, lumo
rng, n = random.Random(7), 300
frm = [rng.randrange(n) for _ in range(1500)]
to = [(f + rng.randint(1, 9)) % n for f in frm]
freqs = [rng.choice([float('inf'), 0.5, 0.25, 0.1]) for _ in frm]
costs = [float(rng.randint(0, 6)) for _ in frm]
dsts = list(range(n))
demands = [float(rng.randint(0, 3)) for _ in range(n * n)]
ARGS = (frm, to, freqs, costs, demands, dsts)
def digest(res):
    return hashlib.sha256(np.array(res[0] + res[1], dtype=np.float32).tobytes()).hexdigest()
"""


def test_independent_of_pool_size():
    run = lambda env: subprocess.run(
        [sys.executable, "-c", BIG + "print(digest(lumo.linear_assign(*ARGS)))"], env=env,
        capture_output=True, text=True, check=True).stdout.strip()
    base = {k: v for k, v in os.environ.items() if k != "RAYON_NUM_THREADS"}
    one = run({**base, "RAYON_NUM_THREADS": "1"})
    ns = {}
    exec(BIG, ns)
    assert one == run(base) == ns["digest"](lumo.linear_assign(*ns["ARGS"]))
    # spot-check two blocks against the model
    frm, to, freqs, costs, demands, dsts = ns["ARGS"]
    labels, flows = lumo.linear_assign(*ns["ARGS"])
    for k in (0, 299):
        want = assign(frm, to, freqs, costs, demands[k * 300:(k + 1) * 300], [dsts[k]])
        assert bits(labels[k * 300:(k + 1) * 300]) == bits(want[0])
        assert bits(flows[k * 1500:(k + 1) * 1500]) == bits(want[1])


def test_concurrent_python_threads():
    ns = {}
    exec(BIG, ns)
    expect = ns["digest"](lumo.linear_assign(*ns["ARGS"]))
    barrier, seen = threading.Barrier(4), []

    def work():
        barrier.wait()
        seen.extend(ns["digest"](lumo.linear_assign(*ns["ARGS"])) for _ in range(3))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert seen == [expect] * 12

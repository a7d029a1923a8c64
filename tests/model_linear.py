"""Slow reference model of the uncongested optimal-strategy assignment.

Every operation is done on numpy.float32 scalars so that each step rounds to
32 bits exactly like the native code; results are compared bit for bit.
"""
import numpy as np

F = np.float32
INF = F(np.inf)
SCALE = F(-60000.0)
INT_MIN, INT_MAX = -2**31, 2**31 - 1


class ModelPanic(Exception):
    """Internal failure of the native code, carrying its message text."""


def encode(w):
    x = F(w) * SCALE
    if np.isnan(x):
        return 0
    if x <= F(INT_MIN):
        return INT_MIN
    if x >= F(2.0**31):
        return INT_MAX
    return int(x)  # int() truncates toward zero


def decode(p):
    return INF if p == INT_MIN else F(p) / SCALE


class Heap:
    """Binary max-heap over integer priorities keyed by arc index."""

    def __init__(self):
        self.pri, self.key, self.pos = [], [], {}

    def _swap(self, a, b):
        self.pri[a], self.pri[b] = self.pri[b], self.pri[a]
        self.key[a], self.key[b] = self.key[b], self.key[a]
        self.pos[self.key[a]], self.pos[self.key[b]] = a, b

    def _up(self, q):
        while q > 0 and self.pri[(q - 1) // 2] < self.pri[q]:
            self._swap(q, (q - 1) // 2)
            q = (q - 1) // 2
        return q

    def _down(self, q):
        n = len(self.pri)
        while True:
            c, l, r = q, 2 * q + 1, 2 * q + 2
            if l < n and self.pri[l] > self.pri[c]:
                c = l
            if r < n and self.pri[r] > self.pri[c]:
                c = r
            if c == q:
                return
            self._swap(q, c)
            q = c

    def push(self, k, p):
        self.pri.append(p)
        self.key.append(k)
        self.pos[k] = len(self.pri) - 1
        self._up(len(self.pri) - 1)

    def pop(self):
        k, p = self.key[0], self.pri[0]
        del self.pos[k]
        lk, lp = self.key.pop(), self.pri.pop()
        if self.pri:
            self.key[0], self.pri[0], self.pos[lk] = lk, lp, 0
            self._down(0)
        return k, p

    def change(self, k, p):
        if k in self.pos:
            self.pri[self.pos[k]] = p
            self._down(self._up(self.pos[k]))


def oob(length, index):
    return ModelPanic(f"index out of bounds: the len is {length} but the index is {index}")


def setup(k, n, frm, to, costs, demands, dsts):
    """Set-up of one destination position; raises its set-up failures."""
    if len(demands) < (k + 1) * n:
        raise ModelPanic(f"range end index {(k + 1) * n} out of range "
                         f"for slice of length {len(demands)}")
    d = dsts[k]
    if d >= n:
        raise oob(n, d)
    labels = [INF] * n
    labels[d] = F(0)
    heap, incoming = Heap(), {}
    for a in range(len(frm)):
        if frm[a] == d:
            continue
        if a >= len(to):
            raise oob(len(to), a)
        if a >= len(costs):
            raise oob(len(costs), a)
        heap.push(a, encode(labels[to[a]] + F(costs[a])))
        incoming.setdefault(to[a], []).append(a)
    return labels, heap, incoming, [F(x) for x in demands[k * n:(k + 1) * n]]


def search_and_load(state, frm, to, arc_freqs, costs, feed_rule=True, trace=None):
    labels, heap, incoming, volumes = state
    node_freqs = [F(0)] * len(labels)
    feeds = [False] * len(labels)  # the head of an accepted arc
    strategy = []
    while heap.pri:
        a, p = heap.pop()
        if a >= len(arc_freqs):
            raise oob(len(arc_freqs), a)
        i, w, fa = frm[a], decode(p), F(arc_freqs[a])
        # Rejected: a cheaper label already, an unreachable head, a tail that
        # is already left without waiting, a tail that already feeds an accepted
        # arc (its volume could arrive after its arcs were loaded), or a self loop.
        if labels[i] < w or p == INT_MIN or np.isinf(node_freqs[i]) or i == to[a]:
            continue
        if feed_rule and feeds[i]:
            continue
        if np.isinf(fa):
            labels[i], node_freqs[i] = w, fa
        else:
            u, f = labels[i], node_freqs[i]
            pp = F(0.5) if abs(f) < F(1e-8) and np.isinf(u) else u * f
            labels[i], node_freqs[i] = (pp + w * fa) / (fa + f), fa + f
        strategy.append(a)
        feeds[to[a]] = True
        for b in incoming.get(i, []):
            heap.change(b, encode(labels[i] + F(costs[b])))
    flows = [F(0)] * len(frm)
    for a in reversed(strategy):
        i, j, fa = frm[a], to[a], F(arc_freqs[a])
        if np.isinf(fa):
            v = volumes[i]
        elif node_freqs[i] == 0:
            v = F(0)
        else:
            v = (fa / node_freqs[i]) * volumes[i]
        flows[a] = v
        volumes[j] = v + volumes[j]
    if trace is not None:  # the strategy, for the skim components
        trace.update(strategy=strategy, node_freqs=node_freqs)
    return labels, flows


def assign(frm, to, arc_freqs, costs, demands, dsts, feed_rule=True):
    """All-destination assignment: (labels, flows), destination-major.

    feed_rule=False gives the former acceptance rule, which can strand volume."""
    if not frm or not to:
        raise ModelPanic("called `Option::unwrap()` on a `None` value")
    n = max(max(frm), max(to)) + 1
    states = [setup(k, n, frm, to, costs, demands, dsts) for k in range(len(dsts))]
    labels, flows = [], []
    for st in states:
        lab, flo = search_and_load(st, frm, to, arc_freqs, costs, feed_rule)
        labels += lab
        flows += flo
    return labels, flows

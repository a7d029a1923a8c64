"""Slow reference model of the congested assignment, in exact float32 steps.

The inner uncongested assignment is passed in, so the model checks the iteration itself.
"""
import ctypes
import ctypes.util

import numpy as np

F = np.float32
INF = F(np.inf)
FLOOR = np.array(0x3A833405, dtype=np.uint32).view(np.float32)[()]

# The module calls the C library's powf; numpy's vectorised power may differ in the last bit.
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.powf.restype = ctypes.c_float
_libm.powf.argtypes = [ctypes.c_float, ctypes.c_float]


def powf(a, b):
    return F(_libm.powf(float(a), float(b)))


def fmax(a, b):
    # C fmax: a NaN operand is ignored
    if np.isnan(a):
        return b
    if np.isnan(b):
        return a
    return a if a >= b else b


def f32(seq):
    return [F(v) for v in seq]


def effective_freqs(x, arc_freqs, to, capacity, beta, D, M):
    totals = []
    for i in range(M):
        t = F(0)
        for k in range(D):
            t = t + x[k * M + i]
        totals.append(t)
    head_load = {}
    for j in range(M):
        head_load[to[j]] = head_load.get(to[j], F(0)) + totals[j]
    eff = [INF] * M
    for i in range(M):
        phi = F(arc_freqs[i])
        if not np.isfinite(phi):
            continue
        t, load, cap = totals[i], head_load[to[i]], phi * F(capacity)
        if load < cap:
            r = t / (t + (cap - load))
            v = phi * (F(1) - powf(r, beta))
        else:
            v = F(0)
        eff[i] = FLOOR if v < FLOOR else v
    return eff


def gap_parts(to, costs, eff, dsts, N, labels, x, outgoing):
    M = len(to)
    num = den = F(0)
    for k, d in enumerate(dsts):
        num_k = den_k = F(0)
        for u in range(N):
            if u == d or u not in outgoing:
                continue
            r0 = r1 = r2 = F(0)
            for a in outgoing[u]:
                xa = x[k * M + a]
                if xa == 0:
                    continue
                th, tu = labels[k * N + to[a]], labels[k * N + u]
                if np.isinf(th) or np.isinf(tu):
                    continue
                r0 = r0 + xa * ((th + F(costs[a])) - tu)
                r1 = fmax(r1, xa / eff[a])
                r2 = r2 + xa * tu
            num_k = num_k + (r0 + r1)
            den_k = den_k + r2
        num = num + num_k
        den = den + den_k
    return num, den


def calc_gap(to, costs, eff, dsts, N, labels, x, outgoing):
    num, den = gap_parts(to, costs, eff, dsts, N, labels, x, outgoing)
    with np.errstate(all="ignore"):
        return num / den


def congested(frm, to, arc_freqs, costs, demands, dsts, capacity, alpha=0.01, beta=0.2,
              tol=0.001, max_iters=1000, assign=None):
    """Returns (labels, flows, iterations run, last gap or None)."""
    with np.errstate(all="ignore"):
        return _congested(frm, to, arc_freqs, costs, demands, dsts, capacity, alpha, beta,
                          tol, max_iters, assign)


def _congested(frm, to, arc_freqs, costs, demands, dsts, capacity, alpha, beta, tol,
               max_iters, assign):
    capacity, alpha, beta, tol = F(capacity), F(alpha), F(beta), F(tol)
    M, D = len(frm), len(dsts)
    N = max(max(frm), max(to)) + 1
    outgoing = {}
    for a, u in enumerate(frm):
        outgoing.setdefault(u, []).append(a)
    labels, x = assign(frm, to, arc_freqs, costs, demands, dsts)
    if not tol < INF or max_iters == 0:
        return labels, x, 0, None
    keep = F(1) - alpha
    count = 0
    while True:
        eff = effective_freqs(x, arc_freqs, to, capacity, beta, D, M)
        labels, y = assign(frm, to, eff, costs, demands, dsts)
        x = [xe * keep + ye * alpha for xe, ye in zip(x, y)]
        g = calc_gap(to, costs, eff, dsts, N, labels, x, outgoing)
        count += 1
        if count == max_iters or not g > tol:
            return labels, x, count, g

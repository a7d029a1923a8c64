"""Slow float32 reference model of the congested assignment; the inner uncongested
assignment is passed in, so that the model checks the iteration itself."""
import ctypes
import ctypes.util

import numpy as np

F = np.float32
INF = F(np.inf)
FLOOR = np.array(0x3A833405, dtype=np.uint32).view(np.float32)[()]

# The module calls the C library's powf; numpy's vectorised power differs in last bits.
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.powf.restype = ctypes.c_float
_libm.powf.argtypes = [ctypes.c_float, ctypes.c_float]


def f32(seq):
    return [F(v) for v in seq]


def fmax(a, b):  # C fmax: a NaN operand is ignored
    return b if np.isnan(a) else a if np.isnan(b) or a >= b else b


def effective_freqs(x, arc_freqs, to, capacity, beta, D, M):
    totals = [F(0)] * M
    for k in range(D):
        for i in range(M):
            totals[i] = totals[i] + x[k * M + i]
    head_load = {}
    for j in range(M):
        head_load[to[j]] = head_load.get(to[j], F(0)) + totals[j]
    eff = [INF] * M
    for i in range(M):
        phi = F(arc_freqs[i])
        if not np.isfinite(phi):
            continue
        per_vehicle = capacity[i] if isinstance(capacity, (list, tuple)) else capacity
        t, load, cap = totals[i], head_load[to[i]], phi * F(per_vehicle)
        v = F(0)
        if load < cap:
            r = t / (t + (cap - load))
            v = phi * (F(1) - F(_libm.powf(float(r), float(beta))))
        eff[i] = FLOOR if v < FLOOR else v
    return eff


def gap_parts(to, costs, eff, dsts, N, labels, x, outgoing, waiting=F(0.5)):
    """(numerator, denominator), summed per destination over nodes in increasing order.
    `waiting` weighs a node's largest flow/frequency ratio: 0.5, half a headway as in the
    labels; 1.0 gives the full-headway measure that levels off above zero."""
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
                th, tu = labels[k * N + to[a]], labels[k * N + u]
                if xa == 0 or np.isinf(th) or np.isinf(tu):
                    continue
                r0 = r0 + xa * ((th + F(costs[a])) - tu)
                r1 = fmax(r1, xa / eff[a])
                r2 = r2 + xa * tu
            num_k = num_k + (r0 + r1 * waiting)
            den_k = den_k + r2
        num, den = num + num_k, den + den_k
    return num, den


def congested(frm, to, arc_freqs, costs, demands, dsts, capacity, alpha=0.01, beta=0.2,
              tol=0.001, max_iters=1000, assign=None, gaps=None, waiting=F(0.5)):
    """Returns (labels, averaged flows, iterations run, last gap or None); appends every
    iteration's gap to `gaps` when given. `alpha`: the weight of every iteration, or a
    callable (iteration k, gaps before it) giving iteration k's weight. `capacity`: one
    value or a list of one per arc."""
    weight = alpha if callable(alpha) else (lambda k, seen, a=F(alpha): a)
    if not isinstance(capacity, (list, tuple)):
        capacity = F(capacity)
    beta, tol = F(beta), F(tol)
    seen = []
    M, D, N = len(frm), len(dsts), max(max(frm), max(to)) + 1
    outgoing = {}
    for a, u in enumerate(frm):
        outgoing.setdefault(u, []).append(a)
    labels, x = assign(frm, to, arc_freqs, costs, demands, dsts)
    if not tol < INF or max_iters == 0:
        return labels, x, 0, None
    count = 0
    with np.errstate(all="ignore"):
        while True:
            eff = effective_freqs(x, arc_freqs, to, capacity, beta, D, M)
            labels, y = assign(frm, to, eff, costs, demands, dsts)
            a = F(weight(count + 1, list(seen)))
            keep = F(1) - a
            x = [xe * keep + ye * a for xe, ye in zip(x, y)]
            num, den = gap_parts(to, costs, eff, dsts, N, labels, x, outgoing, waiting)
            g, count = num / den, count + 1
            seen.append(g)
            if gaps is not None:
                gaps.append(g)
            if count == max_iters or not g > tol:
                return labels, x, count, g


def step_weight(rule, params):
    """The weight of iteration k (from 1) given the gaps of the iterations before it, for
    each step rule, in double precision and narrowed once."""
    if rule == "msa":
        return lambda k, gaps: F(1) / F(k + 1)
    if rule == "mswa":
        (d,) = params

        def mswa(k, gaps):
            total = 0.0
            for j in range(1, k + 2):
                total += float(j) ** d
            return F((k + 1.0) ** d / total)
        return mswa
    if rule == "sra":
        grow, shrink = params

        def sra(k, gaps):
            eta = 2.0
            for j in range(2, k + 1):
                rose = j >= 3 and not gaps[j - 2] < gaps[j - 3]
                eta += grow if rose else shrink
            return F(1.0 / eta)
        return sra
    if rule == "restarts":
        (ratio,) = params

        def restarts(k, gaps):
            anchor, since = None, 0
            for j in range(1, k + 1):
                if j >= 2:
                    g = gaps[j - 2]
                    anchor = g if anchor is None else anchor
                    if g < F(ratio * float(anchor)):
                        anchor, since = g, 0
                since += 1
            return F(1.0 / (since + 1.0))
        return restarts
    raise ValueError(rule)

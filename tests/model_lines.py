"""Slow reference for the line-form layer: expansion into arcs, the folds of the
per-destination results, and the two line-level functions built on the module's
own arc-form assignment. Every operation is rounded to float32."""
import numpy as np

F = np.float32
INF = F(np.inf)


def mat2graph(alignments, freqs, ttm, dm):
    """(from, to, arc_freqs, costs, demands) of the expanded network."""
    S = len(ttm)
    frm, to, arc_freqs, costs = [], [], [], []

    def arc(a, b, f, c):
        frm.append(a)
        to.append(b)
        arc_freqs.append(F(f))
        costs.append(F(c))

    r = S  # next route node
    for l, line in enumerate(alignments):
        f, L = F(freqs[l]), len(line)
        arc(line[0], r, f, 0)
        for p in range(L - 1):
            arc(r + p, r + p + 1, INF, ttm[line[p]][line[p + 1]])
            if p + 1 < L - 1:
                arc(line[p + 1], r + p + 1, f, 0)
            arc(r + p + 1, line[p + 1], INF, 0)
        r += L
    n = r
    demands = [F(0)] * (n * (S - 1)) if S > 1 else []
    for i in range(1, S):
        b = (i - 1) * n
        for o in range(S):
            if o != i:
                d = F(dm[o][i])
                demands[b + o] = d
                demands[b + i] = F(demands[b + i] - d)
    return frm, to, arc_freqs, costs, demands


def graph2mat(values, n):
    """n x n matrix holding values[(k-1)*B + j] at [j][k] for j < k, else 0."""
    if n == 1:
        raise ZeroDivisionError("attempt to divide by zero")
    mat = [[F(0)] * n for _ in range(n)]
    if n == 0:
        return mat
    b = len(values) // (n - 1)
    for j in range(n):
        for k in range(j + 1, n):
            mat[j][k] = F(values[(k - 1) * b + j])
    return mat


def sum_flows(values, n):
    """Per index within a block, the blocks' values added in block order."""
    if n == 0:
        raise ZeroDivisionError("attempt to divide by zero")
    b = len(values) // n
    out = []
    for i in range(b):
        acc = F(0)
        for idx in range(i, len(values), b):
            acc = F(acc + F(values[idx]))
        out.append(acc)
    return out


def total_cost(labels, demands, n):
    """Sum of label*demand over finite labels: each block of n entries summed
    from 0 in index order, then the block sums added in block order."""
    total = F(0)
    count = min(len(labels), len(demands))
    for start in range(0, count, n):
        acc = F(0)
        for idx in range(start, min(start + n, count)):
            u = F(labels[idx])
            if np.isfinite(u):
                acc = F(acc + F(u * F(demands[idx])))
        total = F(total + acc)
    return total


def stop0_demand(dm):
    """Demand towards stop 0 that is never assigned, summed in row order."""
    acc = F(0)
    for o in range(1, len(dm)):
        acc = F(acc + F(dm[o][0]))
    return acc


def _assign(run, alignments, freqs, ttm, dm, *extra):
    """Expand, run the module's arc-form assignment over stops 1..S-1, fold."""
    S = len(ttm)
    frm, to, af, co, dem = mat2graph(alignments, freqs, ttm, dm)
    labels, flows = run(frm, to, [float(x) for x in af], [float(x) for x in co],
                        [float(x) for x in dem], list(range(1, S)), *extra)
    return (graph2mat(labels, S), sum_flows(flows, S - 1),
            total_cost(labels, dem, len(dem) // (S - 1)))


def mat_linear_assign(lumo, *args):
    return _assign(lumo.linear_assign, *args)


def mat_linear_congested_assign(lumo, alignments, freqs, ttm, dm, capacity,
                                average_decay_factor=0.01, beta=0.2, tol=0.001,
                                max_iters=1000):
    return _assign(lumo.linear_congested_assign, alignments, freqs, ttm, dm, capacity,
                   average_decay_factor, beta, tol, max_iters)

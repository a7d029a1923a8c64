"""Slow reference model of the zone-to-zone assignment of lumo.arrays: the
demand matrix, destination by destination, arc flows summed in destination
order, the cost matrix, the total cost and the skim components, every step on
numpy.float32 scalars."""
import numpy as np

from model_linear import F, INF, search_and_load, setup

BOARDING, IN_VEHICLE, ALIGHTING, WALK, ACCESS, EGRESS = range(6)


def components(frm, to, freqs, costs, kinds, n, d, strategy, node_freqs):
    """Waiting, riding, walking and boardings from every node to d.

    Nodes are taken in the order their first arc was accepted; a node starts at
    (0.5 / its frequency, 0, 0, 0) and each accepted arc adds its share (the
    loading's: frequency / node frequency, or 1 without waiting) times the
    arc's own part plus the head's value."""
    parts = [[INF] * n for _ in range(4)]
    for p in parts:
        p[d] = F(0)
    begun = {d}
    for a in strategy:
        i, j, fa, f = frm[a], to[a], F(freqs[a]), node_freqs[frm[a]]
        if i not in begun:
            begun.add(i)
            parts[0][i] = F(0.5) / f
            parts[1][i] = parts[2][i] = parts[3][i] = F(0)
        share = F(1) if np.isinf(fa) else (F(0) if f == 0 else fa / f)
        walking = kinds[a] in (WALK, ACCESS, EGRESS)
        c = F(costs[a])
        own = [F(0), F(0) if walking else c, c if walking else F(0),
               F(1) if kinds[a] == BOARDING else F(0)]
        for p, o in zip(parts, own):
            p[i] = p[i] + share * (o + p[j])
    return parts


def skim(frm, to, freqs, costs, kinds, n, demand, dsts, with_components=True):
    """(flows, cost, total_cost, labels, dest_flows, [wait, ride, walk, boardings])."""
    z, m = len(demand), len(frm)
    nan = F(np.nan)
    sums = [F(0)] * m
    cost = [[nan] * z for _ in range(z)]
    comp = [[[nan] * z for _ in range(z)] for _ in range(4)]
    partial, labels_all, flows_all = [], [], []
    for d in dsts:
        row = [F(0)] * n
        for o in range(z):
            if o != d:
                row[o] = F(demand[o][d])
        trace = {}
        labels, flows = search_and_load(setup(0, n, frm, to, costs, row, [d]), frm, to, freqs,
                                        costs, trace=trace)
        labels_all.append(labels)
        flows_all.append(flows)
        sums = [s + x for s, x in zip(sums, flows)]
        total = F(0)
        for o in range(z):
            cost[o][d] = labels[o]
            if o != d and np.isfinite(labels[o]):
                total = total + labels[o] * row[o]
        partial.append(total)
        if with_components:
            parts = components(frm, to, freqs, costs, kinds, n, d, trace["strategy"],
                               trace["node_freqs"])
            for c in range(4):
                for o in range(z):
                    comp[c][o][d] = parts[c][o]
    total = F(0)
    for p in partial:
        total = total + p
    return sums, cost, total, labels_all, flows_all, comp

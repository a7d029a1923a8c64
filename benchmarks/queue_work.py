"""What the search's queue must do per destination, against a Dijkstra's heap.

    python benchmarks/queue_work.py [--sample 20] [--networks kuopio cairns]
                                    [--data DIR] [--seed 1]

Counts, not times: the strategy search of the slow reference model
(tests/model_linear.py, which keeps the exact queue rules of the native
search) and a plain binary-heap Dijkstra with lazy deletion over the same
reversed arcs, from the same --sample destinations (seeded) of each network,
one destination at a time. Printed per destination, averaged:

- search: the queue's size at set-up (every arc not leaving the destination),
  the removals until only unreachable arcs are left (where the native search
  stops), the changes of priority, and the heap steps (entries moved one
  level by a sift) of both;
- Dijkstra: the nodes settled, the entries pushed, and its heap steps;
- the ratio of heap steps, search ÷ Dijkstra.

The queue starts with every arc at the lowest priority, in arc order, and
every arc whose head gets a label climbs from its place in that full heap;
the ties of the exact rules depend on those places, so no smaller heap gives
the same results. A Dijkstra's heap holds only what it has reached. Where
little of the network is reachable from a destination, the gap between the
two is widest. Not a test; it takes a few seconds per network.
"""
from __future__ import annotations

import argparse
import gzip
import json
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import model_linear as ml  # noqa: E402


class CountingHeap(ml.Heap):
    """The reference heap, counting the entries that its sifts move."""

    def __init__(self) -> None:
        super().__init__()
        self.steps = 0

    def _swap(self, a: int, b: int) -> None:
        self.steps += 1
        super()._swap(a, b)


def search_work(frm, to, freq, cost, d):
    n = max(max(frm), max(to)) + 1
    labels = [ml.INF] * n
    labels[d] = ml.F(0)
    heap, incoming = CountingHeap(), {}
    for a in range(len(frm)):
        if frm[a] == d:
            continue
        heap.push(a, ml.encode(labels[to[a]] + ml.F(cost[a])))
        incoming.setdefault(to[a], []).append(a)
    size, setup_steps = len(heap.pri), heap.steps
    node_freqs = [ml.F(0)] * n
    feeds = [False] * n
    pops = changes = 0
    while heap.pri and heap.pri[0] != ml.INT_MIN:
        a, p = heap.pop()
        pops += 1
        i, w, fa = frm[a], ml.decode(p), ml.F(freq[a])
        if labels[i] < w or ml.np.isinf(node_freqs[i]) or i == to[a] or feeds[i]:
            continue
        if ml.np.isinf(fa):
            labels[i], node_freqs[i] = w, fa
        else:
            u, f = labels[i], node_freqs[i]
            pp = ml.F(0.5) if abs(f) < ml.F(1e-8) and ml.np.isinf(u) else u * f
            labels[i], node_freqs[i] = (pp + w * fa) / (fa + f), fa + f
        feeds[to[a]] = True
        for b in incoming.get(i, []):
            if b in heap.pos:
                prio = ml.encode(labels[i] + ml.F(cost[b]))
                if prio != heap.pri[heap.pos[b]]:
                    changes += 1
                    heap.change(b, prio)
    return size, pops, changes, heap.steps - setup_steps


def dijkstra_work(frm, to, cost, d):
    """Settled nodes, pushes and heap steps of a lazy-deletion Dijkstra."""
    n = max(max(frm), max(to)) + 1
    into: dict[int, list[int]] = {}
    for a in range(len(frm)):
        into.setdefault(to[a], []).append(a)
    dist = [float("inf")] * n
    dist[d] = 0.0
    heap: list[tuple[float, int]] = [(0.0, d)]
    settled = pushes = steps = 0
    while heap:
        top = heap[0]
        last = heap.pop()
        if heap:  # sift the last entry down from the root
            q, size = 0, len(heap)
            while True:
                c = 2 * q + 1
                if c >= size:
                    break
                if c + 1 < size and heap[c + 1] < heap[c]:
                    c += 1
                if not heap[c] < last:
                    break
                heap[q] = heap[c]
                q = c
                steps += 1
            heap[q] = last
        du, u = top
        if du > dist[u]:
            continue
        settled += 1
        for a in into.get(u, []):
            dv = du + float(cost[a])
            v = frm[a]
            if dv < dist[v]:
                dist[v] = dv
                pushes += 1
                heap.append((dv, v))
                q = len(heap) - 1
                while q > 0 and heap[(q - 1) // 2] > heap[q]:
                    heap[q], heap[(q - 1) // 2] = heap[(q - 1) // 2], heap[q]
                    q = (q - 1) // 2
                    steps += 1
    return settled, pushes, steps


def load(data: Path, name: str):
    import numpy as np

    import lumo.arrays as la
    if name == "metro":
        sys.path.insert(0, str(HERE))
        import metro
        net, demand = metro.arrays_network(la, metro.generate(seed=7))
        dests = np.arange(demand.shape[0])
    else:
        with gzip.open(data / f"{name}.json.gz", "rt") as fh:
            d = json.load(fh)
        net = la.Network.from_lines(d["alignments"], d["freqs"], np.asarray(d["travel_time_mat"]))
        demand = np.asarray(d["demands_mat"], dtype=np.float32)
        nonzero = demand != 0
        np.fill_diagonal(nonzero, False)
        dests = np.flatnonzero(nonzero.any(axis=0))
    return net, dests


def main() -> None:
    import numpy as np

    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sample", type=int, default=20)
    ap.add_argument("--networks", nargs="+", default=["kuopio", "samtrans", "cairns", "sao_paulo"])
    ap.add_argument("--data", type=Path, default=HERE.parents[1] / "shared" / "data")
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    print(f"per destination, mean of {args.sample} (seed {args.seed})")
    print(f"{'network':10} {'nodes':>6} {'arcs':>7} | {'queue':>6} {'removed':>7} {'changes':>7} "
          f"{'steps':>7} | {'settled':>7} {'pushed':>6} {'steps':>6} | {'steps ÷':>7}")
    for name in args.networks:
        net, dests = load(args.data, name)
        rng = np.random.default_rng(args.seed)
        picked = rng.choice(dests, size=min(args.sample, dests.size), replace=False)
        frm, to = net.tail.tolist(), net.head.tolist()
        freq, cost = net.freq.tolist(), net.cost.tolist()
        s = np.array([search_work(frm, to, freq, cost, int(d)) for d in picked], float).mean(0)
        k = np.array([dijkstra_work(frm, to, cost, int(d)) for d in picked], float).mean(0)
        print(f"{name:10} {net.n_nodes:6} {net.n_arcs:7} | {s[0]:6.0f} {s[1]:7.0f} {s[2]:7.0f} "
              f"{s[3]:7.0f} | {k[0]:7.0f} {k[1]:6.0f} {k[2]:6.0f} | {s[3] / k[2]:7.1f}",
              flush=True)


if __name__ == "__main__":
    main()

"""The four-line network of Spiess and Florian (1989), assigned with lumo.

Stops A, X, Y, B; 100 trips from A to B. Every line has its own node at each
stop it serves: a boarding arc from the stop (frequency 1/headway per minute,
cost 0) wherever the line goes on, an in-vehicle arc between consecutive nodes
(no waiting, the segment's time) and an alighting arc back to the stop (no
waiting, cost 0) wherever it has arrived.
"""

import math

import lumo

STOPS = ["A", "X", "Y", "B"]
# name, headway (min), stops served, minutes per segment
LINES = [
    ("1", 12.0, ["A", "B"], [25.0]),
    ("2", 12.0, ["A", "X", "Y"], [7.0, 6.0]),
    ("3", 30.0, ["X", "Y", "B"], [4.0, 4.0]),
    ("4", 6.0, ["Y", "B"], [10.0]),
]


def build_network():
    """Arc arrays of the network and the in-vehicle arc of every line segment."""
    frm, to, freqs, costs = [], [], [], []
    segments = []  # (line, from stop, to stop, arc index)
    node = len(STOPS)

    def arc(a, b, f, c):
        frm.append(a)
        to.append(b)
        freqs.append(f)
        costs.append(c)
        return len(frm) - 1

    for name, headway, served, times in LINES:
        nodes = list(range(node, node + len(served)))
        node += len(served)
        for p, stop in enumerate(served):
            s = STOPS.index(stop)
            if p + 1 < len(served):
                arc(s, nodes[p], 1.0 / headway, 0.0)
                seg = arc(nodes[p], nodes[p + 1], math.inf, times[p])
                segments.append((name, stop, served[p + 1], seg))
            if p > 0:
                arc(nodes[p], s, math.inf, 0.0)
    return frm, to, freqs, costs, node, segments


def assign(trips=100.0):
    """Expected travel time from A to B and the volume on every line segment."""
    frm, to, freqs, costs, n_nodes, segments = build_network()
    origin, destination = STOPS.index("A"), STOPS.index("B")
    demands = [0.0] * n_nodes
    demands[origin] = trips
    labels, flows = lumo.linear_assign(frm, to, freqs, costs, demands, [destination])
    volumes = [(line, a, b, flows[arc]) for line, a, b, arc in segments]
    return labels[origin], volumes


def main():
    time_ab, volumes = assign()
    print("Spiess & Florian (1989) four-line network, 100 trips from A to B")
    print(f"expected travel time from A: {time_ab:.2f} min (published 27.75)")
    print()
    print(f"{'line':>4}  {'segment':<7}  {'volume':>7}")
    for line, a, b, v in volumes:
        print(f"{line:>4}  {a + '->' + b:<7}  {v:7.2f}")


if __name__ == "__main__":
    main()

"""Flow conservation: every unit of demand whose origin can reach the destination
arrives there, on hand-made networks and on the shared real networks."""
import gzip
import json
import sys
from pathlib import Path

import numpy as np
import pytest

import lumo
from model_linear import assign

INF = float("inf")
DATA = Path(__file__).resolve().parents[2] / "shared" / "data"  # beside the checkout
NETWORKS = ["kuopio", "samtrans", "cairns", "sao_paulo"]

# A stop s (0) with a line to the destination d (2) at cost 1, and a second line
# whose route node r (1) continues to d slowly (cost 10) but can be left at s
# again at no cost. r takes its label from the alighting arc r -> s, so boarding
# s -> r ties exactly with the label of s.
STOP, ROUTE, DEST = 0, 1, 2
LOOP = ([STOP, ROUTE, ROUTE, STOP], [ROUTE, STOP, DEST, DEST], [0.5, INF, INF, 0.5],
        [0.0, 0.0, 10.0, 1.0], [1.0, 0.0, 0.0], [DEST])


def test_boarding_back_to_the_same_stop_is_not_part_of_the_strategy():
    labels, flows = lumo.linear_assign(*LOOP)
    assert labels == [2.0, 2.0, 0.0] and flows == [0.0, 0.0, 0.0, 1.0]
    # The former rule took the tying boarding arc: half the volume of s went
    # round the loop and came back after the arcs of s had been loaded, so a
    # quarter of it never left s. The labels are the same either way.
    old_labels, old_flows = assign(*LOOP, feed_rule=False)
    assert [float(x) for x in old_labels] == labels
    assert [float(x) for x in old_flows] == [0.5, 0.5, 0.0, 0.75]


def load(name):
    path = DATA / f"{name}.json.gz"
    if not path.exists():
        pytest.skip("network data not present")
    with gzip.open(path, "rt") as f:
        return json.load(f)


def expand(net):
    """Arc form of a line network, in the module's arc order."""
    S = len(net["travel_time_mat"])
    ttm = net["travel_time_mat"]
    frm, to, freqs, costs = [], [], [], []

    def arc(a, b, f, c):
        frm.append(a)
        to.append(b)
        freqs.append(f)
        costs.append(c)

    r = S
    for line, f in zip(net["alignments"], net["freqs"]):
        arc(line[0], r, f, 0.0)
        for p in range(len(line) - 1):
            arc(r + p, r + p + 1, INF, ttm[line[p]][line[p + 1]])
            if p + 2 < len(line):
                arc(line[p + 1], r + p + 1, f, 0.0)
            arc(r + p + 1, line[p + 1], INF, 0.0)
        r += len(line)
    return frm, to, freqs, costs, r


def arrival_shares(net, dsts):
    """(arriving, reachable demand) per destination stop, by linear_assign."""
    frm, to, freqs, costs, n = expand(net)
    dm = np.asarray(net["demands_mat"], dtype=np.float32)
    head = np.asarray(to)
    m = len(frm)
    out = []
    for start in range(0, len(dsts), 150):
        chunk = dsts[start:start + 150]
        demands = np.zeros((len(chunk), n), dtype=np.float32)
        for k, d in enumerate(chunk):
            demands[k, :len(dm)] = dm[:, d]
            demands[k, d] = 0.0
        labels, flows = lumo.linear_assign(frm, to, freqs, costs, demands.ravel().tolist(), chunk)
        labels = np.asarray(labels).reshape(len(chunk), n)
        flows = np.asarray(flows).reshape(len(chunk), m)
        for k, d in enumerate(chunk):
            reachable = demands[k][np.isfinite(labels[k])].sum(dtype=np.float64)
            arriving = flows[k][head == d].sum(dtype=np.float64)
            out.append((arriving, reachable))
    return np.array(out)


@pytest.mark.parametrize("name", NETWORKS)
def test_every_reachable_trip_arrives(name):
    net = load(name)
    dsts = list(range(1, len(net["travel_time_mat"])))
    arriving, reachable = arrival_shares(net, dsts).T
    assert reachable.sum() > 0
    np.testing.assert_allclose(arriving, reachable, rtol=1e-4, atol=1e-3)


def node_balance(net, arc_flows):
    """Per node: outflow - inflow of the summed arc flows."""
    frm, to, _, _, n = expand(net)
    bal = np.zeros(n)
    np.add.at(bal, frm, arc_flows)
    np.subtract.at(bal, to, arc_flows)
    return bal


@pytest.mark.parametrize("name", NETWORKS)
def test_line_functions_conserve_flow(name):
    """Route nodes pass on what they receive; a stop sends out its reachable
    demand and keeps what arrives for it, uncongested and congested alike."""
    net = load(name)
    S = len(net["travel_time_mat"])
    dm = np.asarray(net["demands_mat"], dtype=np.float64)
    dm[:, 0] = 0.0  # stop 0 is no destination
    np.fill_diagonal(dm, 0.0)
    # reachability of every pair from the cost matrix of both directions: the
    # matrix has the upper triangle, the reversed network gives the lower one
    cost, flows, _ = lumo.mat_linear_assign(net["alignments"], net["freqs"],
                                            net["travel_time_mat"], net["demands_mat"])
    rev = [line[::-1] for line in net["alignments"]]
    rcost, _, _ = lumo.mat_linear_assign(rev, net["freqs"], np.asarray(net["travel_time_mat"]).T.tolist(),
                                         [[0.0] * S for _ in range(S)])
    reach = np.triu(np.isfinite(np.asarray(cost)), 1) | np.triu(np.isfinite(np.asarray(rcost)), 1).T
    expected = (dm * reach).sum(axis=1) - (dm * reach).sum(axis=0)
    bal = node_balance(net, np.asarray(flows, dtype=np.float64))
    np.testing.assert_allclose(bal[S:], 0.0, atol=1e-2)
    np.testing.assert_allclose(bal[:S], expected, rtol=1e-4, atol=1e-2)
    with pytest.warns(RuntimeWarning, match="no convergence"):  # tol 0: three iterations
        _, cflows, _ = lumo.mat_linear_congested_assign(
            net["alignments"], net["freqs"], net["travel_time_mat"], net["demands_mat"],
            60.0 * 120, 0.1, 0.2, 0.0, 3)
    bal = node_balance(net, np.asarray(cflows, dtype=np.float64))
    np.testing.assert_allclose(bal[S:], 0.0, atol=1e-2)
    np.testing.assert_allclose(bal[:S], expected, rtol=1e-4, atol=1e-2)

"""A seeded synthetic metropolitan transit network in arc form, for benchmarks.

    python benchmarks/metro.py [--seed 7] [--scale 1.0]   # prints its sizes

At scale 1: about 10,000 stops and 500 lines over a city of 40 x 40 km whose
stops thin out from the centre, about 100,000 arcs, and 2,000 zones, each
joined to its nearest stops by access and egress arcs. Lines run between two
random stops through the stops nearest the straight path, 20 km/h, headways
of 4 to 30 minutes; walking arcs (5 km/h) join each stop to its nearest
neighbours within 600 m. Demand is a gravity model: zone weights drawn
log-normally, trips falling off as exp(-distance / 6 km), about 600,000
trips. `scale` multiplies the stops, lines and zones and the area, keeping the
density; the same seed and scale give the same network.

Nodes: zones 0 .. Z-1 first (the zones of an assignment are the first nodes),
then the stops, then one node per line and position. Arc kinds as
lumo.arrays numbers them. Needs numpy and scipy.
"""
from __future__ import annotations

import argparse

import numpy as np

BOARDING, IN_VEHICLE, ALIGHTING, WALK, ACCESS, EGRESS = range(6)


def generate(seed: int = 7, scale: float = 1.0) -> dict:
    from scipy.spatial import cKDTree

    rng = np.random.default_rng(seed)
    n_stops = int(round(10_000 * scale))
    n_lines = max(1, int(round(500 * scale)))
    n_zones = max(2, int(round(2_000 * scale)))
    half = 20.0 * np.sqrt(scale)  # km: half the side of the city

    def places(count):
        # a dense centre and a thinner spread to the edges
        centre = rng.normal(0.0, half / 3.0, (count, 2))
        spread = rng.uniform(-half, half, (count, 2))
        pick = rng.random(count) < 0.6
        return np.clip(np.where(pick[:, None], centre, spread), -half, half)

    stops = places(n_stops)
    zones = places(n_zones)
    tree = cKDTree(stops)
    first_stop = n_zones
    tails, heads, freqs, costs, kinds = [], [], [], [], []

    def add(t, h, f, c, k):
        tails.append(np.asarray(t, np.int64))
        heads.append(np.asarray(h, np.int64))
        freqs.append(np.broadcast_to(np.asarray(f, np.float64), np.shape(t)))
        costs.append(np.broadcast_to(np.asarray(c, np.float64), np.shape(t)))
        kinds.append(np.full(np.shape(t), k, np.int8))

    # Lines: the stops nearest points every 450 m along a jittered straight path.
    route_node = first_stop + n_stops
    for _ in range(n_lines):
        a, b = stops[rng.integers(n_stops, size=2)]
        length = float(np.hypot(*(b - a)))
        if length < 3.0:
            b = np.clip(a + rng.normal(0.0, 1.0, 2) * 8.0, -half, half)
            length = max(float(np.hypot(*(b - a))), 0.5)
        steps = max(2, int(length / 0.45))
        t = np.linspace(0.0, 1.0, steps)[:, None]
        path = a + t * (b - a) + rng.normal(0.0, 0.15, (steps, 2))
        served = tree.query(path)[1]
        keep = np.r_[True, served[1:] != served[:-1]]
        served = served[keep]
        if served.size < 2:
            continue
        minutes = np.hypot(*(stops[served[1:]] - stops[served[:-1]]).T) * 3.0 + 0.3
        freq = 1.0 / rng.uniform(4.0, 30.0)
        stop_nodes = first_stop + served
        ln = np.arange(route_node, route_node + served.size)
        route_node += served.size
        add(stop_nodes[:-1], ln[:-1], freq, 0.0, BOARDING)
        add(ln[:-1], ln[1:], np.inf, minutes, IN_VEHICLE)
        add(ln[1:], stop_nodes[1:], np.inf, 0.0, ALIGHTING)

    # Walking between neighbouring stops, both ways.
    dist, near = tree.query(stops, k=3, distance_upper_bound=0.6)
    ok = np.isfinite(dist[:, 1:])
    src = np.repeat(np.arange(n_stops), 2).reshape(n_stops, 2)[ok]
    dst = near[:, 1:][ok]
    minutes = dist[:, 1:][ok] * 12.0
    add(first_stop + src, first_stop + dst, np.inf, minutes, WALK)
    add(first_stop + dst, first_stop + src, np.inf, minutes, WALK)

    # Access and egress: every zone to its five nearest stops.
    dist, near = tree.query(zones, k=5)
    zone_of = np.repeat(np.arange(n_zones), 5)
    minutes = dist.ravel() * 12.0 + 1.0
    add(zone_of, first_stop + near.ravel(), np.inf, minutes, ACCESS)
    add(first_stop + near.ravel(), zone_of, np.inf, minutes, EGRESS)

    # Gravity demand between zones.
    weight = rng.lognormal(0.0, 0.8, n_zones)
    gap = np.hypot(zones[:, None, 0] - zones[None, :, 0], zones[:, None, 1] - zones[None, :, 1])
    trips = weight[:, None] * weight[None, :] * np.exp(-gap / 6.0)
    np.fill_diagonal(trips, 0.0)
    trips *= 600_000 * scale / trips.sum()
    demand = np.where(trips >= 0.05, trips, 0.0).astype(np.float32)

    return {
        "tail": np.concatenate(tails), "head": np.concatenate(heads),
        "freq": np.concatenate(freqs).astype(np.float32),
        "cost": np.concatenate(costs).astype(np.float32),
        "kind": np.concatenate(kinds), "n_nodes": route_node, "n_stops": n_stops,
        "n_lines": n_lines, "zones": n_zones, "demand": demand,
    }


def arrays_network(la, g: dict):
    """(lumo.arrays.Network, demand matrix) of a generated network."""
    net = la.Network(g["tail"], g["head"], g["freq"], g["cost"], g["kind"], n_nodes=g["n_nodes"])
    return net, g["demand"]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--scale", type=float, default=1.0)
    args = ap.parse_args()
    g = generate(args.seed, args.scale)
    print(f"stops {g['n_stops']}, lines {g['n_lines']}, zones {g['zones']}, "
          f"nodes {g['n_nodes']}, arcs {g['tail'].size}, trips {g['demand'].sum():.0f}, "
          f"pairs with demand {np.count_nonzero(g['demand'])}")


if __name__ == "__main__":
    main()

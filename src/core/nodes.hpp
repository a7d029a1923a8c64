// Node compaction: a network may name far more nodes than its arcs and zones
// use (a large n_nodes, or one stray index). Per-destination work is sized by
// the node count, so such a network is renumbered once, keeping the order of
// the nodes, and per-node results are mapped back.
#pragma once

#include <span>

#include "core/common.hpp"

namespace lumo {

struct NodeCompaction {
  bool applied = false;  // false: nodes kept as they are
  Index n_nodes = 0;     // the node count of the original network
  Index n_compact = 0;   // zones, then the other nodes used by arcs
  Index n_zones = 0;     // nodes 0 .. n_zones-1 keep their number
  IndexVec used;         // original number of compact node n_zones + i
};

// Renumbers `tail` and `head` in place when the network names more than
// twice as many nodes as it has arcs, beyond its zones; otherwise leaves
// them. The renumbering is increasing, so every tie between nodes is broken
// as before and every result is the same, bit for bit.
NodeCompaction compact_nodes(std::span<Index> tail, std::span<Index> head, Index n_nodes,
                             Index n_zones);

// Rows of `n_compact` per-node values (labels) widened back to rows of
// `n_nodes`, nodes no arc reaches getting `missing`.
FloatVec expand_nodes(const NodeCompaction& c, FloatVec rows, std::size_t n_rows,
                      float missing);

}  // namespace lumo

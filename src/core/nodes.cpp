#include "core/nodes.hpp"

#include <algorithm>

namespace lumo {

NodeCompaction compact_nodes(std::span<Index> tail, std::span<Index> head, Index n_nodes,
                             Index n_zones) {
  NodeCompaction c;
  c.n_nodes = c.n_compact = n_nodes;
  c.n_zones = std::min(n_zones, n_nodes);
  const std::size_t m = tail.size();
  // Work proportional to the arcs already: nothing to gain.
  if (n_nodes <= c.n_zones + 2 * m) return c;
  IndexVec& used = c.used;
  used.reserve(2 * m);
  for (std::span<Index> ends : {tail, head}) {
    for (Index v : ends) {
      if (v >= c.n_zones) used.push_back(v);
    }
  }
  std::sort(used.begin(), used.end());
  used.erase(std::unique(used.begin(), used.end()), used.end());
  for (std::span<Index> ends : {tail, head}) {
    for (Index& v : ends) {
      if (v >= c.n_zones) {
        v = c.n_zones + static_cast<Index>(std::lower_bound(used.begin(), used.end(), v) -
                                           used.begin());
      }
    }
  }
  c.applied = true;
  c.n_compact = c.n_zones + used.size();
  return c;
}

FloatVec expand_nodes(const NodeCompaction& c, FloatVec rows, std::size_t n_rows,
                      float missing) {
  if (!c.applied) return rows;
  const Index n = c.n_nodes, nc = c.n_compact, z = c.n_zones;
  if (rows.size() != n_rows * nc) panic(out_of_bounds(rows.size(), n_rows * nc));
  FloatVec out(checked_count(n_rows, n, sizeof(float)), missing);
  for (std::size_t k = 0; k < n_rows; ++k) {
    const float* from = rows.data() + k * nc;
    float* to = out.data() + k * n;
    std::copy(from, from + z, to);
    for (std::size_t i = 0; i < c.used.size(); ++i) to[c.used[i]] = from[z + i];
  }
  return out;
}

}  // namespace lumo

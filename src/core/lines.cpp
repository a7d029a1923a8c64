#include "core/lines.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

namespace lumo {

namespace {

// The failure the demand fill below would meet first: it reads demands_mat[o][i]
// for destinations i = 1 .. S-1, and for each of them origins o = 0 .. S-1,
// o != i. Found in one pass over the rows instead of S^2 reads: for row o the
// first failing destination is the smallest i >= 1, i != o, that the row lacks.
void check_demand_rows(const std::vector<FloatVec>& demands_mat, Index n_stops) {
  const std::size_t rows = demands_mat.size();
  Index best_i = n_stops, best_o = n_stops;
  for (Index o = 0; o < n_stops; ++o) {
    Index i = o < rows ? std::max<Index>(1, demands_mat[o].size()) : 1;
    if (i == o) ++i;
    if (i < best_i) {  // ties go to the smaller origin, visited first
      best_i = i;
      best_o = o;
    }
  }
  if (best_i >= n_stops) return;
  if (best_o >= rows) panic(out_of_bounds(rows, best_o));
  panic(out_of_bounds(demands_mat[best_o].size(), best_i));
}

}  // namespace

ArcForm mat2graph(std::vector<IndexVec> alignments, FloatVec freqs,
                  std::vector<FloatVec> travel_time_mat, std::vector<FloatVec> demands_mat,
                  bool blocks) {
  const Index n_stops = travel_time_mat.size();

  // Every stop of every line, the last one included, must be a stop: a larger
  // index would silently denote a route node.
  for (std::size_t l = 0; l < alignments.size(); ++l) {
    const IndexVec& line = alignments[l];
    if (line.size() < 2) {
      panic("line " + std::to_string(l) + " has " + std::to_string(line.size()) +
            " stops; a line needs at least two");
    }
    for (Index s : line) {
      if (s >= n_stops) panic(out_of_bounds(n_stops, s));
    }
  }

  std::size_t n_arcs = 0, n_positions = 0;
  for (const IndexVec& line : alignments) {
    if (__builtin_add_overflow(n_arcs, 3 * (line.size() - 1), &n_arcs) ||
        __builtin_add_overflow(n_positions, line.size(), &n_positions)) {
      panic(kCapacityOverflow);
    }
  }
  checked_count(n_arcs, 1, sizeof(Index));
  Index n_nodes = 0;
  if (__builtin_add_overflow(n_stops, n_positions, &n_nodes)) panic(kCapacityOverflow);

  ArcForm out;
  out.from.resize(n_arcs);
  out.to.resize(n_arcs);
  out.arc_freqs.resize(n_arcs);
  out.costs.resize(n_arcs);
  const float inf = std::numeric_limits<float>::infinity();
  std::size_t w = 0;
  auto arc = [&](Index a, Index b, float freq, float cost) {
    out.from[w] = a;
    out.to[w] = b;
    out.arc_freqs[w] = freq;
    out.costs[w] = cost;
    ++w;
  };

  Index route = n_stops;
  for (std::size_t l = 0; l < alignments.size(); ++l) {
    const IndexVec& s = alignments[l];
    if (l >= freqs.size()) panic(out_of_bounds(freqs.size(), l));
    const float f = freqs[l];
    const std::size_t len = s.size();
    arc(s[0], route, f, 0.0f);
    for (std::size_t p = 0; p + 1 < len; ++p) {
      const FloatVec& row = travel_time_mat[s[p]];
      if (s[p + 1] >= row.size()) panic(out_of_bounds(row.size(), s[p + 1]));
      arc(route + p, route + p + 1, inf, row[s[p + 1]]);
      if (p + 1 < len - 1) arc(s[p + 1], route + p + 1, f, 0.0f);
      arc(route + p + 1, s[p + 1], inf, 0.0f);
    }
    route += len;
  }
  out.n_nodes = route;
  alignments = {};
  freqs = {};
  travel_time_mat = {};

  if (n_stops > 1) {
    const std::size_t n_demands = checked_count(n_nodes, n_stops - 1, sizeof(float));
    // A missing row or entry fails before the blocks are allocated and filled.
    check_demand_rows(demands_mat, n_stops);
    if (!blocks) {
      out.demands_mat = std::move(demands_mat);
      return out;
    }
    out.demands.assign(n_demands, 0.0f);
    for (Index i = 1; i < n_stops; ++i) {
      fill_demand_block(out.demands.data() + (i - 1) * n_nodes, i, n_stops, [&](Index o) {
        if (o >= demands_mat.size()) panic(out_of_bounds(demands_mat.size(), o));
        const FloatVec& row = demands_mat[o];
        if (i >= row.size()) panic(out_of_bounds(row.size(), i));
        return row[i];
      });
    }
  }
  return out;
}

std::vector<FloatVec> graph2mat(FloatVec values, Index n) {
  std::vector<FloatVec> matrix(n, FloatVec(n, 0.0f));
  if (n == 1) panic(kDivideByZero);
  if (n == 0) return matrix;
  const std::size_t block = values.size() / (n - 1);
  for (Index j = 0; j < n; ++j) {
    for (Index k = j + 1; k < n; ++k) {
      const std::size_t at = (k - 1) * block + j;
      if (at >= values.size()) panic(out_of_bounds(values.size(), at));
      matrix[j][k] = values[at];
    }
  }
  return matrix;
}

FloatVec sum_flows(FloatVec values, Index n) {
  if (n == 0) panic(kDivideByZero);
  const std::size_t block = values.size() / n;
  FloatVec out(block, 0.0f);
  if (block == 0) return out;
  // Each sum is still taken in block order (a remainder past the last whole
  // block adds to the first entries), but block after block over a range of
  // entries rather than one strided entry at a time.
  parallel_range(tbb::blocked_range<std::size_t>(0, block, 4096),
                 [&](const tbb::blocked_range<std::size_t>& r) {
    float* sums = out.data();
    for (std::size_t base = 0; base < values.size(); base += block) {
      const float* row = values.data() + base;
      const std::size_t end = std::min(r.end(), values.size() - base);
      for (std::size_t i = r.begin(); i < end; ++i) sums[i] = sums[i] + row[i];
    }
  });
  return out;
}

float block_cost(const float* labels, const float* demands, std::size_t len) {
  float sum = 0.0f;
  for (std::size_t e = 0; e < len; ++e) {
    if (is_finite(labels[e])) sum = sum + labels[e] * demands[e];
  }
  return sum;
}

float total_cost(std::span<const float> labels, std::span<const float> demands, Index block) {
  const std::size_t len = std::min(labels.size(), demands.size());
  if (len == 0 || block == 0) return 0.0f;
  const std::size_t n_blocks = (len + block - 1) / block;
  FloatVec partial(n_blocks);
  parallel_range(tbb::blocked_range<std::size_t>(0, n_blocks, 1),
                 [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t b = r.begin(); b != r.end(); ++b) {
      const std::size_t start = b * block, end = std::min(len, start + block);
      partial[b] = block_cost(labels.data() + start, demands.data() + start, end - start);
    }
  });
  float total = 0.0f;
  for (float p : partial) total = total + p;
  return total;
}

IndexVec line_destinations(Index n_stops) {
  IndexVec dsts;
  for (Index i = 1; i < n_stops; ++i) dsts.push_back(i);
  return dsts;
}

Stop0Demand stop0_demand(const std::vector<FloatVec>& demands_mat, Index n_stops) {
  Stop0Demand out;
  const std::size_t rows = std::min<std::size_t>(n_stops, demands_mat.size());
  for (std::size_t o = 1; o < rows; ++o) {
    if (demands_mat[o].empty()) continue;
    const float v = demands_mat[o][0];
    if (v != 0.0f) out.any = true;
    out.total = out.total + v;
  }
  return out;
}

LineResult fold_line_result(FloatVec labels, FloatVec flows, std::span<const float> demands,
                            Index n_stops, Stop0Demand stop0) {
  LineResult out;
  const Index block = n_stops > 1 ? labels.size() / (n_stops - 1) : 0;
  out.total_cost = total_cost(labels, demands, block);
  out.cost_matrix = graph2mat(std::move(labels), n_stops);
  out.arc_flows = sum_flows(std::move(flows), n_stops - 1);
  out.stop0_demand = stop0.any;
  out.stop0_total = stop0.total;
  return out;
}

}  // namespace lumo

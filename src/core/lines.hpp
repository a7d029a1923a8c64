// Line form of the network: its expansion into the arc form, and the folds of
// per-destination results into line-level answers.
#pragma once

#include <span>
#include <vector>

#include "core/common.hpp"

namespace lumo {

// What the line-level functions return.
struct LineResult {
  std::vector<FloatVec> cost_matrix;
  FloatVec arc_flows;
  float total_cost = 0.0f;
  bool stop0_demand = false;  // demand towards stop 0 was given (and not assigned)
  float stop0_total = 0.0f;
};

// The arc form of an expanded line network, with its flat demands
// (one block of n_nodes entries per destination stop 1 .. S-1).
struct ArcForm {
  IndexVec from, to;
  FloatVec arc_freqs, costs, demands;
  Index n_nodes = 0;
  // Without the blocks: the demand matrix itself, checked, for callers that
  // fill one destination's block at a time (fill_demand_block).
  std::vector<FloatVec> demands_mat;
};

// One destination's demand block as the line form lays it out: every other
// origin's demand towards d at its own entry, and at d minus their sum
// (subtracted in origin order). `towards(o)` reads origin o's demand to d.
template <class Towards>
void fill_demand_block(float* block, Index d, Index n_origins, Towards towards) {
  for (Index o = 0; o < n_origins; ++o) {
    if (o == d) continue;
    const float v = towards(o);
    block[o] = v;
    block[d] = block[d] - v;
  }
}

// Stop nodes 0 .. S-1 (S = rows of travel_time_mat), then one route node per
// line and position; per line: boarding, in-vehicle and alighting arcs.
// With `blocks` false the demand blocks are left empty and `demands_mat` kept
// instead, after the same checks.
ArcForm mat2graph(std::vector<IndexVec> alignments, FloatVec freqs,
                  std::vector<FloatVec> travel_time_mat, std::vector<FloatVec> demands_mat,
                  bool blocks = true);

// Upper triangle of the stop-to-stop cost matrix from destination-major labels.
std::vector<FloatVec> graph2mat(FloatVec values, Index n);

// Element-wise sum of the n destination blocks of `values`.
FloatVec sum_flows(FloatVec values, Index n);

// Sum of label * demand over the first `len` entries whose label is finite,
// added in entry order from 0: one destination block's part of total_cost.
float block_cost(const float* labels, const float* demands, std::size_t len);

// Sum of label * demand over finite labels, grouped per destination block and
// then in block order, so it is the same for every pool size.
float total_cost(std::span<const float> labels, std::span<const float> demands, Index block);

// [1, 2, ..., S-1]
IndexVec line_destinations(Index n_stops);

// Demand towards stop 0 cannot be assigned (stop 0 is no destination).
struct Stop0Demand {
  bool any = false;
  float total = 0.0f;
};
Stop0Demand stop0_demand(const std::vector<FloatVec>& demands_mat, Index n_stops);

// Cost matrix, arc flows and total cost from an assignment on an expanded network.
LineResult fold_line_result(FloatVec labels, FloatVec flows, std::span<const float> demands,
                            Index n_stops, Stop0Demand stop0);

}  // namespace lumo

// Congested assignment: effective frequencies lowered by load, repeated
// assignment, averaging of flows and the convergence gap.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "assignment/common.hpp"
#include "assignment/linear.hpp"

namespace lumo {

// Smallest effective frequency of a boarding arc (the float nearest 1/999).
inline constexpr float kFrequencyFloor = 0x1.06680ap-10f;

// How the iteration ended; the boundary warns when the limit was reached with
// the gap still above the tolerance.
struct Convergence {
  std::uint32_t iterations = 0;
  float gap = __builtin_nanf("");
  bool hit_limit = false;  // stopped on max_iters with gap > tol
  float tol = 0.0f;
};

struct CongestedAssignment {
  FloatVec labels;  // of the last assignment
  FloatVec flows;   // the running average
  Convergence convergence;
};

// `outgoing` holds the arcs leaving each node (index_arcs over `from`).
float _calc_gap(std::span<const Index> to, std::span<const float> costs,
                std::span<const float> effective_freqs, std::span<const Index> dsts, Index n_nodes,
                std::span<const float> labels, std::span<const float> flows,
                const ArcIndex& outgoing);

CongestedAssignment _linear_congested_assign(std::span<const Index> from,
                                             std::span<const Index> to,
                                             std::span<const float> arc_freqs,
                                             std::span<const float> costs,
                                             std::span<const float> demands,
                                             std::span<const Index> dsts,
                                             float average_decay_factor, float beta,
                                             float capacity, float tol, std::uint32_t max_iters);

CongestedAssignment linear_congested_assign(IndexVec from, IndexVec to, FloatVec arc_freqs,
                                            FloatVec costs, FloatVec demands, IndexVec dsts,
                                            float capacity, float average_decay_factor,
                                            float beta, float tol, std::uint32_t max_iters);


LineResult mat_linear_congested_assign(std::vector<IndexVec> alignments, FloatVec freqs,
                                       std::vector<FloatVec> travel_time_mat,
                                       std::vector<FloatVec> demands_mat, float capacity,
                                       float average_decay_factor, float beta, float tol,
                                       std::uint32_t max_iters, Convergence* convergence);

}  // namespace lumo

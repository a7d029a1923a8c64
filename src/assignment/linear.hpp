// Uncongested assignment: the optimal strategy for one destination and its
// loading, run for every position of a destination list on the worker pool.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "assignment/common.hpp"
#include "assignment/utils.hpp"

namespace lumo {

// Cost keys: costs enter the queue as integers so that ties are exact.
inline std::int32_t encode(float w) {
  float x = w * -60000.0f;
  if (x != x) return 0;
  if (x <= -2147483648.0f) return INT32_MIN;
  if (x >= 2147483648.0f) return INT32_MAX;
  return static_cast<std::int32_t>(x);
}

inline float decode(std::int32_t p) {
  if (p == INT32_MIN) return __builtin_inff();
  return static_cast<float>(p) / -60000.0f;
}

// What the destinations of one call share read-only: the arc arrays, the node
// count and the arcs-entering-each-node index (compact, increasing arc order).
struct Network {
  std::span<const Index> from, to;
  std::span<const float> costs;
  Index n_nodes = 0;
  ArcIndex incoming;
};

// Derives the node count (failing on an empty `from` or `to`) and builds the
// incoming index. `to` may be longer than `from`; its extra entries count for
// the node count only.
Network prepare_network(std::span<const Index> from, std::span<const Index> to,
                        std::span<const float> costs);

// The same for a network whose node count is given (nodes without arcs
// allowed) and whose arrays all hold one entry per arc, checked here.
Network prepare_network(std::span<const Index> from, std::span<const Index> to,
                        std::span<const float> costs, Index n_nodes);

// Per-worker scratch buffers, reused across the destinations a worker runs and,
// in the congested iteration, across iterations.
struct Workspace;
struct WorkspaceDeleter { void operator()(Workspace*) const; };
using WorkspacePtr = std::unique_ptr<Workspace, WorkspaceDeleter>;
WorkspacePtr make_workspace();

// Assigns every destination position on the pool, writing block k of `labels`
// (D * N) and `flows` (D * M) in place. Both vectors are resized as needed.
void assign_all(const Network& net, std::span<const float> arc_freqs,
                std::span<const float> demands, std::span<const Index> dsts, Workspace& ws,
                FloatVec& labels, FloatVec& flows);

// Arc kinds, as lumo.arrays numbers them; they decide how an arc's cost is
// split into riding and walking, and which arcs count as boardings.
enum : std::uint8_t {
  kBoarding = 0, kInVehicle = 1, kAlighting = 2, kWalk = 3, kAccess = 4, kEgress = 5
};

// A computation stopped on request (Ctrl-C, a progress callback).
struct Cancelled : std::exception {
  const char* what() const noexcept override { return "cancelled"; }
};

struct SkimOptions {
  bool per_destination = false;  // keep every destination's labels and flows
  bool components = false;       // waiting, riding, walking and boardings
  const std::atomic<bool>* cancel = nullptr;
};

// Zone-to-zone results of an assignment. The zones are nodes 0 .. Z-1; matrices
// are Z x Z, row = origin, column = destination, NaN in columns that were not
// assigned.
struct Skim {
  FloatVec flows;  // M, summed over destinations in destination order
  FloatVec cost;
  float total_cost = 0.0f;
  FloatVec labels, dest_flows;  // D x N and D x M with per_destination
  FloatVec wait, ride, walk, boardings;  // with components
};

// Assigns the demand (Z x Z, row-major, origin x destination) towards every
// zone of `dsts`; `kinds` is empty or one kind per arc.
void assign_skim(const Network& net, std::span<const float> arc_freqs,
                 std::span<const std::uint8_t> kinds, std::span<const float> demand,
                 Index n_zones, std::span<const Index> dsts, const SkimOptions& options,
                 Workspace& ws, Skim& out);

struct Assignment {
  FloatVec labels;
  FloatVec flows;
};

Assignment _linear_assign(std::span<const Index> from, std::span<const Index> to,
                          std::span<const float> arc_freqs, std::span<const float> costs,
                          std::span<const float> demands, std::span<const Index> dsts);

// Entry of the Python function of the same name; the caller has released the
// interpreter lock.
Assignment linear_assign(IndexVec from, IndexVec to, FloatVec arc_freqs, FloatVec costs,
                         FloatVec demands, IndexVec dsts);

LineResult mat_linear_assign(std::vector<IndexVec> alignments, FloatVec freqs,
                             std::vector<FloatVec> travel_time_mat,
                             std::vector<FloatVec> demands_mat);

}  // namespace lumo

// Uncongested assignment: the optimal strategy for one destination and its
// loading, run for every position of a destination list on the worker pool.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "core/common.hpp"
#include "core/lines.hpp"

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

// The ends of an arc as the search reads them.
struct ArcEnds {
  std::uint32_t tail, head;
};

// An arc entering a node, beside its cost, as the search re-prices it.
struct InArc {
  std::uint32_t arc;
  float cost;
};

// What the destinations of one call share read-only: the arc arrays, the node
// count and the search's per-node tables. These are built by the first
// assign_all that has a destination and has passed the set-up checks: a call
// with no destination, or one that fails those checks, never allocates
// anything per node.
struct Network {
  std::span<const Index> from, to;
  std::span<const float> costs;
  Index n_nodes = 0;
  // Filled once, by the calling thread, before any task reads them.
  mutable std::vector<std::uint32_t> in_first;   // n_nodes + 1
  mutable std::vector<InArc> in_arcs;            // by head, each in increasing arc order
  mutable std::vector<std::uint32_t> out_first;  // n_nodes + 1
  mutable std::vector<std::uint32_t> out_arcs;   // by tail, each in increasing arc order
  mutable std::vector<ArcEnds> ends;             // by arc
  // By arc: its queue priority while its head has no label, and the arcs for
  // which that is not the lowest priority (a cost that is not a number).
  mutable std::vector<std::int32_t> unreached;
  mutable std::vector<std::uint32_t> unusual;
  mutable bool indexed = false;
};

// Derives the node count (failing on an empty `from` or `to`). `to` may be
// longer than `from`; its extra entries count for the node count only.
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
// Once `cancel` reads true, workers skip the destinations not yet started and
// the call throws Cancelled after the running ones end (`labels` and `flows`
// are then unspecified; the pool and `ws` stay usable). Cancellation wins over
// a failure of some destination.
void assign_all(const Network& net, std::span<const float> arc_freqs,
                std::span<const float> demands, std::span<const Index> dsts, Workspace& ws,
                FloatVec& labels, FloatVec& flows, CancelFlag cancel = nullptr);

// One destination's demand row (N entries) for position k: a pointer into
// the caller's flat blocks, or `buf` (N entries, zeroed) filled and returned.
using DemandRows = std::function<const float*(std::size_t k, FloatVec& buf)>;

// The destination's labels (N) and flows (M), in per-worker buffers that
// stay valid only while `visit` runs for position k.
using DestinationVisit = std::function<void(std::size_t k, const float* labels,
                                            const float* flows)>;

// Assigns every destination position on the pool as assign_all does (same
// checks, failures and cancellation; `n_demands` is the length the flat
// blocks would have), handing each destination's results to `visit` instead
// of keeping them: a caller keeps only what it needs. `visit` runs on the
// worker that assigned position k and must only write what belongs to k.
void assign_each(const Network& net, std::span<const float> arc_freqs, std::size_t n_demands,
                 const DemandRows& rows, std::span<const Index> dsts, Workspace& ws,
                 const DestinationVisit& visit, CancelFlag cancel = nullptr);

// The set-up checks of assign_each, in position order, alone.
void check_destinations(const Network& net, std::size_t n_demands, std::span<const Index> dsts);

// Arc kinds, as lumo.arrays numbers them; they decide how an arc's cost is
// split into riding and walking, and which arcs count as boardings.
enum : std::uint8_t {
  kBoarding = 0, kInVehicle = 1, kAlighting = 2, kWalk = 3, kAccess = 4, kEgress = 5
};
inline constexpr std::uint8_t kArcKinds = 6;
// Their names, in number order, as the Python side shows them.
inline constexpr const char* kArcKindNames[kArcKinds] = {"BOARDING", "IN_VEHICLE", "ALIGHTING",
                                                          "WALK", "ACCESS", "EGRESS"};

struct SkimOptions {
  bool per_destination = false;  // keep every destination's labels and flows
  bool components = false;       // waiting, riding, walking and boardings
  std::size_t chunk = 0;         // destinations held at once (0: by memory)
  bool columns = false;          // zone matrices Z x D (column k: dsts[k]), not Z x Z
  // Each destination's results kept apart, for callers that combine blocks of
  // destinations themselves: cost and components as D x Z rows (row k: the
  // zones' values towards dsts[k]) instead of Z x Z matrices, and each
  // destination's total cost in `partials`.
  bool by_destination = false;
  CancelFlag cancel = nullptr;
  // The minutes each arc takes, where its cost is perceived (weighted, with
  // penalties): the riding and walking components add these instead of the
  // costs. Empty: the costs.
  std::span<const float> minutes;
  // Unless null, counts the destinations assigned so far (for progress shown
  // from another thread; nothing reads it here).
  std::atomic<std::size_t>* done = nullptr;
};

// Zone-to-zone results of an assignment. The zones are nodes 0 .. Z-1; matrices
// are Z x Z, row = origin, column = destination, NaN in columns that were not
// assigned; with SkimOptions::columns Z x D, column k for the k-th destination.
struct Skim {
  FloatVec flows;  // M, summed over destinations in destination order
  FloatVec cost;
  float total_cost = 0.0f;
  FloatVec labels, dest_flows;  // D x N and D x M with per_destination
  FloatVec wait, ride, walk, boardings;  // with components
  FloatVec partials;  // D, with by_destination: the total cost per destination
};

// Demand towards the zones (nodes 0 .. Z-1): a Z x Z matrix (row-major,
// origin x destination) read where it lies, in single or double precision (a
// double is narrowed when it is read), or sparse: per destination zone d its
// entries origins[start[d]] .. and volumes alike, origins increasing, one
// entry per pair (see sparse_demand).
struct DemandMatrix {
  const float* f32 = nullptr;
  const double* f64 = nullptr;
  Index zones = 0;
  std::span<const std::size_t> start;  // zones + 1 offsets when sparse
  std::span<const Index> origins;
  std::span<const float> volumes;

  bool sparse() const { return !start.empty(); }
  bool present() const { return f32 != nullptr || f64 != nullptr || sparse() || zones == 0; }
  // Dense form only.
  float at(Index o, Index d) const {
    const std::size_t i = o * zones + d;
    return f32 != nullptr ? f32[i] : static_cast<float>(f64[i]);
  }
  // Calls f(o, v) for the origins towards d in increasing order: every zone
  // when dense, the entries only when sparse (the others are 0).
  template <class F>
  void column(Index d, F&& f) const {
    if (sparse()) {
      for (std::size_t e = start[d]; e < start[d + 1]; ++e) f(origins[e], volumes[e]);
    } else {
      for (Index o = 0; o < zones; ++o) f(o, at(o, d));
    }
  }
};

// The entries of a sparse demand, owned. Built from (origin, destination,
// volume) triples, each below `zones`: the volumes of one pair are added in
// float32 in the order given, as adding them into a zero matrix would.
struct SparseDemand {
  std::vector<std::size_t> start;
  IndexVec origins;
  FloatVec volumes;
  DemandMatrix view(Index zones) const;
  // Every destination with a non-zero volume from another zone, increasing.
  IndexVec destinations() const;
};
SparseDemand sparse_demand(std::span<const Index> origins, std::span<const Index> destinations,
                           std::span<const float> volumes, Index zones);

// Assigns the demand towards every zone of `dsts` (zones are nodes 0 .. Z-1);
// `kinds` is empty or one kind per arc.
void assign_skim(const Network& net, std::span<const float> arc_freqs,
                 std::span<const std::uint8_t> kinds, const DemandMatrix& demand,
                 std::span<const Index> dsts, const SkimOptions& options, Workspace& ws,
                 Skim& out);

struct Assignment {
  FloatVec labels;
  FloatVec flows;
};

// The functions below that run on the pool take an optional cancel flag, with
// the meaning given at assign_all.
Assignment _linear_assign(std::span<const Index> from, std::span<const Index> to,
                          std::span<const float> arc_freqs, std::span<const float> costs,
                          std::span<const float> demands, std::span<const Index> dsts,
                          CancelFlag cancel = nullptr);

// Entry of the Python function of the same name; the caller has released the
// interpreter lock.
Assignment linear_assign(IndexVec from, IndexVec to, FloatVec arc_freqs, FloatVec costs,
                         FloatVec demands, IndexVec dsts, CancelFlag cancel = nullptr);

LineResult mat_linear_assign(std::vector<IndexVec> alignments, FloatVec freqs,
                             std::vector<FloatVec> travel_time_mat,
                             std::vector<FloatVec> demands_mat, CancelFlag cancel = nullptr);

}  // namespace lumo

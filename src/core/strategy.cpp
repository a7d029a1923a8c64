#include "core/strategy.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>
#include <optional>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/enumerable_thread_specific.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include "core/arc_queue.hpp"
#include "core/lines.hpp"

namespace lumo {

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

struct Scratch {
  FloatVec node_freqs;
  std::vector<std::uint8_t> feeds;  // node is the head of an accepted arc
  FloatVec volumes;
  FloatVec row;  // demand towards the destination, filled by the skim driver
  FloatVec own_labels, own_flows;  // one destination's results, for assign_each
  FloatVec part[4];  // skim components per node, and which nodes have begun
  std::vector<std::uint8_t> begun;
  ArcQueue queue;
  std::vector<std::uint32_t> strategy;  // the accepted arcs, in order
};

// Builds the search's tables of `net` over its first `headed` arcs, those with
// a head. Arcs beyond the head or the costs can only leave every destination:
// never queued, their cost and head are never read.
void index_network(const Network& net, std::size_t headed) {
  const std::size_t m = net.from.size();
  const std::size_t n_costs = net.costs.size();
  ArcIndex in = index_arcs(net.to.first(headed), net.n_nodes);
  net.in_arcs.resize(in.arcs.size());
  for (std::size_t e = 0; e < in.arcs.size(); ++e) {
    const std::uint32_t a = in.arcs[e];
    net.in_arcs[e] = {a, a < n_costs ? net.costs[a] : 0.0f};
  }
  net.in_first = std::move(in.offsets);
  ArcIndex out = index_arcs(net.from, net.n_nodes);
  net.out_arcs = std::move(out.arcs);
  net.out_first = std::move(out.offsets);
  net.ends.resize(m);
  net.unreached.assign(m, INT32_MIN);
  net.unusual.clear();
  for (std::size_t a = 0; a < m; ++a) {
    const auto tail = static_cast<std::uint32_t>(net.from[a]);
    net.ends[a] = {tail, a < headed ? static_cast<std::uint32_t>(net.to[a]) : tail};
    if (a < headed && a < n_costs) {
      net.unreached[a] = encode(kInf + net.costs[a]);
      if (net.unreached[a] != INT32_MIN) net.unusual.push_back(static_cast<std::uint32_t>(a));
    }
  }
  net.indexed = true;
}

// The optimal strategy towards d = dsts[k] and its loading, written into the
// destination's blocks `labels` (N) and `flows` (M). Set-up failures were
// checked by the caller; only a too short `arc_freqs` can fail here.
void assign_destination(const Network& net, std::span<const float> arc_freqs,
                        const float* demand_row, Index d, Scratch& s, float* labels,
                        float* flows) {
  const Index n = net.n_nodes;
  const std::size_t m = net.from.size();
  const Index* from = net.from.data();
  const Index* to = net.to.data();
  const float* costs = net.costs.data();
  const float* freqs = arc_freqs.data();
  const std::size_t n_freqs = arc_freqs.size();

  std::fill(labels, labels + n, kInf);
  labels[d] = 0.0f;
  s.node_freqs.assign(n, 0.0f);
  s.feeds.assign(n, 0);
  s.volumes.assign(demand_row, demand_row + n);
  std::fill(flows, flows + m, 0.0f);
  float* node_freqs = s.node_freqs.data();
  float* volumes = s.volumes.data();
  std::uint8_t* feeds = s.feeds.data();

  // The queue holds every arc not leaving d, in arc order, as inserting them
  // one by one at encode(label of the head + cost) leaves it: arcs into d
  // enter at their cost, the others at the priority of an unlabelled head,
  // the lowest but where the cost is not a number; only the arcs not at the
  // lowest move on insertion, settled here in arc order.
  const ArcEnds* ends = net.ends.data();
  const InArc* in_arcs = net.in_arcs.data();
  const std::uint32_t* in_first = net.in_first.data();
  ArcQueue& queue = s.queue;
  const std::uint32_t* leaving = net.out_arcs.data() + net.out_first[d];
  const ArcQueue::Run run = queue.begin(
      m, net.unreached.data(), {leaving, net.out_arcs.data() + net.out_first[d + 1]});
  {
    const InArc* into = in_arcs + in_first[d];
    const InArc* into_end = in_arcs + in_first[d + 1];
    const std::uint32_t* odd = net.unusual.data();
    const std::uint32_t* odd_end = odd + net.unusual.size();
    while (into != into_end || odd != odd_end) {
      if (odd == odd_end || (into != into_end && into->arc <= *odd)) {
        const std::uint32_t a = into->arc;
        if (odd != odd_end && *odd == a) ++odd;
        ++into;
        if (from[a] == d) continue;
        queue.settle(a, encode(labels[d] + costs[a]));
      } else {
        const std::uint32_t a = *odd++;
        if (from[a] == d) continue;
        queue.settle(a, net.unreached[a]);
      }
    }
  }

  s.strategy.clear();
  while (!queue.empty()) {
    ArcQueue::Entry top = queue.pop();
    const std::uint32_t a = top.key;
    const ArcEnds arc = ends[a];
    if (a >= n_freqs) panic(out_of_bounds(n_freqs, a));
    if (top.prio == INT32_MIN) {
      // An unreachable head: never accepted. Everything left has the same
      // lowest priority and nothing can be re-priced any more, so stop, unless
      // a later removal must still report a missing frequency.
      if (n_freqs >= m) break;
      continue;
    }
    const Index i = arc.tail;
    const float w = decode(top.prio);
    if (labels[i] < w) continue;
    // A node already left without waiting takes no further arc, and a loop
    // back into its own tail would create or strand volume.
    if (is_inf(node_freqs[i]) || i == arc.head) continue;
    // Nor does a node that already feeds an accepted arc: loading runs in
    // reverse order of acceptance, so volume arriving on that arc would come
    // after this arc was loaded and be stranded. Only ties at the key
    // resolution get here (a zero-cost boarding and alighting pair at a stop),
    // so the node's label stays what it was.
    if (feeds[i]) continue;

    const float fa = freqs[a];
    if (is_inf(fa)) {
      labels[i] = w;
      node_freqs[i] = fa;
    } else {
      const float u = labels[i];
      const float f = node_freqs[i];
      const float p = (std::fabs(f) < 1e-8f && is_inf(u)) ? 0.5f : u * f;
      const float wfa = w * fa;
      labels[i] = (p + wfa) / (fa + f);
      node_freqs[i] = fa + f;
    }
    s.strategy.push_back(a);
    feeds[arc.head] = 1;

    const float li = labels[i];
    for (const InArc* e = in_arcs + in_first[i], *end = in_arcs + in_first[i + 1]; e != end; ++e) {
      const std::uint32_t b = e->arc;
      if (!queue.queued(b)) continue;
      const std::int32_t prio = encode(li + e->cost);
      if (prio != queue.priority(b)) queue.change(b, prio);
    }
  }

  for (auto it = s.strategy.rbegin(); it != s.strategy.rend(); ++it) {
    const std::uint32_t a = *it;
    const Index i = ends[a].tail, j = ends[a].head;
    const float fa = freqs[a];
    float v;
    if (is_inf(fa)) {
      v = volumes[i];
    } else {
      // A tail whose services all have frequency 0 sends nothing on them.
      const float f = node_freqs[i];
      v = f == 0.0f ? 0.0f : (fa / f) * volumes[i];
    }
    flows[a] = v;
    volumes[j] = v + volumes[j];
  }
}

// Splits each node's expected cost to d into waiting, riding, walking and the
// number of boardings, under the strategy that assign_destination just left in
// `s` (accepted arcs and final node frequencies). Nodes are taken in the order
// their first arc was accepted, which puts every head before the tails that
// use it; a node begins at (0.5 / its frequency, 0, 0, 0) and each of its
// accepted arcs adds share * (the arc's own part + the head's value), the
// share being the loading's (frequency / node frequency, divided first; 1 for
// an arc without waiting). Nodes without a strategy keep +inf.
void split_components(const Network& net, const float* freqs, const std::uint8_t* kinds,
                      const float* minutes, Index d, Scratch& s) {
  const Index n = net.n_nodes;
  for (FloatVec& v : s.part) v.assign(n, kInf);
  s.begun.assign(n, 0);
  float* wait = s.part[0].data();
  float* ride = s.part[1].data();
  float* walk = s.part[2].data();
  float* board = s.part[3].data();
  wait[d] = ride[d] = walk[d] = board[d] = 0.0f;
  s.begun[d] = 1;
  const float* node_freqs = s.node_freqs.data();
  for (const std::uint32_t a : s.strategy) {
    const Index i = net.ends[a].tail, j = net.ends[a].head;
    const float f = node_freqs[i];
    if (!s.begun[i]) {
      s.begun[i] = 1;
      wait[i] = 0.5f / f;
      ride[i] = walk[i] = board[i] = 0.0f;
    }
    const float fa = freqs[a];
    const float share = is_inf(fa) ? 1.0f : (f == 0.0f ? 0.0f : fa / f);
    const std::uint8_t kind = kinds != nullptr ? kinds[a]
                                               : static_cast<std::uint8_t>(is_inf(fa) ? kInVehicle
                                                                                      : kBoarding);
    const bool walking = kind == kWalk || kind == kAccess || kind == kEgress;
    const float c = minutes != nullptr ? minutes[a] : net.costs[a];
    const float own_ride = walking ? 0.0f : c;
    const float own_walk = walking ? c : 0.0f;
    const float own_board = kind == kBoarding ? 1.0f : 0.0f;
    wait[i] = wait[i] + share * wait[j];
    ride[i] = ride[i] + share * (own_ride + ride[j]);
    walk[i] = walk[i] + share * (own_walk + walk[j]);
    board[i] = board[i] + share * (own_board + board[j]);
  }
}

// The failures that set-up would raise for destination position k.
void check_setup(const Network& net, std::size_t n_demands, std::span<const Index> dsts,
                 std::size_t k) {
  const Index n = net.n_nodes;
  Index end = 0;
  if (__builtin_mul_overflow(k + 1, n, &end)) panic(kCapacityOverflow);
  if (end > n_demands) {
    panic("range end index " + std::to_string(end) + " out of range for slice of length " +
          std::to_string(n_demands));
  }
  if (n >= kMaxNodes) panic(kCapacityOverflow);
  const Index d = dsts[k];
  if (d >= n) panic(out_of_bounds(n, d));
  const std::size_t m = net.from.size();
  const std::size_t n_to = net.to.size(), n_costs = net.costs.size();
  for (std::size_t a = std::min(n_to, n_costs); a < m; ++a) {
    if (net.from[a] == d) continue;
    panic(out_of_bounds(a >= n_to ? n_to : n_costs, a));
  }
}

}  // namespace

namespace {

// Destinations each worker takes per chunk of a skim, at the least.
constexpr std::size_t kDestinationsPerWorker = 8;

// The workers a parallel loop started here may use.
std::size_t workers() {
  if (!ensure_pool()) return 1;
  const auto allowed = tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism);
  const int arena = tbb::this_task_arena::max_concurrency();
  return std::max<std::size_t>(1, std::min<std::size_t>(allowed, static_cast<std::size_t>(arena)));
}

// Destinations held at once when each takes `per_destination` floats: a chunk
// that stays in a core's cache (the flows of each destination are written and
// then folded, and a larger chunk measured slower where destinations are
// quick), but at least a few destinations per worker: each chunk ends at a
// barrier, where workers wait for the longest destination still running, and
// that wait shrinks with the destinations a worker takes per chunk.
std::size_t chunk_by_memory(std::size_t per_destination) {
  const std::size_t budget = std::size_t{1} << 18;  // floats, 1 MB
  const std::size_t least = std::max<std::size_t>(16, kDestinationsPerWorker * workers());
  return std::max(budget / per_destination, least);
}

// Adds `count` consecutive blocks of m flows to `sums`, block after block, over
// ranges of arcs on the pool: each sum in block order, for every pool size.
void fold_flows(float* sums, const float* blocks, std::size_t count, std::size_t m) {
  parallel_range(tbb::blocked_range<std::size_t>(0, m, 4096),
                 [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t k = 0; k < count; ++k) {
      const float* block = blocks + k * m;
      for (std::size_t a = r.begin(); a != r.end(); ++a) sums[a] = sums[a] + block[a];
    }
  });
}

}  // namespace

struct Workspace {
  // One scratch per pool thread; where the pool may not be used, only the
  // calling thread's, and nothing of the pool's state is touched.
  std::optional<tbb::enumerable_thread_specific<Scratch>> pooled;
  Scratch serial;
  Scratch& local() { return pooled ? pooled->local() : serial; }
};

void WorkspaceDeleter::operator()(Workspace* ws) const { delete ws; }

WorkspacePtr make_workspace() {
  WorkspacePtr ws(new Workspace());
  if (ensure_pool()) ws->pooled.emplace();
  return ws;
}

namespace {

// Runs visit(k, scratch) for every destination position on the pool. Positions
// after a failed one are not worth computing; earlier ones still run so that
// the lowest failing position is the one reported, whatever the scheduling.
template <class Visit>
void for_each_destination(std::size_t n_dst, Workspace& ws, CancelFlag cancel, Visit&& visit) {
  std::vector<std::exception_ptr> failures(n_dst);
  std::atomic<std::size_t> first_failed{std::numeric_limits<std::size_t>::max()};
  parallel_range(tbb::blocked_range<std::size_t>(0, n_dst, 1),
                 [&](const tbb::blocked_range<std::size_t>& range) {
    Scratch& s = ws.local();
    for (std::size_t k = range.begin(); k != range.end(); ++k) {
      if (k > first_failed.load(std::memory_order_relaxed) || cancelled(cancel)) continue;
      try {
        visit(k, s);
      } catch (...) {
        failures[k] = std::current_exception();
        std::size_t seen = first_failed.load(std::memory_order_relaxed);
        while (k < seen && !first_failed.compare_exchange_weak(seen, k)) {
        }
      }
    }
  });
  throw_if_cancelled(cancel);
  const std::size_t failed = first_failed.load();
  if (failed != std::numeric_limits<std::size_t>::max()) std::rethrow_exception(failures[failed]);
}

}  // namespace

Network prepare_network(std::span<const Index> from, std::span<const Index> to,
                        std::span<const float> costs) {
  if (from.empty()) panic(kUnwrapNone);
  Index largest = *std::max_element(from.begin(), from.end());
  if (to.empty()) panic(kUnwrapNone);
  largest = std::max(largest, *std::max_element(to.begin(), to.end()));

  Network net;
  net.from = from;
  net.to = to;
  net.costs = costs;
  net.n_nodes = largest == std::numeric_limits<Index>::max() ? largest : largest + 1;
  if (from.size() >= ArcQueue::kNotQueued) panic(kCapacityOverflow);
  return net;
}

Network prepare_network(std::span<const Index> from, std::span<const Index> to,
                        std::span<const float> costs, Index n_nodes) {
  Network net;
  net.from = from;
  net.to = to;
  net.costs = costs;
  net.n_nodes = n_nodes;
  if (to.size() != from.size() || costs.size() != from.size()) panic("arc arrays differ in length");
  if (from.size() >= ArcQueue::kNotQueued) panic(kCapacityOverflow);
  if (n_nodes >= kMaxNodes) panic(kCapacityOverflow);
  for (std::size_t a = 0; a < from.size(); ++a) {
    if (from[a] >= n_nodes) panic(out_of_bounds(n_nodes, from[a]));
    if (to[a] >= n_nodes) panic(out_of_bounds(n_nodes, to[a]));
  }
  index_network(net, to.size());
  return net;
}

void assign_all(const Network& net, std::span<const float> arc_freqs,
                std::span<const float> demands, std::span<const Index> dsts, Workspace& ws,
                FloatVec& labels, FloatVec& flows, CancelFlag cancel) {
  const std::size_t n_dst = dsts.size();
  // Set-up failures are found in position order before any work starts, so
  // the one reported does not depend on scheduling.
  check_destinations(net, demands.size(), dsts);

  const Index n = net.n_nodes;
  const std::size_t m = net.from.size();
  labels.resize(checked_count(n_dst, n, sizeof(float)));
  flows.resize(checked_count(n_dst, m, sizeof(float)));
  if (n_dst == 0) return;
  throw_if_cancelled(cancel);

  if (!net.indexed) {
    // The checks above bound the node count. Arcs beyond the end of `to` have
    // no head; they can only be arcs leaving a destination, never queued.
    index_network(net, std::min(m, net.to.size()));
  }

  for_each_destination(n_dst, ws, cancel, [&](std::size_t k, Scratch& s) {
    assign_destination(net, arc_freqs, demands.data() + k * n, dsts[k], s,
                       labels.data() + k * n, flows.data() + k * m);
  });
}

void check_destinations(const Network& net, std::size_t n_demands, std::span<const Index> dsts) {
  for (std::size_t k = 0; k < dsts.size(); ++k) check_setup(net, n_demands, dsts, k);
}

void assign_each(const Network& net, std::span<const float> arc_freqs, std::size_t n_demands,
                 const DemandRows& rows, std::span<const Index> dsts, Workspace& ws,
                 const DestinationVisit& visit, CancelFlag cancel) {
  const std::size_t n_dst = dsts.size();
  check_destinations(net, n_demands, dsts);
  if (n_dst == 0) return;
  throw_if_cancelled(cancel);
  const Index n = net.n_nodes;
  const std::size_t m = net.from.size();
  if (!net.indexed) index_network(net, std::min(m, net.to.size()));
  for_each_destination(n_dst, ws, cancel, [&](std::size_t k, Scratch& s) {
    s.own_labels.resize(n);
    s.own_flows.resize(m);
    const float* row = rows(k, s.row);
    assign_destination(net, arc_freqs, row, dsts[k], s, s.own_labels.data(), s.own_flows.data());
    visit(k, s.own_labels.data(), s.own_flows.data());
  });
}

Assignment _linear_assign(std::span<const Index> from, std::span<const Index> to,
                          std::span<const float> arc_freqs, std::span<const float> costs,
                          std::span<const float> demands, std::span<const Index> dsts,
                          CancelFlag cancel) {
  Network net = prepare_network(from, to, costs);
  Assignment out;
  WorkspacePtr ws = make_workspace();
  assign_all(net, arc_freqs, demands, dsts, *ws, out.labels, out.flows, cancel);
  return out;
}

Assignment linear_assign(IndexVec from, IndexVec to, FloatVec arc_freqs, FloatVec costs,
                         FloatVec demands, IndexVec dsts, CancelFlag cancel) {
  return _linear_assign(from, to, arc_freqs, costs, demands, dsts, cancel);
}

LineResult mat_linear_assign(std::vector<IndexVec> alignments, FloatVec freqs,
                             std::vector<FloatVec> travel_time_mat,
                             std::vector<FloatVec> demands_mat, CancelFlag cancel) {
  const Index n_stops = travel_time_mat.size();
  Stop0Demand stop0 = stop0_demand(demands_mat, n_stops);
  ArcForm arcs = mat2graph(std::move(alignments), std::move(freqs), std::move(travel_time_mat),
                           std::move(demands_mat), /*blocks=*/false);
  IndexVec dsts = line_destinations(n_stops);
  if (n_stops < 2) {  // no destination: the folds' own failures and empty results
    Assignment res = _linear_assign(arcs.from, arcs.to, arcs.arc_freqs, arcs.costs,
                                    arcs.demands, dsts, cancel);
    throw_if_cancelled(cancel);
    return fold_line_result(std::move(res.labels), std::move(res.flows), arcs.demands, n_stops,
                            stop0);
  }

  // The folds of every destination's labels and flows, taken chunk after
  // chunk of destinations as they are assigned: the per-destination blocks
  // of all destinations at once (the demand, a label per node and a flow per
  // arc, for every stop) are never held, and each result is the one the
  // folds of the whole blocks give: the cost matrix reads destination d's
  // labels at the stops before d, the total adds each destination's finite
  // label x demand products in node order and then those sums in destination
  // order, and each arc's flows are added in destination order.
  const Network net = prepare_network(arcs.from, arcs.to, arcs.costs);
  const std::size_t n_dst = dsts.size();
  check_destinations(net, checked_count(arcs.n_nodes, n_dst, sizeof(float)), dsts);
  throw_if_cancelled(cancel);
  const Index n = net.n_nodes;
  const std::size_t m = net.from.size();
  if (!net.indexed) index_network(net, std::min(m, net.to.size()));

  LineResult out;
  out.cost_matrix.assign(n_stops, FloatVec(n_stops, 0.0f));
  out.arc_flows.assign(m, 0.0f);
  out.stop0_demand = stop0.any;
  out.stop0_total = stop0.total;
  FloatVec partial(n_dst, 0.0f);
  const std::size_t chunk = std::min(n_dst, chunk_by_memory(n + m));
  FloatVec chunk_labels(checked_count(chunk, n, sizeof(float)));
  FloatVec chunk_flows(checked_count(chunk, m, sizeof(float)));
  WorkspacePtr ws = make_workspace();
  for (std::size_t k0 = 0; k0 < n_dst; k0 += chunk) {
    throw_if_cancelled(cancel);
    const std::size_t k1 = std::min(n_dst, k0 + chunk);
    for_each_destination(k1 - k0, *ws, cancel, [&](std::size_t i, Scratch& s) {
      const std::size_t k = k0 + i;
      float* labels = chunk_labels.data() + i * n;
      const Index d = dsts[k];
      s.row.assign(n, 0.0f);
      fill_demand_block(s.row.data(), d, n_stops, [&](Index o) { return arcs.demands_mat[o][d]; });
      const float* demand = s.row.data();
      assign_destination(net, arcs.arc_freqs, demand, d, s, labels, chunk_flows.data() + i * m);
      partial[k] = block_cost(labels, demand, n);
      for (Index o = 0; o < d; ++o) out.cost_matrix[o][d] = labels[o];
    });
    fold_flows(out.arc_flows.data(), chunk_flows.data(), k1 - k0, m);
  }
  throw_if_cancelled(cancel);
  float total = 0.0f;
  for (float p : partial) total = total + p;
  out.total_cost = total;
  return out;
}

void assign_skim(const Network& net, std::span<const float> arc_freqs,
                 std::span<const std::uint8_t> kinds, const DemandMatrix& demand,
                 std::span<const Index> dsts, const SkimOptions& options, Workspace& ws,
                 Skim& out) {
  const Index n = net.n_nodes;
  const std::size_t m = net.from.size();
  const std::size_t n_dst = dsts.size();
  const Index z = demand.zones;
  if (arc_freqs.size() != m || net.to.size() != m || net.costs.size() != m ||
      (!kinds.empty() && kinds.size() != m)) {
    panic("arc arrays differ in length");
  }
  if (z > n || !demand.present() || (demand.sparse() && demand.start.size() != z + 1)) {
    panic("demand does not match the zones");
  }
  // Zone matrices: Z x Z, or Z x D by destination position (D x Z rows with
  // by_destination).
  const std::size_t width = options.columns ? n_dst : z;
  const std::size_t cells =
      options.by_destination ? 0 : checked_count(z, width, sizeof(float));
  for (Index d : dsts) {
    if (d >= z) panic(out_of_bounds(z, d));
  }
  if (n >= kMaxNodes) panic(kCapacityOverflow);

  const float nan = std::numeric_limits<float>::quiet_NaN();
  const bool rows = options.by_destination;
  const std::size_t matrix_size = rows ? checked_count(n_dst, z, sizeof(float)) : cells;
  out.flows.assign(m, 0.0f);
  out.cost.assign(matrix_size, nan);
  out.total_cost = 0.0f;
  if (options.components) {
    for (FloatVec* v : {&out.wait, &out.ride, &out.walk, &out.boardings}) {
      v->assign(matrix_size, nan);
    }
  }
  if (options.per_destination) {
    out.labels.resize(checked_count(n_dst, n, sizeof(float)));
    out.dest_flows.resize(checked_count(n_dst, m, sizeof(float)));
  }
  if (n_dst == 0) return;

  // Without the per-destination blocks, destinations run in chunks whose flows
  // are folded into the sums in destination order: memory stays bounded and
  // the sums are those of one block after the other, for every pool size.
  std::size_t chunk = n_dst;
  FloatVec chunk_labels, chunk_flows;
  if (!options.per_destination) {
    // The sums do not depend on the chunk.
    const std::size_t per_destination = n + m + z * (options.components ? 6 : 2) + 1;
    chunk = options.chunk != 0 ? options.chunk : chunk_by_memory(per_destination);
    chunk = std::min(chunk, n_dst);
    chunk_labels.resize(checked_count(chunk, n, sizeof(float)));
    chunk_flows.resize(checked_count(chunk, m, sizeof(float)));
  }
  FloatVec partial(n_dst, 0.0f);
  const std::uint8_t* kind_data = kinds.empty() ? nullptr : kinds.data();
  if (!options.minutes.empty() && options.minutes.size() != m) panic("arc arrays differ in length");
  const float* minutes = options.minutes.empty() ? nullptr : options.minutes.data();
  float* const sums = out.flows.data();
  // The chunk's demand columns, gathered into destination-major rows, and its
  // zone values (cost, then the components), scattered into the matrices after
  // the chunk: both in tiles of zones, so that neither side is walked with a
  // stride of a whole matrix row per value.
  const int n_values = options.components ? 5 : 1;
  FloatVec gathered(checked_count(chunk, z, sizeof(float)));
  FloatVec zone_values(checked_count(chunk * n_values, z, sizeof(float)));
  FloatVec* matrices[5] = {&out.cost, &out.wait, &out.ride, &out.walk, &out.boardings};
  constexpr Index kTile = 64;
  const Index n_tiles = (z + kTile - 1) / kTile;

  for (std::size_t k0 = 0; k0 < n_dst; k0 += chunk) {
    throw_if_cancelled(options.cancel);
    const std::size_t k1 = std::min(n_dst, k0 + chunk);
    const std::size_t in_chunk = k1 - k0;
    auto labels_of = [&](std::size_t k) {
      return options.per_destination ? out.labels.data() + k * n
                                     : chunk_labels.data() + (k - k0) * n;
    };
    auto flows_of = [&](std::size_t k) {
      return options.per_destination ? out.dest_flows.data() + k * m
                                     : chunk_flows.data() + (k - k0) * m;
    };
    auto values_of = [&](int c, std::size_t k) {
      return zone_values.data() + (c * in_chunk + (k - k0)) * z;
    };
    if (demand.sparse()) {  // only the entries: work by trips, not zones
      parallel_range(tbb::blocked_range<std::size_t>(k0, k1, 1),
                     [&](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t k = r.begin(); k != r.end(); ++k) {
          float* row = gathered.data() + (k - k0) * z;
          std::fill(row, row + z, 0.0f);
          demand.column(dsts[k], [&](Index o, float v) { row[o] = v; });
        }
      });
    } else {
      parallel_range(tbb::blocked_range<Index>(0, n_tiles, 1),
                     [&](const tbb::blocked_range<Index>& r) {
        for (Index t = r.begin(); t != r.end(); ++t) {
          const Index o0 = t * kTile, o1 = std::min(z, o0 + kTile);
          for (std::size_t k = k0; k < k1; ++k) {
            float* row = gathered.data() + (k - k0) * z;
            for (Index o = o0; o < o1; ++o) row[o] = demand.at(o, dsts[k]);
          }
        }
      });
    }
    parallel_range(tbb::blocked_range<std::size_t>(k0, k1, 1),
                      [&](const tbb::blocked_range<std::size_t>& range) {
      Scratch& s = ws.local();
      for (std::size_t k = range.begin(); k != range.end(); ++k) {
        if (cancelled(options.cancel)) return;
        const Index d = dsts[k];
        const float* column = gathered.data() + (k - k0) * z;
        s.row.assign(n, 0.0f);
        for (Index o = 0; o < z; ++o) {
          if (o != d) s.row[o] = column[o];
        }
        float* labels = labels_of(k);
        assign_destination(net, arc_freqs, s.row.data(), d, s, labels, flows_of(k));
        // Label times demand over the zones, in zone order, finite labels only.
        float total = 0.0f;
        for (Index o = 0; o < z; ++o) {
          if (o != d && is_finite(labels[o])) total = total + labels[o] * s.row[o];
        }
        partial[k] = total;
        std::copy(labels, labels + z, values_of(0, k));
        if (options.components) {
          split_components(net, arc_freqs.data(), kind_data, minutes, d, s);
          for (int c = 0; c < 4; ++c) std::copy(s.part[c].data(), s.part[c].data() + z,
                                                values_of(c + 1, k));
        }
        if (options.done != nullptr) options.done->fetch_add(1, std::memory_order_relaxed);
      }
    });
    throw_if_cancelled(options.cancel);
    if (rows) {
      for (int c = 0; c < n_values; ++c) {
        for (std::size_t k = k0; k < k1; ++k) {
          std::copy(values_of(c, k), values_of(c, k) + z, matrices[c]->data() + k * z);
        }
      }
    } else {
      parallel_range(tbb::blocked_range<Index>(0, n_tiles, 1),
                        [&](const tbb::blocked_range<Index>& r) {
      for (Index t = r.begin(); t != r.end(); ++t) {
        const Index o0 = t * kTile, o1 = std::min(z, o0 + kTile);
        for (int c = 0; c < n_values; ++c) {
          float* matrix = matrices[c]->data();
          for (Index o = o0; o < o1; ++o) {
            for (std::size_t k = k0; k < k1; ++k) {
              matrix[o * width + (options.columns ? k : dsts[k])] = values_of(c, k)[o];
            }
          }
        }
      }
      });
    }
    fold_flows(sums, flows_of(k0), k1 - k0, m);
  }
  float total = 0.0f;
  for (float p : partial) total = total + p;
  out.total_cost = total;
  if (rows) out.partials = std::move(partial);
}

DemandMatrix SparseDemand::view(Index zones) const {
  DemandMatrix m;
  m.zones = zones;
  m.start = start;
  m.origins = origins;
  m.volumes = volumes;
  return m;
}

IndexVec SparseDemand::destinations() const {
  IndexVec out;
  for (std::size_t d = 0; d + 1 < start.size(); ++d) {
    for (std::size_t e = start[d]; e < start[d + 1]; ++e) {
      if (origins[e] != d && volumes[e] != 0.0f) {
        out.push_back(d);
        break;
      }
    }
  }
  return out;
}

SparseDemand sparse_demand(std::span<const Index> origins, std::span<const Index> destinations,
                           std::span<const float> volumes, Index zones) {
  const std::size_t n = origins.size();
  if (destinations.size() != n || volumes.size() != n) panic("demand triples differ in length");
  // Counting sort by destination, then by origin within each destination,
  // both stable: the entries of one pair keep the order given.
  IndexVec order(n);
  std::vector<std::size_t> per(zones + 1, 0);
  for (std::size_t i = 0; i < n; ++i) {
    if (origins[i] >= zones) panic(out_of_bounds(zones, origins[i]));
    if (destinations[i] >= zones) panic(out_of_bounds(zones, destinations[i]));
    ++per[destinations[i] + 1];
  }
  for (Index d = 0; d < zones; ++d) per[d + 1] += per[d];
  std::vector<std::size_t> fill(per.begin(), per.end() - 1);
  for (std::size_t i = 0; i < n; ++i) order[fill[destinations[i]]++] = i;
  SparseDemand s;
  s.start.assign(zones + 1, 0);
  s.origins.reserve(n);
  s.volumes.reserve(n);
  for (Index d = 0; d < zones; ++d) {
    const auto first = order.begin() + static_cast<std::ptrdiff_t>(per[d]);
    const auto last = order.begin() + static_cast<std::ptrdiff_t>(per[d + 1]);
    std::stable_sort(first, last, [&](Index a, Index b) { return origins[a] < origins[b]; });
    for (auto it = first; it != last; ++it) {
      const Index o = origins[*it];
      if (s.origins.size() > s.start[d] && s.origins.back() == o) {
        s.volumes.back() = s.volumes.back() + volumes[*it];
      } else {
        s.origins.push_back(o);
        s.volumes.push_back(0.0f + volumes[*it]);
      }
    }
    s.start[d + 1] = s.origins.size();
  }
  return s;
}

}  // namespace lumo

#include "assignment/linear.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/enumerable_thread_specific.h>
#include <oneapi/tbb/parallel_for.h>

#include "assignment/utils.hpp"

namespace lumo {

namespace {

constexpr std::uint32_t kNotQueued = std::numeric_limits<std::uint32_t>::max();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Binary max-heap over integer priorities with a key index by arc position.
// Ties are decided by these exact sift rules (strict comparisons), never by
// the key, because the order of equal priorities changes results.
class ArcQueue {
 public:
  struct Entry {
    std::int32_t prio;
    std::uint32_t key;
  };

  // Makes the key index fit M arcs; a clean index stays clean between runs.
  void prepare(std::size_t m, bool dirty) {
    if (pos_.size() != m || dirty) pos_.assign(m, kNotQueued);
    heap_.clear();
    heap_.reserve(m);
  }

  bool empty() const { return heap_.empty(); }
  bool queued(std::uint32_t key) const { return pos_[key] != kNotQueued; }
  std::int32_t priority(std::uint32_t key) const { return heap_[pos_[key]].prio; }

  void insert(std::uint32_t key, std::int32_t prio) {
    heap_.push_back({prio, key});
    pos_[key] = static_cast<std::uint32_t>(heap_.size() - 1);
    sift_up(heap_.size() - 1);
  }

  Entry pop() {
    Entry top = heap_[0];
    pos_[top.key] = kNotQueued;
    Entry last = heap_.back();
    heap_.pop_back();
    if (!heap_.empty()) {
      heap_[0] = last;
      pos_[last.key] = 0;
      sift_down(0);
    }
    return top;
  }

  void change(std::uint32_t key, std::int32_t prio) {
    std::size_t q = pos_[key];
    heap_[q].prio = prio;
    sift_down(sift_up(q));
  }

  // Leaves the key index clean after a search that stopped early.
  void drain() {
    for (const Entry& e : heap_) pos_[e.key] = kNotQueued;
    heap_.clear();
  }

 private:
  // Moving a hole instead of swapping places every entry exactly where the
  // swap-based rules would.
  std::size_t sift_up(std::size_t q) {
    Entry item = heap_[q];
    while (q > 0) {
      std::size_t parent = (q - 1) / 2;
      if (!(heap_[parent].prio < item.prio)) break;
      place(q, heap_[parent]);
      q = parent;
    }
    place(q, item);
    return q;
  }

  void sift_down(std::size_t q) {
    const std::size_t n = heap_.size();
    Entry* heap = heap_.data();
    const Entry item = heap[q];
    for (;;) {
      const std::size_t left = 2 * q + 1;
      if (left + 1 >= n) {
        if (left < n && heap[left].prio > item.prio) {
          place(q, heap[left]);
          q = left;
        }
        break;
      }
      // Both children exist: the left one is the candidate if strictly above
      // the entry, then the right one if strictly above that candidate. Chosen
      // without branches, since which child wins is unpredictable.
      // The grandchildren lie side by side: fetch them while deciding here.
      __builtin_prefetch(heap + 2 * left + 1);
      const std::int32_t lp = heap[left].prio, rp = heap[left + 1].prio;
      const bool take_left = lp > item.prio;
      const std::int32_t cand_prio = take_left ? lp : item.prio;
      const bool take_right = rp > cand_prio;
      if (!(take_left | take_right)) break;
      const std::size_t cand = left + static_cast<std::size_t>(take_right);
      place(q, heap[cand]);
      q = cand;
    }
    place(q, item);
  }

  void place(std::size_t q, Entry e) {
    heap_[q] = e;
    pos_[e.key] = static_cast<std::uint32_t>(q);
  }

  std::vector<Entry> heap_;
  std::vector<std::uint32_t> pos_;
};

struct Scratch {
  FloatVec node_freqs;
  std::vector<std::uint8_t> feeds;  // node is the head of an accepted arc
  FloatVec volumes;
  ArcQueue queue;
  std::vector<std::uint32_t> strategy;
  bool dirty = false;  // a failure left the queue's key index unclean
};

// The optimal strategy towards d = dsts[k] and its loading, written into the
// destination's blocks `labels` (N) and `flows` (M). Set-up failures were
// checked by the caller; only a too short `arc_freqs` can fail here.
void assign_destination(const Network& net, std::span<const float> arc_freqs,
                        std::span<const float> demands, Index d, std::size_t k, Scratch& s,
                        float* labels, float* flows) {
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
  s.volumes.assign(demands.begin() + k * n, demands.begin() + (k + 1) * n);
  std::fill(flows, flows + m, 0.0f);
  float* node_freqs = s.node_freqs.data();
  float* volumes = s.volumes.data();
  std::uint8_t* feeds = s.feeds.data();

  ArcQueue& queue = s.queue;
  queue.prepare(m, s.dirty);
  s.dirty = true;
  for (std::size_t a = 0; a < m; ++a) {
    if (from[a] == d) continue;  // arcs leaving the destination are never queued
    queue.insert(static_cast<std::uint32_t>(a), encode(labels[to[a]] + costs[a]));
  }

  s.strategy.clear();
  while (!queue.empty()) {
    ArcQueue::Entry top = queue.pop();
    const std::uint32_t a = top.key;
    if (a >= n_freqs) panic(out_of_bounds(n_freqs, a));
    if (top.prio == INT32_MIN) {
      // An unreachable head: never accepted. Everything left has the same
      // lowest priority and nothing can be re-priced any more, so stop, unless
      // a later removal must still report a missing frequency.
      if (n_freqs >= m) break;
      continue;
    }
    const Index i = from[a];
    const float w = decode(top.prio);
    if (labels[i] < w) continue;
    // A node already left without waiting takes no further arc, and a loop
    // back into its own tail would create or strand volume.
    if (is_inf(node_freqs[i]) || i == to[a]) continue;
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
    feeds[to[a]] = 1;

    const float li = labels[i];
    const ArcIndex& incoming = net.incoming;
    for (std::uint32_t e = incoming.offsets[i], end = incoming.offsets[i + 1]; e < end; ++e) {
      const std::uint32_t b = incoming.arcs[e];
      if (!queue.queued(b)) continue;
      const std::int32_t prio = encode(li + costs[b]);
      if (prio != queue.priority(b)) queue.change(b, prio);
    }
  }
  queue.drain();
  s.dirty = false;

  for (auto it = s.strategy.rbegin(); it != s.strategy.rend(); ++it) {
    const std::uint32_t a = *it;
    const Index i = from[a], j = to[a];
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

// The failures that set-up would raise for destination position k.
void check_setup(const Network& net, std::span<const float> demands, std::span<const Index> dsts,
                 std::size_t k) {
  const Index n = net.n_nodes;
  Index end = 0;
  if (__builtin_mul_overflow(k + 1, n, &end)) panic(kCapacityOverflow);
  if (end > demands.size()) {
    panic("range end index " + std::to_string(end) + " out of range for slice of length " +
          std::to_string(demands.size()));
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

struct Workspace {
  tbb::enumerable_thread_specific<Scratch> scratch;
};

void WorkspaceDeleter::operator()(Workspace* ws) const { delete ws; }

WorkspacePtr make_workspace() { return WorkspacePtr(new Workspace()); }

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
  const std::size_t m = from.size();
  if (m >= kNotQueued) panic(kCapacityOverflow);
  // Too many nodes fails as soon as a destination is assigned; with no
  // destination there is nothing to index.
  if (net.n_nodes >= kMaxNodes) return net;

  // Arcs beyond the end of `to` have no head; they can only be arcs leaving
  // a destination, which are never queued.
  net.incoming = index_arcs(to.first(std::min(m, to.size())), net.n_nodes);
  return net;
}

void assign_all(const Network& net, std::span<const float> arc_freqs,
                std::span<const float> demands, std::span<const Index> dsts, Workspace& ws,
                FloatVec& labels, FloatVec& flows) {
  const std::size_t n_dst = dsts.size();
  // Set-up failures are found in position order before any work starts, so
  // the one reported does not depend on scheduling.
  for (std::size_t k = 0; k < n_dst; ++k) check_setup(net, demands, dsts, k);

  const Index n = net.n_nodes;
  const std::size_t m = net.from.size();
  labels.resize(checked_count(n_dst, n, sizeof(float)));
  flows.resize(checked_count(n_dst, m, sizeof(float)));
  if (n_dst == 0) return;

  ensure_pool();
  std::vector<std::exception_ptr> failures(n_dst);
  std::atomic<std::size_t> first_failed{std::numeric_limits<std::size_t>::max()};
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n_dst, 1),
                    [&](const tbb::blocked_range<std::size_t>& range) {
    Scratch& s = ws.scratch.local();
    for (std::size_t k = range.begin(); k != range.end(); ++k) {
      // Positions after a failed one are not worth computing; earlier ones
      // still run so that the lowest failing position is the one reported.
      if (k > first_failed.load(std::memory_order_relaxed)) continue;
      try {
        assign_destination(net, arc_freqs, demands, dsts[k], k, s, labels.data() + k * n,
                           flows.data() + k * m);
      } catch (...) {
        failures[k] = std::current_exception();
        std::size_t seen = first_failed.load(std::memory_order_relaxed);
        while (k < seen && !first_failed.compare_exchange_weak(seen, k)) {
        }
      }
    }
  });
  const std::size_t failed = first_failed.load();
  if (failed != std::numeric_limits<std::size_t>::max()) std::rethrow_exception(failures[failed]);
}

Assignment _linear_assign(std::span<const Index> from, std::span<const Index> to,
                          std::span<const float> arc_freqs, std::span<const float> costs,
                          std::span<const float> demands, std::span<const Index> dsts) {
  Network net = prepare_network(from, to, costs);
  Assignment out;
  WorkspacePtr ws = make_workspace();
  assign_all(net, arc_freqs, demands, dsts, *ws, out.labels, out.flows);
  return out;
}

Assignment linear_assign(IndexVec from, IndexVec to, FloatVec arc_freqs, FloatVec costs,
                         FloatVec demands, IndexVec dsts) {
  return _linear_assign(from, to, arc_freqs, costs, demands, dsts);
}

LineResult mat_linear_assign(std::vector<IndexVec> alignments, FloatVec freqs,
                             std::vector<FloatVec> travel_time_mat,
                             std::vector<FloatVec> demands_mat) {
  const Index n_stops = travel_time_mat.size();
  Stop0Demand stop0 = stop0_demand(demands_mat, n_stops);
  ArcForm arcs = mat2graph(std::move(alignments), std::move(freqs), std::move(travel_time_mat),
                           std::move(demands_mat));
  IndexVec dsts = line_destinations(n_stops);
  Assignment res = _linear_assign(arcs.from, arcs.to, arcs.arc_freqs, arcs.costs, arcs.demands,
                                  dsts);
  return fold_line_result(std::move(res.labels), std::move(res.flows), arcs.demands, n_stops,
                          stop0);
}

}  // namespace lumo

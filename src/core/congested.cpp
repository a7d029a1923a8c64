#include "core/congested.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "core/lines.hpp"

namespace lumo {

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

void require_length(std::size_t m, const char* name, std::size_t len) {
  if (len != m) {
    panic("arc arrays differ in length: from has " + std::to_string(m) + " entries, " + name +
          " has " + std::to_string(len));
  }
}

// Effective frequency of every arc from the averaged flows `x` (D blocks of M).
// `total` and `head_load` are scratch of M and N entries.
void calc_effective_freqs(std::span<const float> x, std::span<const float> arc_freqs,
                          std::span<const Index> to, float capacity, float beta, std::size_t n_dst,
                          FloatVec& total, FloatVec& head_load, FloatVec& out) {
  std::fill(total.begin(), total.end(), 0.0f);
  fold_blocks(total, x.first(n_dst * arc_freqs.size()));
  effective_freqs_from_totals(total, arc_freqs, to, capacity, beta, n_dst > 0, head_load, out);
}

}  // namespace

void fold_blocks(std::span<float> running, std::span<const float> blocks) {
  const std::size_t m = running.size();
  if (m == 0) return;
  const std::size_t n_blocks = blocks.size() / m;
  // Arcs are independent, so splitting them over the pool leaves every sum
  // as it is: each adds the blocks in order.
  parallel_range(tbb::blocked_range<std::size_t>(0, m, 2048),
                 [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t k = 0; k < n_blocks; ++k) {
      const float* block = blocks.data() + k * m;
      for (std::size_t i = r.begin(); i != r.end(); ++i) running[i] = running[i] + block[i];
    }
  });
}

float fold_values(float running, std::span<const float> values) {
  for (float v : values) running = running + v;
  return running;
}

void effective_freqs_from_totals(std::span<const float> total, std::span<const float> arc_freqs,
                                 std::span<const Index> to, float capacity, float beta,
                                 bool loaded, FloatVec& head_load, FloatVec& out) {
  const std::size_t m = arc_freqs.size();
  out.resize(m);
  // Per head node, the totals of the arcs entering it in increasing arc order:
  // the same additions as scanning all arcs for every boarding arc. With no
  // destination every total, and so every load, is 0: no per-node table then.
  if (loaded) {
    std::fill(head_load.begin(), head_load.end(), 0.0f);
    for (std::size_t j = 0; j < m; ++j) head_load[to[j]] = head_load[to[j]] + total[j];
  }

  for (std::size_t i = 0; i < m; ++i) {
    const float phi = arc_freqs[i];
    if (!(phi - phi == 0.0f)) {
      out[i] = kInf;  // no waiting, never congested
      continue;
    }
    const float t = total[i];
    const float load = loaded ? head_load[to[i]] : 0.0f;
    const float cap = phi * capacity;
    float value = 0.0f;
    if (load < cap) {
      const float room = cap - load;
      const float r = t / (t + room);
      value = phi * (1.0f - ::powf(r, beta));
    }
    if (value < kFrequencyFloor) value = kFrequencyFloor;
    out[i] = value;
  }
}

float average_weight(float average_decay_factor, bool msa, std::uint32_t done) {
  if (msa) return 1.0f / static_cast<float>(done + 2);  // iteration k: 1 / (k + 1)
  return average_decay_factor;
}

void blend_flows(std::span<float> x, std::span<const float> y, float alpha) {
  const float keep = 1.0f - alpha;
  parallel_range(tbb::blocked_range<std::size_t>(0, x.size(), 8192),
                 [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t e = r.begin(); e != r.end(); ++e) {
      const float old_part = x[e] * keep;
      const float new_part = y[e] * alpha;
      x[e] = old_part + new_part;
    }
  });
}

void gap_parts(std::span<const Index> to, std::span<const float> costs,
               std::span<const float> effective_freqs, std::span<const Index> dsts,
               Index n_nodes, std::span<const float> labels, std::span<const float> flows,
               const ArcIndex& outgoing, float* num, float* den) {
  const std::size_t n_dst = dsts.size();
  const std::size_t m = to.size();
  parallel_range(tbb::blocked_range<std::size_t>(0, n_dst, 1),
                 [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t k = r.begin(); k != r.end(); ++k) {
      const Index d = dsts[k];
      const float* lab = labels.data() + k * n_nodes;
      const float* x = flows.data() + k * m;
      float nk = 0.0f, dk = 0.0f;
      for (Index u = 0; u < n_nodes; ++u) {
        const std::uint32_t begin = outgoing.offsets[u], end = outgoing.offsets[u + 1];
        if (u == d || begin == end) continue;
        const float tu = lab[u];
        float r0 = 0.0f, r1 = 0.0f, r2 = 0.0f;
        for (std::uint32_t e = begin; e < end; ++e) {
          const std::uint32_t a = outgoing.arcs[e];
          const float xa = x[a];
          if (xa == 0.0f) continue;
          const float th = lab[to[a]];
          if (is_inf(th) || is_inf(tu)) continue;
          r0 = r0 + xa * ((th + costs[a]) - tu);
          r1 = ::fmaxf(r1, xa / effective_freqs[a]);
          r2 = r2 + xa * tu;
        }
        // Waiting is priced at half the largest flow/frequency ratio, as the
        // labels price it, so the gap is 0 at a fixed point.
        nk = nk + (r0 + r1 * 0.5f);
        dk = dk + r2;
      }
      num[k] = nk;
      den[k] = dk;
    }
  });
}

namespace {

// The convergence gap of averaged `flows` under the newest `labels` and the
// effective frequencies they were assigned with. Per node, the reduced costs
// of its loaded arcs plus the waiting its largest flow/frequency ratio implies,
// at half a headway as in the labels; relative to the flow-weighted labels.
// `outgoing` holds the arcs leaving each node (index_arcs over `from`).
float calc_gap(std::span<const Index> to, std::span<const float> costs,
               std::span<const float> effective_freqs, std::span<const Index> dsts, Index n_nodes,
               std::span<const float> labels, std::span<const float> flows,
               const ArcIndex& outgoing) {
  // Parts per destination, computed in parallel and then added in destination
  // order: the gap, and so the iteration count, is the same for every pool size.
  FloatVec num(dsts.size()), den(dsts.size());
  gap_parts(to, costs, effective_freqs, dsts, n_nodes, labels, flows, outgoing, num.data(),
            den.data());
  return fold_values(0.0f, num) / fold_values(0.0f, den);
}

}  // namespace

CongestedRun::CongestedRun(std::span<const Index> from, std::span<const Index> to,
                           std::span<const float> arc_freqs, std::span<const float> costs,
                           std::span<const float> demands, std::span<const Index> dsts,
                           float capacity, float average_decay_factor, float beta, float tol,
                           std::uint32_t max_iters, bool msa, Index n_nodes)
    : from_(from), to_(to), arc_freqs_(arc_freqs), costs_(costs), demands_(demands), dsts_(dsts),
      capacity_(capacity), alpha_(average_decay_factor), beta_(beta), tol_(tol),
      max_iters_(max_iters), msa_(msa), n_nodes_(n_nodes) {}

void CongestedRun::start(CancelFlag cancel) {
  net_ = prepare_network(from_, to_, costs_);
  // Nodes past the last one used have no arcs; the demand blocks count them.
  if (n_nodes_ > net_.n_nodes) net_.n_nodes = n_nodes_;
  const std::size_t m = from_.size();
  // The iteration reads every entry of the arc arrays as one arc each.
  require_length(m, "to", to_.size());
  require_length(m, "arc_freqs", arc_freqs_.size());
  require_length(m, "costs", costs_.size());

  ws_ = make_workspace();
  assign_all(net_, arc_freqs_, demands_, dsts_, *ws_, labels_, flows_, cancel);
  started_ = true;
  if (finished()) return;

  // Per-node tables only once the assignment has bounded the node count; with
  // no destination the iteration needs none.
  if (!dsts_.empty()) {
    outgoing_ = index_arcs(from_, net_.n_nodes);
    head_load_.resize(net_.n_nodes);
  }
  eff_.resize(m);
  total_.resize(m);
}

bool CongestedRun::finished() const {
  if (!started_) return false;
  if (!(tol_ < kInf) || max_iters_ == 0) return true;
  if (gaps_.empty()) return false;
  return gaps_.size() == max_iters_ || !(gaps_.back() > tol_);
}

float CongestedRun::step(CancelFlag cancel) {
  throw_if_cancelled(cancel);
  const std::size_t n_dst = dsts_.size();
  calc_effective_freqs(flows_, arc_freqs_, to_, capacity_, beta_, n_dst, total_, head_load_, eff_);
  assign_all(net_, eff_, demands_, dsts_, *ws_, labels_, y_, cancel);

  FloatVec& x = flows_;
  blend_flows(x, y_, average_weight(alpha_, msa_, static_cast<std::uint32_t>(gaps_.size())));
  const float gap = calc_gap(to_, costs_, eff_, dsts_, net_.n_nodes, labels_, x, outgoing_);
  gaps_.push_back(gap);
  return gap;
}

Convergence CongestedRun::convergence() const {
  Convergence c;
  c.iterations = iterations();
  c.gap = gap();
  c.tol = tol_;
  c.hit_limit = finished() && !gaps_.empty() && gaps_.size() == max_iters_ && gap() > tol_;
  return c;
}

CongestedAssignment CongestedRun::take() {
  CongestedAssignment out;
  out.convergence = convergence();
  out.labels = std::move(labels_);
  out.flows = std::move(flows_);
  return out;
}

LineCongestedRun::LineCongestedRun(std::vector<IndexVec> alignments, FloatVec freqs,
                                   std::vector<FloatVec> travel_time_mat,
                                   std::vector<FloatVec> demands_mat, float capacity,
                                   float average_decay_factor, float beta, float tol,
                                   std::uint32_t max_iters, bool msa)
    : n_stops_(travel_time_mat.size()),
      stop0_(stop0_demand(demands_mat, n_stops_)),
      arcs_(mat2graph(std::move(alignments), std::move(freqs), std::move(travel_time_mat),
                      std::move(demands_mat))),
      dsts_(line_destinations(n_stops_)),
      run_(arcs_.from, arcs_.to, arcs_.arc_freqs, arcs_.costs, arcs_.demands, dsts_, capacity,
           average_decay_factor, beta, tol, max_iters, msa) {}

LineResult LineCongestedRun::finish() {
  CongestedAssignment res = run_.take();
  return fold_line_result(std::move(res.labels), std::move(res.flows), arcs_.demands, n_stops_,
                          stop0_);
}

FloatVec demand_rows(const DemandMatrix& dem, std::span<const Index> dsts, Index n) {
  if (dem.zones > n) panic("demand does not match the zones");
  FloatVec rows(checked_count(dsts.size(), n, sizeof(float)), 0.0f);
  for (std::size_t k = 0; k < dsts.size(); ++k) {
    const Index d = dsts[k];
    float* block = rows.data() + k * n;
    // As fill_demand_block: the volume from every other origin, in origin
    // order, and their negated sum at the destination.
    dem.column(d, [&](Index o, float v) {
      if (o == d) return;
      block[o] = v;
      block[d] = block[d] - v;
    });
  }
  return rows;
}

ZoneCongestedRun::ZoneCongestedRun(std::span<const Index> from, std::span<const Index> to,
                                   std::span<const float> arc_freqs, std::span<const float> costs,
                                   std::span<const std::uint8_t> kinds, Index n_nodes,
                                   const DemandMatrix& demand, std::span<const Index> dsts,
                                   float capacity, float average_decay_factor, float beta,
                                   float tol, std::uint32_t max_iters, bool msa)
    : from_(from), to_(to), arc_freqs_(arc_freqs), costs_(costs), kinds_(kinds),
      n_nodes_(n_nodes), demand_(demand), dsts_(dsts),
      rows_(demand_rows(demand, dsts, n_nodes)),
      run_(from, to, arc_freqs, costs, rows_, dsts, capacity, average_decay_factor, beta, tol,
           max_iters, msa, n_nodes) {}

Skim ZoneCongestedRun::finish(bool components, bool columns, CancelFlag cancel,
                              std::span<const float> minutes) {
  const std::size_t m = from_.size(), n_dst = dsts_.size();
  const Index z = demand_.zones, n = n_nodes_;
  Skim r;
  // The frequencies of the newest assignment (taking the run leaves them).
  const std::span<const float> eff = run_.effective_freqs().empty()
                                         ? arc_freqs_
                                         : std::span<const float>(run_.effective_freqs());
  CongestedAssignment last = run_.take();
  r.flows = n_dst == 0 ? FloatVec(m, 0.0f) : sum_flows(std::move(last.flows), n_dst);
  throw_if_cancelled(cancel);
  const FloatVec& labels = last.labels;
  const std::size_t width = columns ? n_dst : z;
  r.cost.assign(checked_count(z, width, sizeof(float)), std::numeric_limits<float>::quiet_NaN());
  for (std::size_t k = 0; k < n_dst; ++k) {
    const std::size_t col = columns ? k : dsts_[k];
    for (Index o = 0; o < z; ++o) r.cost[o * width + col] = labels[k * n + o];
  }
  r.total_cost = total_cost(labels, rows_, n);
  if (components) {
    Skim split;
    SkimOptions options;
    options.components = true;
    options.columns = columns;
    options.cancel = cancel;
    options.minutes = minutes;
    Network net = prepare_network(from_, to_, costs_, n);
    WorkspacePtr ws = make_workspace();
    assign_skim(net, eff, kinds_, demand_, dsts_, options, *ws, split);
    r.wait = std::move(split.wait);
    r.ride = std::move(split.ride);
    r.walk = std::move(split.walk);
    r.boardings = std::move(split.boardings);
  }
  return r;
}

}  // namespace lumo

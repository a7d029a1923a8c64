#include "core/congested.hpp"

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

// The gap part of one destination: per node, the reduced costs of its loaded
// arcs plus the waiting its largest flow/frequency ratio implies, at half a
// headway as in the labels; and the flow-weighted labels.
GapPart destination_gap(std::span<const Index> to, std::span<const float> costs,
                        std::span<const float> effective_freqs, Index d, Index n_nodes,
                        const float* lab, const float* x, const ArcIndex& outgoing) {
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
  return GapPart{nk, dk};
}

std::string gigabytes(double bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f GB", bytes / 1e9);
  return text;
}

}  // namespace

float StepWeights::next(std::span<const float> gaps) {
  const std::uint32_t k = ++k_;  // this iteration
  switch (o_.rule) {
    case StepRule::kConstant:
      return o_.alpha;
    case StepRule::kMsa:
      return 1.0f / static_cast<float>(k + 1);
    case StepRule::kMswa: {
      const double newest = std::pow(static_cast<double>(k + 1), o_.param);
      sum_ = sum_ + newest;
      return static_cast<float>(newest / sum_);
    }
    case StepRule::kSelfRegulated: {
      // eta_1 = 2 (the first step halves, as successive averages do); later,
      // eta grows by param when the last gap is not below the one before,
      // else by param2: the step shrinks fast while the gap grows and slowly
      // while it falls.
      if (k == 1) {
        eta_ = 2.0;
      } else if (k >= 3 && !(gaps[k - 2] < gaps[k - 3])) {
        eta_ = eta_ + o_.param;
      } else {
        eta_ = eta_ + o_.param2;
      }
      return static_cast<float>(1.0 / eta_);
    }
    case StepRule::kMsaRestarts: {
      if (k >= 2) {
        const float g = gaps[k - 2];
        if (anchor_ == 0.0f) anchor_ = g;
        if (g < static_cast<float>(o_.param * static_cast<double>(anchor_))) {
          anchor_ = g;
          since_ = 0;
        }
      }
      since_ = since_ + 1;
      return static_cast<float>(1.0 / static_cast<double>(since_ + 1));
    }
  }
  return o_.alpha;
}

void add_flow_totals(std::span<const float> blocks, std::size_t n_blocks,
                     std::span<float> totals) {
  const std::size_t m = totals.size();
  // Arcs are independent, so splitting them over the pool leaves every sum,
  // destinations added in order, as it is.
  parallel_range(tbb::blocked_range<std::size_t>(0, m, 2048),
                 [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t k = 0; k < n_blocks; ++k) {
      const float* block = blocks.data() + k * m;
      for (std::size_t i = r.begin(); i != r.end(); ++i) totals[i] = totals[i] + block[i];
    }
  });
}

void effective_freqs(const Congestion& c, std::span<const float> totals, bool loaded,
                     FloatVec& head_load, std::span<float> out) {
  const std::size_t m = c.arc_freqs.size();
  // Per head node, the totals of the arcs entering it in increasing arc order:
  // the same additions as scanning all arcs for every boarding arc.
  if (loaded) {
    std::fill(head_load.begin(), head_load.end(), 0.0f);
    for (std::size_t j = 0; j < m; ++j) head_load[c.to[j]] = head_load[c.to[j]] + totals[j];
  }
  const bool per_arc = c.capacity.size() != 1;
  for (std::size_t i = 0; i < m; ++i) {
    const float phi = c.arc_freqs[i];
    if (!(phi - phi == 0.0f)) {
      out[i] = kInf;  // no waiting, never congested
      continue;
    }
    const float t = totals[i];
    const float load = loaded ? head_load[c.to[i]] : 0.0f;
    const float cap = phi * (per_arc ? c.capacity[i] : c.capacity[0]);
    float value = 0.0f;
    if (load < cap) {
      const float room = cap - load;
      const float r = t / (t + room);
      value = phi * (1.0f - ::powf(r, c.beta));
    }
    if (value < kFrequencyFloor) value = kFrequencyFloor;
    out[i] = value;
  }
}

float gap_of(std::span<const GapPart> parts) {
  float numerator = 0.0f, denominator = 0.0f;
  for (const GapPart& p : parts) {
    numerator = numerator + p.num;
    denominator = denominator + p.den;
  }
  return numerator / denominator;
}

void step_block(const Network& net, std::span<const float> eff, std::size_t n_demands,
                const DemandRows& rows, std::span<const Index> dsts, const ArcIndex& outgoing,
                bool first, float alpha, std::span<float> x, std::span<float> labels, Index keep,
                std::span<GapPart> parts, Workspace& ws, CancelFlag cancel) {
  const std::size_t m = net.from.size();
  const Index n = net.n_nodes;
  const float keep_share = 1.0f - alpha;
  assign_each(net, eff, n_demands, rows, dsts, ws,
              [&](std::size_t k, const float* lab, const float* y) {
    float* xk = x.data() + k * m;
    if (first) {
      std::copy(y, y + m, xk);
    } else {
      for (std::size_t e = 0; e < m; ++e) {
        const float old_part = xk[e] * keep_share;
        const float new_part = y[e] * alpha;
        xk[e] = old_part + new_part;
      }
      parts[k] = destination_gap(net.to.first(m), net.costs, eff, dsts[k], n, lab, xk, outgoing);
    }
    std::copy(lab, lab + keep, labels.data() + k * keep);
  }, cancel);
}

void fold_blocks(std::span<float> running, std::span<const float> blocks) {
  const std::size_t m = running.size();
  if (m == 0) return;
  add_flow_totals(blocks, blocks.size() / m, running);
}

float fold_values(float running, std::span<const float> values) {
  for (float v : values) running = running + v;
  return running;
}

void effective_freqs_from_totals(std::span<const float> total, std::span<const float> arc_freqs,
                                 std::span<const Index> to, std::span<const float> capacity,
                                 float beta, bool loaded, FloatVec& head_load, FloatVec& out) {
  if (capacity.size() != 1) require_length(arc_freqs.size(), "capacity", capacity.size());
  out.resize(arc_freqs.size());
  effective_freqs(Congestion{arc_freqs, to, capacity, beta}, total, loaded, head_load, out);
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

// As fill_demand_block, from the demand's column towards d, dense or sparse:
// the volume from every other origin, in origin order, and their negated sum
// at the destination.
static void fill_block(float* block, Index d, const DemandMatrix& dem) {
  dem.column(d, [&](Index o, float v) {
    if (o == d) return;
    block[o] = v;
    block[d] = block[d] - v;
  });
}

FloatVec demand_rows(const DemandMatrix& dem, std::span<const Index> dsts, Index n) {
  if (dem.zones > n) panic("demand does not match the zones");
  FloatVec rows(checked_count(dsts.size(), n, sizeof(float)), 0.0f);
  for (std::size_t k = 0; k < dsts.size(); ++k) {
    const Index d = dsts[k];
    fill_block(rows.data() + k * n, d, dem);
  }
  return rows;
}

void gap_parts(std::span<const Index> to, std::span<const float> costs,
               std::span<const float> effective_freqs, std::span<const Index> dsts,
               Index n_nodes, std::span<const float> labels, std::span<const float> flows,
               const ArcIndex& outgoing, float* num, float* den) {
  const std::size_t m = to.size();
  parallel_range(tbb::blocked_range<std::size_t>(0, dsts.size(), 1),
                 [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t k = r.begin(); k != r.end(); ++k) {
      const GapPart p = destination_gap(to, costs, effective_freqs, dsts[k], n_nodes,
                                        labels.data() + k * n_nodes, flows.data() + k * m,
                                        outgoing);
      num[k] = p.num;
      den[k] = p.den;
    }
  });
}

CongestedRun::CongestedRun(std::span<const Index> from, std::span<const Index> to,
                           std::span<const float> arc_freqs, std::span<const float> costs,
                           std::span<const float> demands, std::span<const Index> dsts,
                           float capacity, float average_decay_factor, float beta, float tol,
                           std::uint32_t max_iters, bool msa, Index n_nodes)
    : from_(from), to_(to), arc_freqs_(arc_freqs), costs_(costs), demands_(demands), dsts_(dsts),
      capacity_(capacity), tol_(tol), beta_(beta), max_iters_(max_iters), n_nodes_(n_nodes) {
  step_.rule = msa ? StepRule::kMsa : StepRule::kConstant;
  step_.alpha = average_decay_factor;
}

void CongestedRun::set_rows(DemandRows rows, std::size_t n_demands) {
  rows_ = std::move(rows);
  n_demands_ = n_demands;
}

void CongestedRun::start(CancelFlag cancel) {
  net_ = prepare_network(from_, to_, costs_);
  // Nodes past the last one used have no arcs; the demand blocks count them.
  if (n_nodes_ > net_.n_nodes) net_.n_nodes = n_nodes_;
  const std::size_t m = from_.size();
  // The iteration reads every entry of the arc arrays as one arc each.
  require_length(m, "to", to_.size());
  require_length(m, "arc_freqs", arc_freqs_.size());
  require_length(m, "costs", costs_.size());
  if (!capacities_.empty()) require_length(m, "capacity", capacities_.size());

  const Index n = net_.n_nodes;
  if (!rows_) {
    n_demands_ = demands_.size();
    rows_ = [this, n](std::size_t k, FloatVec&) { return demands_.data() + k * n; };
  }
  const std::size_t n_dst = dsts_.size();
  // The assignment's own checks first, so that a faulty input is reported as
  // such whatever its size.
  check_destinations(net_, n_demands_, dsts_);
  if (keep_ == 0 || keep_ > n) keep_ = n;

  // Per destination: the averaged flows, the kept labels and the gap part.
  const double need = static_cast<double>(n_dst) *
                      (static_cast<double>(m) * 4.0 + static_cast<double>(keep_) * 4.0 + 8.0);
  const std::size_t physical = physical_memory();
  const std::string what = "a congested run over " + std::to_string(n_dst) +
                           " destinations and " + std::to_string(m) + " arcs needs " +
                           gigabytes(need) + " for its per-destination state";
  if (physical != 0 && need > static_cast<double>(physical)) {
    throw OutOfMemory(what + ", more than this machine's " +
                      gigabytes(static_cast<double>(physical)));
  }
  try {
    flows_.resize(checked_count(n_dst, m, sizeof(float)));
    labels_.resize(checked_count(n_dst, keep_, sizeof(float)));
    parts_.resize(n_dst);
  } catch (const std::bad_alloc&) {
    throw OutOfMemory(what + ", which could not be allocated");
  }

  ws_ = make_workspace();
  weights_of_ = std::make_unique<StepWeights>(step_);
  step_block(net_, arc_freqs_, n_demands_, rows_, dsts_, outgoing_, true, 1.0f, flows_, labels_,
             keep_, parts_, *ws_, cancel);
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
  std::fill(total_.begin(), total_.end(), 0.0f);
  add_flow_totals(flows_, n_dst, total_);
  const std::span<const float> capacity =
      capacities_.empty() ? std::span<const float>(&capacity_, 1) : capacities_;
  lumo::effective_freqs(Congestion{arc_freqs_, to_, capacity, beta_}, total_, n_dst > 0, head_load_,
                  eff_);
  const float alpha = weights_of_->next(gaps_);
  step_block(net_, eff_, n_demands_, rows_, dsts_, outgoing_, false, alpha, flows_, labels_,
             keep_, parts_, *ws_, cancel);
  const float gap = gap_of(parts_);
  gaps_.push_back(gap);
  weights_.push_back(alpha);
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

ZoneCongestedRun::ZoneCongestedRun(std::span<const Index> from, std::span<const Index> to,
                                   std::span<const float> arc_freqs, std::span<const float> costs,
                                   std::span<const std::uint8_t> kinds, Index n_nodes,
                                   const DemandMatrix& demand, std::span<const Index> dsts,
                                   std::span<const float> capacity, StepOptions step, float beta,
                                   float tol, std::uint32_t max_iters)
    : from_(from), to_(to), arc_freqs_(arc_freqs), costs_(costs), kinds_(kinds),
      n_nodes_(n_nodes), demand_(demand), dsts_(dsts),
      run_(from, to, arc_freqs, costs, {}, dsts, capacity.size() == 1 ? capacity[0] : 0.0f, 0.0f,
           beta, tol, max_iters, false, n_nodes) {
  if (demand.zones > n_nodes) panic("demand does not match the zones");
  run_.set_step(step);
  if (capacity.size() != 1) run_.set_capacity(capacity);
  // Each row as the line form lays out its blocks, made when its destination
  // is assigned.
  run_.set_rows([this](std::size_t k, FloatVec& buf) {
    const Index d = dsts_[k];
    buf.assign(n_nodes_, 0.0f);
    fill_block(buf.data(), d, demand_);
    return static_cast<const float*>(buf.data());
  }, checked_count(dsts.size(), n_nodes, sizeof(float)));
  run_.set_kept_labels(demand.zones);
}

Skim ZoneCongestedRun::finish(bool components, bool columns, CancelFlag cancel,
                              std::span<const float> minutes) {
  const std::size_t m = from_.size(), n_dst = dsts_.size();
  const Index z = demand_.zones;
  Skim r;
  // The frequencies of the newest assignment (taking the run leaves them).
  const std::span<const float> eff = run_.effective_freqs().empty()
                                         ? arc_freqs_
                                         : std::span<const float>(run_.effective_freqs());
  const Index keep = run_.kept_labels();
  CongestedAssignment last = run_.take();
  r.flows = n_dst == 0 ? FloatVec(m, 0.0f) : sum_flows(std::move(last.flows), n_dst);
  throw_if_cancelled(cancel);
  const FloatVec& labels = last.labels;
  const std::size_t width = columns ? n_dst : z;
  r.cost.assign(checked_count(z, width, sizeof(float)), std::numeric_limits<float>::quiet_NaN());
  for (std::size_t k = 0; k < n_dst; ++k) {
    const std::size_t col = columns ? k : dsts_[k];
    for (Index o = 0; o < z; ++o) r.cost[o * width + col] = labels[k * keep + o];
  }
  // Label times demand over the zones (the only nodes with demand), per
  // destination and then in destination order.
  FloatVec row(z), partial(n_dst);
  for (std::size_t k = 0; k < n_dst; ++k) {
    const Index d = dsts_[k];
    std::fill(row.begin(), row.end(), 0.0f);
    fill_block(row.data(), d, demand_);
    float sum = 0.0f;
    for (Index o = 0; o < z; ++o) {
      const float l = labels[k * keep + o];
      if (is_finite(l)) sum = sum + l * row[o];
    }
    partial[k] = sum;
  }
  float total = 0.0f;
  for (float p : partial) total = total + p;
  r.total_cost = total;
  if (components) {
    Skim split;
    SkimOptions options;
    options.components = true;
    options.columns = columns;
    options.cancel = cancel;
    options.minutes = minutes;
    Network net = prepare_network(from_, to_, costs_, n_nodes_);
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

#include "assignment/congested_linear.hpp"

#include <cmath>
#include <limits>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "assignment/utils.hpp"

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
  const std::size_t m = arc_freqs.size();
  // Total flow per arc, destinations added in order; arcs are independent, so
  // splitting them over the pool leaves every sum as it is.
  parallel_range(tbb::blocked_range<std::size_t>(0, m, 2048),
                 [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t i = r.begin(); i != r.end(); ++i) total[i] = 0.0f;
    for (std::size_t k = 0; k < n_dst; ++k) {
      const float* block = x.data() + k * m;
      for (std::size_t i = r.begin(); i != r.end(); ++i) total[i] = total[i] + block[i];
    }
  });
  // Per head node, the totals of the arcs entering it in increasing arc order:
  // the same additions as scanning all arcs for every boarding arc.
  std::fill(head_load.begin(), head_load.end(), 0.0f);
  for (std::size_t j = 0; j < m; ++j) head_load[to[j]] = head_load[to[j]] + total[j];

  for (std::size_t i = 0; i < m; ++i) {
    const float phi = arc_freqs[i];
    if (!(phi - phi == 0.0f)) {
      out[i] = kInf;  // no waiting, never congested
      continue;
    }
    const float t = total[i];
    const float load = head_load[to[i]];
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

}  // namespace

float _calc_gap(std::span<const Index> to, std::span<const float> costs,
                std::span<const float> effective_freqs, std::span<const Index> dsts, Index n_nodes,
                std::span<const float> labels, std::span<const float> flows,
                const ArcIndex& outgoing) {
  const std::size_t n_dst = dsts.size();
  const std::size_t m = to.size();
  // Parts per destination, computed in parallel and then added in destination
  // order: the gap, and so the iteration count, is the same for every pool size.
  FloatVec num(n_dst), den(n_dst);
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
        nk = nk + (r0 + r1);
        dk = dk + r2;
      }
      num[k] = nk;
      den[k] = dk;
    }
  });
  float numerator = 0.0f, denominator = 0.0f;
  for (std::size_t k = 0; k < n_dst; ++k) {
    numerator = numerator + num[k];
    denominator = denominator + den[k];
  }
  return numerator / denominator;
}

CongestedAssignment _linear_congested_assign(std::span<const Index> from,
                                             std::span<const Index> to,
                                             std::span<const float> arc_freqs,
                                             std::span<const float> costs,
                                             std::span<const float> demands,
                                             std::span<const Index> dsts,
                                             float average_decay_factor, float beta,
                                             float capacity, float tol, std::uint32_t max_iters) {
  Network net = prepare_network(from, to, costs);
  const std::size_t m = from.size();
  // The iteration reads every entry of the arc arrays as one arc each.
  require_length(m, "to", to.size());
  require_length(m, "arc_freqs", arc_freqs.size());
  require_length(m, "costs", costs.size());
  const Index n = net.n_nodes;
  const std::size_t n_dst = dsts.size();

  ArcIndex outgoing;
  if (n < kMaxNodes) outgoing = index_arcs(from, n);
  ensure_pool();
  WorkspacePtr ws = make_workspace();
  CongestedAssignment out;
  out.convergence.tol = tol;
  assign_all(net, arc_freqs, demands, dsts, *ws, out.labels, out.flows);
  if (!(tol < kInf) || max_iters == 0) return out;

  FloatVec& x = out.flows;
  FloatVec eff(m), total(m), head_load(n), y;
  const float alpha = average_decay_factor;
  const float keep = 1.0f - alpha;
  for (;;) {
    calc_effective_freqs(x, arc_freqs, to, capacity, beta, n_dst, total, head_load, eff);
    assign_all(net, eff, demands, dsts, *ws, out.labels, y);
    parallel_range(tbb::blocked_range<std::size_t>(0, x.size(), 8192),
                   [&](const tbb::blocked_range<std::size_t>& r) {
      for (std::size_t e = r.begin(); e != r.end(); ++e) {
        const float old_part = x[e] * keep;
        const float new_part = y[e] * alpha;
        x[e] = old_part + new_part;
      }
    });
    const float gap = _calc_gap(to, costs, eff, dsts, n, out.labels, x, outgoing);
    out.convergence.gap = gap;
    ++out.convergence.iterations;
    if (out.convergence.iterations == max_iters) {
      out.convergence.hit_limit = gap > tol;
      break;
    }
    if (!(gap > tol)) break;
  }
  return out;
}

CongestedAssignment linear_congested_assign(IndexVec from, IndexVec to, FloatVec arc_freqs,
                                            FloatVec costs, FloatVec demands, IndexVec dsts,
                                            float capacity, float average_decay_factor,
                                            float beta, float tol, std::uint32_t max_iters) {
  return _linear_congested_assign(from, to, arc_freqs, costs, demands, dsts, average_decay_factor,
                                  beta, capacity, tol, max_iters);
}

LineResult mat_linear_congested_assign(std::vector<IndexVec> alignments, FloatVec freqs,
                                       std::vector<FloatVec> travel_time_mat,
                                       std::vector<FloatVec> demands_mat, float capacity,
                                       float average_decay_factor, float beta, float tol,
                                       std::uint32_t max_iters, Convergence* convergence) {
  const Index n_stops = travel_time_mat.size();
  Stop0Demand stop0 = stop0_demand(demands_mat, n_stops);
  ArcForm arcs = mat2graph(std::move(alignments), std::move(freqs), std::move(travel_time_mat),
                           std::move(demands_mat));
  IndexVec dsts = line_destinations(n_stops);
  CongestedAssignment res =
      _linear_congested_assign(arcs.from, arcs.to, arcs.arc_freqs, arcs.costs, arcs.demands, dsts,
                               average_decay_factor, beta, capacity, tol, max_iters);
  if (convergence != nullptr) *convergence = res.convergence;
  return fold_line_result(std::move(res.labels), std::move(res.flows), arcs.demands, n_stops,
                          stop0);
}

}  // namespace lumo

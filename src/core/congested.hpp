// Congested assignment: effective frequencies lowered by load, repeated
// assignment, averaging of flows and the convergence gap.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/common.hpp"
#include "core/strategy.hpp"
#include "core/lines.hpp"

namespace lumo {

// Smallest effective frequency of a boarding arc (the float nearest 1/999).
inline constexpr float kFrequencyFloor = 0x1.06680ap-10f;

// The defaults of every congested entry: the floats nearest 0.01, 0.2, 0.001.
inline constexpr float kDefaultDecay = 0.01f, kDefaultBeta = 0.2f, kDefaultTol = 0.001f;
inline constexpr std::uint32_t kDefaultMaxIters = 1000;

// How the weight of the newest assignment in the running average is chosen,
// iteration k = 1, 2, ... (the uncongested assignment is assignment 1, the
// one of iteration k is assignment k + 1). Every rule reads only k and the
// gaps of the iterations before k, so the weights are the same for every
// thread count.
enum class StepRule : std::uint8_t {
  kConstant = 0,       // alpha, the same in every iteration
  kMsa = 1,            // 1 / (k + 1): the method of successive averages
  kMswa = 2,           // (k+1)^d / sum_{j <= k+1} j^d, d = param (weighted averages)
  kSelfRegulated = 3,  // 1 / eta_k: eta grows by param when the gap grew, by param2 when it fell
  kMsaRestarts = 4,    // 1 / (j + 1), j counting from the last restart; restart when the gap
                       // has fallen below param times the gap at the last restart
};

inline constexpr int kStepRules = 5;
// Their names, in number order, as lumo.arrays takes them.
inline constexpr const char* kStepRuleNames[kStepRules] = {"constant", "msa", "mswa", "sra",
                                                           "restarts"};

struct StepOptions {
  StepRule rule = StepRule::kConstant;
  float alpha = 0.01f;  // kConstant
  double param = 0.0, param2 = 0.0;
};

// The sequence of weights of one run. next() is called once per iteration, in
// order, with the gaps of all earlier iterations; arithmetic in double,
// narrowed to float once, so a small model can reproduce it exactly.
class StepWeights {
 public:
  explicit StepWeights(StepOptions options) : o_(options) {}
  float next(std::span<const float> gaps);

 private:
  StepOptions o_;
  std::uint32_t k_ = 0;      // iterations weighed so far
  double sum_ = 1.0;         // MSWA: sum of j^d over the assignments so far
  double eta_ = 1.0;         // self-regulated
  std::uint32_t since_ = 0;  // restarts: iterations since the last restart
  float anchor_ = 0.0f;      // restarts: the gap at the last restart (0: none yet)
};

// The step of lumo.arrays.assign_congested when none is named.
inline constexpr StepOptions kDefaultStep{StepRule::kSelfRegulated, 0.0f, 1.7, 0.3};

// How the iteration ended; the boundary warns when the limit was reached with
// the gap still above the tolerance.
struct Convergence {
  std::uint32_t iterations = 0;
  float gap = __builtin_nanf("");
  bool hit_limit = false;  // stopped on max_iters with gap > tol
  float tol = 0.0f;
};

struct CongestedAssignment {
  FloatVec labels;  // of the last assignment (the kept nodes of each destination)
  FloatVec flows;   // the running average
  Convergence convergence;
};

// What lowers the frequencies: the nominal frequencies, the arcs' heads, the
// capacity of one vehicle (one value for every arc, or one per arc) and beta.
struct Congestion {
  std::span<const float> arc_freqs;
  std::span<const Index> to;
  std::span<const float> capacity;
  float beta = 0.0f;
};

// The pieces of one iteration, for a caller that holds the destinations'
// averaged flows in blocks of its own (see CongestedRun for the order):
//
//   global:  totals = 0; add_flow_totals(block) for every block in destination
//            order; effective_freqs(totals) -> eff; alpha = weights.next(gaps)
//   block:   step_block(eff, alpha) -> blends the block's flows, gap parts
//   global:  gap = gap_of(parts of every destination, in destination order)
//
// Fed the same destinations in the same order, the pieces give the bits of a
// CongestedRun.

// Adds `n_blocks` destination blocks of M averaged flows to `totals` (M),
// one block after the other.
void add_flow_totals(std::span<const float> blocks, std::size_t n_blocks, std::span<float> totals);

// The effective frequency of every arc from the per-arc totals; `loaded` false
// (no destination) reads every head load as 0. `head_load`: scratch of N.
void effective_freqs(const Congestion& c, std::span<const float> totals, bool loaded,
                     FloatVec& head_load, std::span<float> out);

// One destination's part of the gap.
struct GapPart {
  float num = 0.0f, den = 0.0f;
};
// The gap from every destination's part, added in destination order.
float gap_of(std::span<const GapPart> parts);

// One iteration for destination positions 0 .. dsts.size()-1 of a block: each
// is assigned with `eff`, its new flows blended at once into its averaged
// flows in `x` (blocks of M; weight `alpha` of the new, no second block of
// flows is made), and its gap part written to `parts`; the first `keep`
// labels of each go to `labels` (blocks of `keep`). `first`: the averaged
// flows are set to the new ones and no gap part is computed (the run's
// uncongested start). `outgoing`: index_arcs over `from`.
void step_block(const Network& net, std::span<const float> eff, std::size_t n_demands,
                const DemandRows& rows, std::span<const Index> dsts, const ArcIndex& outgoing,
                bool first, float alpha, std::span<float> x, std::span<float> labels, Index keep,
                std::span<GapPart> parts, Workspace& ws, CancelFlag cancel);

// The same pieces for a cluster's blocks (lumo.distributed), whose weights are
// the constant or successive averages:
// running[i] += block[i] for every block of `blocks` (consecutive runs of
// running.size() values), the blocks in order.
void fold_blocks(std::span<float> running, std::span<const float> blocks);
// running + values[0] + values[1] + ..., in that order.
float fold_values(float running, std::span<const float> values);
// effective_freqs with one capacity for every arc or one per arc; `out` is
// resized to M.
void effective_freqs_from_totals(std::span<const float> total, std::span<const float> arc_freqs,
                                 std::span<const Index> to, std::span<const float> capacity,
                                 float beta,
                                 bool loaded, FloatVec& head_load, FloatVec& out);
// The weight of the newest assignment, `done` iterations having run before.
float average_weight(float average_decay_factor, bool msa, std::uint32_t done);
// x = x * (1 - alpha) + y * alpha, element by element.
void blend_flows(std::span<float> x, std::span<const float> y, float alpha);
// Every destination's demand row (N entries each), laid out as the line form
// lays out its blocks.
FloatVec demand_rows(const DemandMatrix& dem, std::span<const Index> dsts, Index n);
// Each destination's numerator and denominator parts of the gap.
void gap_parts(std::span<const Index> to, std::span<const float> costs,
               std::span<const float> effective_freqs, std::span<const Index> dsts,
               Index n_nodes, std::span<const float> labels, std::span<const float> flows,
               const ArcIndex& outgoing, float* num, float* den);

// One congested assignment, run step by step so that a caller can report
// progress or stop between iterations:
//
//   CongestedRun run(from, to, arc_freqs, costs, demands, dsts, capacity, ...);
//   run.start(cancel);
//   while (!run.finished()) run.step(cancel);
//   CongestedAssignment result = run.take();
//
// The run borrows the arrays: they must outlive it unchanged. After a failure or
// Cancelled thrown by start or step, the run must not be used again (its
// destructor frees everything). Per destination it holds the averaged flows
// (M) and the kept labels only.
class CongestedRun {
 public:
  // `msa`: the weight of the newest assignment in iteration k (from 1) is
  // 1 / (k + 1), the method of successive averages, instead of the constant
  // `average_decay_factor`. `n_nodes`: the node count the demand blocks are
  // laid out with, when it exceeds one more than the largest node used (nodes
  // without arcs); 0 derives it from the arcs.
  CongestedRun(std::span<const Index> from, std::span<const Index> to,
               std::span<const float> arc_freqs, std::span<const float> costs,
               std::span<const float> demands, std::span<const Index> dsts, float capacity,
               float average_decay_factor, float beta, float tol, std::uint32_t max_iters,
               bool msa = false, Index n_nodes = 0);
  CongestedRun(const CongestedRun&) = delete;
  CongestedRun& operator=(const CongestedRun&) = delete;

  // Before start: the step rule (instead of the constructor's decay/msa); a
  // capacity per arc (M values; the constructor's is then unused); demand
  // rows made per destination (`n_demands` as for assign_each) instead of
  // the flat blocks; and how many labels per destination to keep (default N).
  void set_step(StepOptions step) { step_ = step; }
  void set_capacity(std::span<const float> per_arc) { capacities_ = per_arc; }
  void set_rows(DemandRows rows, std::size_t n_demands);
  void set_kept_labels(Index keep) { keep_ = keep; }

  // Set-up: node count and argument checks, the memory the run needs, then
  // the uncongested assignment that the averaging starts from. Call once,
  // before anything else. A run whose per-destination state would not fit
  // throws OutOfMemory naming the size, before any assignment.
  void start(CancelFlag cancel = nullptr);

  // True once no further iteration is due: none at all (tol not below +inf,
  // or max_iters 0), the last gap at or below tol or not a number, or
  // max_iters iterations run.
  bool finished() const;

  // One iteration (effective frequencies, assignment with each destination's
  // flows blended into its average as computed, gap); returns its gap.
  // Requires started() and !finished().
  float step(CancelFlag cancel = nullptr);

  std::uint32_t iterations() const { return static_cast<std::uint32_t>(gaps_.size()); }
  const FloatVec& gaps() const { return gaps_; }  // one per iteration, in order
  const FloatVec& weights() const { return weights_; }  // of the newest assignment, per iteration
  float gap() const { return gaps_.empty() ? __builtin_nanf("") : gaps_.back(); }
  float tol() const { return tol_; }
  // The last gap is at or below tol (false before any iteration, and for a
  // gap that is not a number).
  bool converged() const { return !gaps_.empty() && gaps_.back() <= tol_; }
  Convergence convergence() const;
  Index kept_labels() const { return keep_; }
  Index n_nodes() const { return net_.n_nodes; }

  // Of the newest iteration; empty before the first.
  const FloatVec& effective_freqs() const { return eff_; }
  // Moves the result out; the run is spent afterwards.
  CongestedAssignment take();

 private:
  std::span<const Index> from_, to_;
  std::span<const float> arc_freqs_, costs_, demands_;
  std::span<const Index> dsts_;
  float capacity_, tol_, beta_;
  std::uint32_t max_iters_;
  Index n_nodes_;
  StepOptions step_;
  std::span<const float> capacities_;
  DemandRows rows_;
  std::size_t n_demands_ = 0;
  Index keep_ = 0;  // 0: N

  bool started_ = false;
  Network net_;
  WorkspacePtr ws_;
  ArcIndex outgoing_;
  std::unique_ptr<StepWeights> weights_of_;
  FloatVec labels_, flows_, eff_, total_, head_load_;
  std::vector<GapPart> parts_;
  FloatVec gaps_, weights_;
};

// A line-form congested call: the expanded network and the run over it, kept
// together so that the run can be driven step by step like CongestedRun.
// Construction expands the lines (and fails as the expansion does).
class LineCongestedRun {
 public:
  LineCongestedRun(std::vector<IndexVec> alignments, FloatVec freqs,
                   std::vector<FloatVec> travel_time_mat, std::vector<FloatVec> demands_mat,
                   float capacity, float average_decay_factor, float beta, float tol,
                   std::uint32_t max_iters, bool msa = false);
  LineCongestedRun(const LineCongestedRun&) = delete;
  LineCongestedRun& operator=(const LineCongestedRun&) = delete;

  CongestedRun& run() { return run_; }
  // The line-level results of the finished run; the run is spent afterwards.
  LineResult finish();

 private:
  Index n_stops_;
  Stop0Demand stop0_;
  ArcForm arcs_;
  IndexVec dsts_;
  CongestedRun run_;  // borrows arcs_ and dsts_, so it is declared after them
};

// A congested call over a zone-to-zone demand matrix (zones are nodes
// 0 .. Z-1): the run over it and its finish into zone-to-zone results, all
// borrowed from the caller, who keeps the arrays alive and unchanged while
// this lives. Each destination's demand row (N entries, N = n_nodes, at least
// Z) is made when it is assigned, and only the zones' labels are kept.
// `capacity`: one value, or one per arc.
class ZoneCongestedRun {
 public:
  ZoneCongestedRun(std::span<const Index> from, std::span<const Index> to,
                   std::span<const float> arc_freqs, std::span<const float> costs,
                   std::span<const std::uint8_t> kinds, Index n_nodes, const DemandMatrix& demand,
                   std::span<const Index> dsts, std::span<const float> capacity, StepOptions step,
                   float beta, float tol, std::uint32_t max_iters);
  ZoneCongestedRun(const ZoneCongestedRun&) = delete;
  ZoneCongestedRun& operator=(const ZoneCongestedRun&) = delete;

  CongestedRun& run() { return run_; }
  // Of the finished run: flows are the averaged blocks summed in destination
  // order; cost and total those of the newest assignment, whose labels the run
  // holds; with `components`, that assignment made once more with the
  // components (the same inputs give the same labels); with `columns` the
  // zone matrices Z x D as SkimOptions::columns lays them out. The run is
  // spent afterwards. `minutes` as for SkimOptions.
  Skim finish(bool components, bool columns, CancelFlag cancel = nullptr,
              std::span<const float> minutes = {});

 private:
  std::span<const Index> from_, to_;
  std::span<const float> arc_freqs_, costs_;
  std::span<const std::uint8_t> kinds_;
  Index n_nodes_;
  DemandMatrix demand_;
  std::span<const Index> dsts_;
  CongestedRun run_;
};

}  // namespace lumo

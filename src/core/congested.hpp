// Congested assignment: effective frequencies lowered by load, repeated
// assignment, averaging of flows and the convergence gap.
#pragma once

#include <cstdint>
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

// The pieces of an iteration, for callers that hold the destinations in
// blocks of their own (a cluster's workers) and combine them in order.

// running[i] += block[i] for every block of `blocks` (consecutive runs of
// running.size() values), the blocks in order: totals over destinations that
// are the same however the destinations were grouped.
void fold_blocks(std::span<float> running, std::span<const float> blocks);
// running + values[0] + values[1] + ..., in that order.
float fold_values(float running, std::span<const float> values);

// Effective frequencies from the total flow of every arc (`loaded`: the run
// has a destination). `head_load` is scratch of N entries.
void effective_freqs_from_totals(std::span<const float> total, std::span<const float> arc_freqs,
                                 std::span<const Index> to, float capacity, float beta,
                                 bool loaded, FloatVec& head_load, FloatVec& out);

// The weight of the newest assignment in the averaging, `done` iterations
// having run before.
float average_weight(float average_decay_factor, bool msa, std::uint32_t done);

// x = x * (1 - alpha) + y * alpha, element by element.
void blend_flows(std::span<float> x, std::span<const float> y, float alpha);

// Every destination's demand row (N entries each), laid out as the line form
// lays out its blocks: the other zones' demand towards it, and minus their sum
// at the destination itself.
FloatVec demand_rows(const DemandMatrix& dem, std::span<const Index> dsts, Index n);

// Each destination's numerator and denominator parts of the gap; the gap is
// the in-order sum of the first over the in-order sum of the second.
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
// destructor frees everything).
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

  // Set-up: node count and argument checks, then the uncongested assignment
  // that the averaging starts from. Call once, before anything else.
  void start(CancelFlag cancel = nullptr);

  // True once no further iteration is due: none at all (tol not below +inf,
  // or max_iters 0), the last gap at or below tol or not a number, or
  // max_iters iterations run.
  bool finished() const;

  // One iteration (effective frequencies, assignment, averaging, gap); returns
  // its gap. Requires started() and !finished().
  float step(CancelFlag cancel = nullptr);

  std::uint32_t iterations() const { return static_cast<std::uint32_t>(gaps_.size()); }
  const FloatVec& gaps() const { return gaps_; }  // one per iteration, in order
  float gap() const { return gaps_.empty() ? __builtin_nanf("") : gaps_.back(); }
  float tol() const { return tol_; }
  // The last gap is at or below tol (false before any iteration, and for a
  // gap that is not a number).
  bool converged() const { return !gaps_.empty() && gaps_.back() <= tol_; }
  Convergence convergence() const;

  // Of the newest iteration; empty before the first.
  const FloatVec& effective_freqs() const { return eff_; }
  // Moves the result out; the run is spent afterwards.
  CongestedAssignment take();

 private:
  std::span<const Index> from_, to_;
  std::span<const float> arc_freqs_, costs_, demands_;
  std::span<const Index> dsts_;
  float capacity_, alpha_, beta_, tol_;
  std::uint32_t max_iters_;
  bool msa_;
  Index n_nodes_;

  bool started_ = false;
  Network net_;
  WorkspacePtr ws_;
  ArcIndex outgoing_;
  FloatVec labels_, flows_, eff_, total_, head_load_, y_;
  FloatVec gaps_;
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
// 0 .. Z-1): the demand rows of the destinations, the run over them and its
// finish into zone-to-zone results, all borrowed from the caller, who keeps
// the arrays alive and unchanged while this lives. Construction lays out the
// rows (N entries per destination, N = n_nodes, at least Z).
class ZoneCongestedRun {
 public:
  ZoneCongestedRun(std::span<const Index> from, std::span<const Index> to,
                   std::span<const float> arc_freqs, std::span<const float> costs,
                   std::span<const std::uint8_t> kinds, Index n_nodes, const DemandMatrix& demand,
                   std::span<const Index> dsts, float capacity, float average_decay_factor,
                   float beta, float tol, std::uint32_t max_iters, bool msa);
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
  FloatVec rows_;
  CongestedRun run_;  // borrows rows_, so it is declared after it
};

}  // namespace lumo

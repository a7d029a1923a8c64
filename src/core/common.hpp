// Shared pieces of the computing core: internal failures, the worker pool and
// the float conventions. Nothing here touches Python.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <source_location>
#include <span>
#include <string>
#include <vector>

#include <oneapi/tbb/parallel_for.h>

namespace lumo {

using Index = std::size_t;  // node and arc indices (unsigned machine word)
using IndexVec = std::vector<Index>;
using FloatVec = std::vector<float>;

// A violated assumption inside the computation. The boundary turns it into
// PanicException carrying `message`; file, line and thread go to the report
// written to standard error.
class Panic : public std::exception {
 public:
  Panic(std::string message, const char* file, unsigned line, std::string thread)
      : message(std::move(message)), file(file), line(line), thread(std::move(thread)) {}
  const char* what() const noexcept override { return message.c_str(); }

  std::string message;
  const char* file;
  unsigned line;
  std::string thread;
};

// A computation stopped because its caller asked it to (the cancel flag of the
// pool-running functions became true). Not a failure of the input: nothing
// is reported, and everything the computation built has been freed.
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "computation cancelled"; }
};

// A computation whose state would not fit in memory, found before it starts:
// the boundary raises MemoryError with `message`, which names the size.
class OutOfMemory : public std::bad_alloc {
 public:
  explicit OutOfMemory(std::string message) : message(std::move(message)) {}
  const char* what() const noexcept override { return message.c_str(); }
  std::string message;
};

// Bytes of physical memory of this machine (0 when unknown).
std::size_t physical_memory();

// Cancellation flag of the functions that run on the worker pool: nullptr is
// never cancelled. Set from another thread; the computation checks it between
// units of work (destinations, iteration steps) and then throws Cancelled.
using CancelFlag = const std::atomic<bool>*;

inline bool cancelled(CancelFlag cancel) {
  return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

inline void throw_if_cancelled(CancelFlag cancel) {
  if (cancelled(cancel)) throw Cancelled();
}

// Builds a Panic naming the current thread and the caller's source position.
Panic make_panic(std::string message,
                 std::source_location where = std::source_location::current());

[[noreturn]] inline void panic(std::string message,
                               std::source_location where = std::source_location::current()) {
  throw make_panic(std::move(message), where);
}

// The recurring failure texts.
std::string out_of_bounds(std::size_t len, std::size_t index);
inline constexpr const char* kUnwrapNone = "called `Option::unwrap()` on a `None` value";
inline constexpr const char* kCapacityOverflow = "capacity overflow";
inline constexpr const char* kDivideByZero = "attempt to divide by zero";

// Whether this process may use the process-wide worker pool, which is sized
// on first use: RAYON_NUM_THREADS when it holds a positive integer, capped at
// the available processors, otherwise every available processor.
// False in a process forked from the one that started the pool: the pool's
// threads did not survive the fork and the locks they held may never be
// released, so such a process computes on the calling thread alone and never
// touches the pool's state.
bool ensure_pool();

// The worker count a call asking for `requested` (at least 1) gets: capped at
// the available processors, as the environment setting is.
int thread_limit(std::size_t requested);

// tbb::parallel_for on the pool, or the whole range in one piece on the
// calling thread where the pool may not be used. Callers never let results
// depend on how the range is split. (Not named parallel_for: argument-
// dependent lookup would pick tbb's constrained template over it.)
template <class Range, class Body>
void parallel_range(const Range& range, const Body& body) {
  if (ensure_pool()) {
    tbb::parallel_for(range, body);
  } else {
    body(range);
  }
}

// a * b, or a Panic "capacity overflow" when the element count times the
// element size would not fit a signed machine word.
std::size_t checked_count(std::size_t a, std::size_t b, std::size_t elem_size);

// A node count from here on would make a float vector of 2^31 bytes or more.
inline constexpr Index kMaxNodes = Index{1} << 29;

// Arcs grouped by a node of theirs (tail or head), each group in increasing
// arc order, as two compact arrays: the arcs of node v are
// arcs[offsets[v]] .. arcs[offsets[v + 1] - 1].
struct ArcIndex {
  std::vector<std::uint32_t> offsets;  // n_nodes + 1
  std::vector<std::uint32_t> arcs;
};
// Groups arc a under node_of[a] for every a of node_of (all below n_nodes).
ArcIndex index_arcs(std::span<const Index> node_of, Index n_nodes);

// Float helpers kept in one place so every part rounds the same way.
inline bool is_inf(float v) { return v == __builtin_inff() || v == -__builtin_inff(); }
inline bool is_finite(float v) { return v - v == 0.0f; }

// Shortest text that reads back as the same 32-bit float ("0.001", "inf").
std::string float_text(float v);

}  // namespace lumo

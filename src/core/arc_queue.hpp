// The keyed queue of the optimal-strategy search: a binary max-heap of arcs
// over integer priorities, with the position of every queued arc kept by key.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace lumo {

// The order in which equal priorities leave the queue changes results, so
// ties are decided by these sift rules alone (strict comparisons), never by
// the key:
// - sift-up from q: while q > 0 and the parent's priority is strictly less
//   than q's, swap them and go on at the parent;
// - sift-down from q: the left child becomes the candidate if its priority is
//   strictly greater than q's, then the right child if strictly greater than
//   the candidate's; swap with the candidate and go on there, or stop;
// - insert at the end, then sift up; pop takes position 0, moves the last
//   entry there and sifts down; a change of priority sifts up, then down from
//   where the sift-up ended.
//
// Preconditions, which callers guarantee and nothing here checks:
// - a run is opened by begin(m, ...) and lasts as long as the Run it returns;
//   every key used during it is below m, and m is below kNotQueued;
// - pop() only when the queue is not empty;
// - priority(key), change(key) and settle(key) only for a queued key.
// The Run's destructor empties the queue on every path out of the run, a
// failure included; begin() sets the position of every key, so nothing of an
// earlier run is left to clear.
class ArcQueue {
 public:
  // The key index's mark for a key that is not queued; keys and positions
  // stay below it.
  static constexpr std::uint32_t kNotQueued = std::numeric_limits<std::uint32_t>::max();

  struct Entry {
    std::int32_t prio;
    std::uint32_t key;
  };

  class [[nodiscard]] Run {
   public:
    explicit Run(ArcQueue& q) : q_(q) {}
    ~Run() { q_.clear(); }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

   private:
    ArcQueue& q_;
  };

  // Opens a run holding every key below m except those of `skipped`
  // (increasing), in key order, each at priority prios[key]: the queue that
  // inserting them in key order leaves, provided every one of these
  // priorities is the lowest (INT32_MIN), which never moves on insertion.
  // Keys whose insertion priority is another must then be passed to
  // settle(), in increasing key order.
  Run begin(std::size_t m, const std::int32_t* prios, std::span<const std::uint32_t> skipped) {
    pos_.resize(m);
    heap_.resize(m - skipped.size());
    std::size_t q = 0, key = 0;
    auto lay = [&](std::size_t end) {
      for (; key < end; ++key, ++q) {
        heap_[q] = pack(prios[key], static_cast<std::uint32_t>(key));
        pos_[key] = static_cast<std::uint32_t>(q);
      }
    };
    for (const std::uint32_t k : skipped) {
      lay(k);
      pos_[k] = kNotQueued;
      key = k + 1;
    }
    lay(m);
    return Run(*this);
  }

  // The insertion of a queued key at priority `prio`, as begin() left it.
  void settle(std::uint32_t key, std::int32_t prio) { sift_up(pos_[key], pack(prio, key)); }

  bool empty() const { return heap_.empty(); }
  bool queued(std::uint32_t key) const { return pos_[key] != kNotQueued; }
  std::int32_t priority(std::uint32_t key) const { return prio_of(heap_[pos_[key]]); }

  Entry pop() {
    const std::int64_t top = heap_[0];
    const std::uint32_t key = key_of(top);
    pos_[key] = kNotQueued;
    const std::int64_t last = heap_.back();
    heap_.pop_back();
    if (!heap_.empty()) sift_down(0, last);
    return {prio_of(top), key};
  }

  // A raised priority can only move up and a lowered one only down, so one of
  // the two sifts is all the rule "up, then down from where it ended" does.
  void change(std::uint32_t key, std::int32_t prio) {
    const std::size_t q = pos_[key];
    const std::int64_t e = pack(prio, key);
    if (prio > prio_of(heap_[q])) {
      sift_up(q, e);
    } else {
      sift_down(q, e);
    }
  }

 private:
  // An entry is its priority in the high half and its key in the low half:
  // one word moves per step. Comparisons look at the high half alone, so
  // equal priorities compare equal whatever their keys: x's priority is
  // strictly above y's exactly when x > (y | kLow), and strictly below it
  // exactly when x < (y & ~kLow).
  static constexpr std::int64_t kLow = 0xFFFFFFFF;
  static std::int64_t pack(std::int32_t prio, std::uint32_t key) {
    const auto high = static_cast<std::uint64_t>(static_cast<std::int64_t>(prio)) << 32;
    return static_cast<std::int64_t>(high | key);
  }
  static std::int32_t prio_of(std::int64_t e) { return static_cast<std::int32_t>(e >> 32); }
  static std::uint32_t key_of(std::int64_t e) { return static_cast<std::uint32_t>(e); }

  // Empties the heap; begin() sets every key's position again.
  void clear() { heap_.clear(); }

  // The entry e fills the hole at q and moves up: holes move instead of
  // swaps, which places every entry exactly where the swap-based rules would.
  void sift_up(std::size_t q, std::int64_t e) {
    std::int64_t* heap = heap_.data();
    std::uint32_t* pos = pos_.data();
    const std::int64_t floor = e & ~kLow;  // a parent below this moves down
    while (q > 0) {
      const std::size_t parent = (q - 1) / 2;
      const std::int64_t p = heap[parent];
      if (!(p < floor)) break;
      heap[q] = p;
      pos[key_of(p)] = static_cast<std::uint32_t>(q);
      q = parent;
    }
    heap[q] = e;
    pos[key_of(e)] = static_cast<std::uint32_t>(q);
  }

  void sift_down(std::size_t q, std::int64_t e) {
    const std::size_t n = heap_.size();
    std::int64_t* heap = heap_.data();
    std::uint32_t* pos = pos_.data();
    const std::int64_t ceiling = e | kLow;  // a child above this moves up
    for (;;) {
      const std::size_t left = 2 * q + 1;
      if (left + 1 >= n) {
        if (left < n && heap[left] > ceiling) {
          heap[q] = heap[left];
          pos[key_of(heap[left])] = static_cast<std::uint32_t>(q);
          q = left;
        }
        break;
      }
      // Both children exist: the left one is the candidate if strictly above
      // the entry, then the right one if strictly above that candidate. The
      // entry moves on exactly when the larger child is above it, and then to
      // the right child exactly when that one is strictly above the left one,
      // so the next position depends on the two children alone. Chosen
      // without branches, since which child wins is unpredictable.
      // The grandchildren lie side by side: fetch them while deciding here.
      __builtin_prefetch(heap + 2 * left + 1);
      const std::int64_t l = heap[left], r = heap[left + 1];
      const bool take_right = r > (l | kLow);
      const std::int64_t cand = take_right ? r : l;
      if (!(cand > ceiling)) break;
      heap[q] = cand;
      pos[key_of(cand)] = static_cast<std::uint32_t>(q);
      q = left + static_cast<std::size_t>(take_right);
    }
    heap[q] = e;
    pos[key_of(e)] = static_cast<std::uint32_t>(q);
  }

  std::vector<std::int64_t> heap_;  // the heap's entries, by position
  std::vector<std::uint32_t> pos_;  // position of each queued key
};

}  // namespace lumo

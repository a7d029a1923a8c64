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
    prio_.resize(m - skipped.size());
    key_.resize(m - skipped.size());
    std::size_t q = 0, key = 0;
    auto lay = [&](std::size_t end) {
      std::copy(prios + key, prios + end, prio_.data() + q);
      for (; key < end; ++key, ++q) {
        key_[q] = static_cast<std::uint32_t>(key);
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
  void settle(std::uint32_t key, std::int32_t prio) { sift_up(pos_[key], prio, key); }

  bool empty() const { return prio_.empty(); }
  bool queued(std::uint32_t key) const { return pos_[key] != kNotQueued; }
  std::int32_t priority(std::uint32_t key) const { return prio_[pos_[key]]; }

  Entry pop() {
    const Entry top{prio_[0], key_[0]};
    pos_[top.key] = kNotQueued;
    const std::int32_t last_prio = prio_.back();
    const std::uint32_t last_key = key_.back();
    prio_.pop_back();
    key_.pop_back();
    if (!prio_.empty()) sift_down(0, last_prio, last_key);
    return top;
  }

  // A raised priority can only move up and a lowered one only down, so one of
  // the two sifts is all the rule "up, then down from where it ended" does.
  void change(std::uint32_t key, std::int32_t prio) {
    const std::size_t q = pos_[key];
    if (prio > prio_[q]) {
      sift_up(q, prio, key);
    } else {
      sift_down(q, prio, key);
    }
  }

 private:
  // Empties the heap; begin() sets every key's position again.
  void clear() {
    prio_.clear();
    key_.clear();
  }

  // The entry (prio, key) fills the hole at q and moves up: holes move
  // instead of swaps, which places every entry exactly where the swap-based
  // rules would. Priorities and keys lie in separate arrays so that the
  // comparisons walk only the priorities.
  void sift_up(std::size_t q, std::int32_t prio, std::uint32_t key) {
    std::int32_t* heap = prio_.data();
    while (q > 0) {
      const std::size_t parent = (q - 1) / 2;
      if (!(heap[parent] < prio)) break;
      place(q, heap[parent], key_[parent]);
      q = parent;
    }
    place(q, prio, key);
  }

  void sift_down(std::size_t q, std::int32_t prio, std::uint32_t key) {
    const std::size_t n = prio_.size();
    const std::int32_t* heap = prio_.data();
    for (;;) {
      const std::size_t left = 2 * q + 1;
      if (left + 1 >= n) {
        if (left < n && heap[left] > prio) {
          place(q, heap[left], key_[left]);
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
      const std::int32_t lp = heap[left], rp = heap[left + 1];
      const bool take_right = rp > lp;
      const std::int32_t cand_prio = take_right ? rp : lp;
      if (!(cand_prio > prio)) break;
      const std::size_t cand = left + static_cast<std::size_t>(take_right);
      place(q, cand_prio, key_[cand]);
      q = cand;
    }
    place(q, prio, key);
  }

  void place(std::size_t q, std::int32_t prio, std::uint32_t key) {
    prio_[q] = prio;
    key_[q] = key;
    pos_[key] = static_cast<std::uint32_t>(q);
  }

  std::vector<std::int32_t> prio_;  // the heap's priorities, by position
  std::vector<std::uint32_t> key_;  // and its keys
  std::vector<std::uint32_t> pos_;  // position of each queued key
};

}  // namespace lumo

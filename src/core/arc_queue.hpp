// The keyed queue of the optimal-strategy search: a binary max-heap of arcs
// over integer priorities, with the position of every queued arc kept by key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
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
// - a run is opened by begin(m) and lasts as long as the Run it returns; every
//   key used during it is below m, and m is below kNotQueued;
// - insert(key) only for a key that is not queued;
// - pop() only when the queue is not empty;
// - priority(key) and change(key) only for a queued key.
// Between runs no key is queued: the Run's destructor empties the queue on
// every path out of the run, a failure included, so the next run starts clean
// without clearing the key index.
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

  Run begin(std::size_t m) {
    if (pos_.size() != m) pos_.assign(m, kNotQueued);
    heap_.reserve(m);
    return Run(*this);
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

 private:
  // Leaves no key queued, visiting only what is left in the heap.
  void clear() {
    for (const Entry& e : heap_) pos_[e.key] = kNotQueued;
    heap_.clear();
  }

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

}  // namespace lumo

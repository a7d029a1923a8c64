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
// - begin(m) starts every run; every key used until the next begin is below m,
//   and m is below kMaxKeys;
// - insert(key) only for a key that is not queued;
// - pop() only when the queue is not empty;
// - priority(key) and change(key) only for a queued key.
// A run may be abandoned at any point, by a failure too: a key counts as
// queued only while its slot carries the current run's stamp, so the next
// begin() forgets whatever was left without visiting it.
class ArcQueue {
 public:
  struct Entry {
    std::int32_t prio;
    std::uint32_t key;
  };

  static constexpr std::size_t kMaxKeys = std::numeric_limits<std::uint32_t>::max();

  void begin(std::size_t m) {
    if (slots_.size() != m) slots_.assign(m, Slot{0, kIdle});
    if (++run_ == kIdle) {  // the stamp wrapped: no slot may carry it from before
      for (Slot& s : slots_) s.run = kIdle;
      run_ = kIdle + 1;
    }
    heap_.clear();
    heap_.reserve(m);
  }

  bool empty() const { return heap_.empty(); }
  bool queued(std::uint32_t key) const { return slots_[key].run == run_; }
  std::int32_t priority(std::uint32_t key) const { return heap_[slots_[key].pos].prio; }

  void insert(std::uint32_t key, std::int32_t prio) {
    heap_.push_back({prio, key});
    slots_[key] = Slot{static_cast<std::uint32_t>(heap_.size() - 1), run_};
    sift_up(heap_.size() - 1);
  }

  Entry pop() {
    const Entry top = heap_[0];
    slots_[top.key].run = kIdle;
    const Entry last = heap_.back();
    heap_.pop_back();
    if (!heap_.empty()) {
      place(0, last);
      sift_down(0);
    }
    return top;
  }

  void change(std::uint32_t key, std::int32_t prio) {
    const std::size_t q = slots_[key].pos;
    heap_[q].prio = prio;
    sift_down(sift_up(q));
  }

 private:
  // Position in the heap, valid while `run` is the current run's stamp.
  struct Slot {
    std::uint32_t pos;
    std::uint32_t run;
  };
  static constexpr std::uint32_t kIdle = 0;  // never a run's stamp

  // Moving a hole instead of swapping places every entry exactly where the
  // swap-based rules would.
  std::size_t sift_up(std::size_t q) {
    const Entry item = heap_[q];
    while (q > 0) {
      const std::size_t parent = (q - 1) / 2;
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
      // Both children exist. Chosen without branches, since which child wins
      // is unpredictable; the grandchildren lie side by side: fetch them while
      // deciding here.
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
    slots_[e.key].pos = static_cast<std::uint32_t>(q);
  }

  std::vector<Entry> heap_;
  std::vector<Slot> slots_;
  std::uint32_t run_ = kIdle;
};

}  // namespace lumo

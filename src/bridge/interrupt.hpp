// Running a computation with the interpreter lock released while the calling
// thread stays responsive to signals, Ctrl-C in particular. Python-aware, so
// it is not part of the computing core; every extension module links it.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>

#include "core/common.hpp"

namespace lumo::py {

// What became of a computation run by run_released.
struct Outcome {
  enum Kind {
    kDone,    // it returned
    kFailed,  // it threw `failure`; no Python exception is set: the caller maps it
    kRaised,  // a Python exception is set (a signal handler raised, KeyboardInterrupt
              // for Ctrl-C, and the computation was cancelled; or a callback raised)
  };
  Kind kind = kDone;
  std::exception_ptr failure;
  bool ok() const { return kind == kDone; }
};

// Work below this many elementary steps (demand entries plus destinations
// times arcs: a millisecond or a few) runs on the calling thread; starting a
// helper thread costs tens of microseconds, noticeable on calls that small.
inline constexpr std::size_t kQuickWork = std::size_t{1} << 14;

// Runs compute(cancel) with the interpreter lock released. Call it with the lock
// held; the lock is held again on return.
//
// On the main thread of the main interpreter, where Python runs its signal
// handlers, the computation runs on a helper thread (which joins the worker pool
// like any caller, so no more threads compute than before) while the calling
// thread waits, taking the lock back every 50 ms to run the handlers. When one
// raises, the cancel flag is set, the calling thread waits (lock released) until
// the computation has stopped, and the result is kRaised with that exception set;
// whatever the computation returned or threw is dropped. Handlers also run once
// after the computation ends, so a signal that arrived meanwhile is not lost.
// With `quick`, or when no helper thread can be started, the computation runs
// on the calling thread and only that last check is made.
//
// On any other thread compute runs on the calling thread with the lock released
// and a cancel flag that is never set, as a plain release would.
//
// `threads` > 0 limits the computation to that many workers (an arena of that
// size); 0 leaves it the whole pool.
//
// `tick`, unless null, is called with the lock held on each of those wakings
// (so never on the quick or other-thread paths): it only watches, for progress
// shown to the user. When it returns false it has set a Python exception,
// which then stops the computation as a signal handler's would.
Outcome run_released(const std::function<void(CancelFlag)>& compute, bool quick = false,
                     int threads = 0, const std::function<bool()>* tick = nullptr);

}  // namespace lumo::py

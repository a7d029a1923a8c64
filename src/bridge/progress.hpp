// Progress of a congested assignment on Python's standard logging, and the
// loop that drives a run from the interpreter's side. Python-aware.
#pragma once

#include <cstdint>

#include "core/congested.hpp"
#include "bridge/interrupt.hpp"

namespace lumo::py {

// Records on the logger "lumo" at INFO, emitted from the calling thread with
// the lock held, only when that logger is enabled for INFO (so nothing is
// printed while logging is left unconfigured). Besides the message, each
// record carries its values as attributes:
//   per iteration: function, iteration, gap, seconds
//   at the end:    function, iterations, gap, tol, converged
// A method returns false when the logging call raised; the exception is set.
class ProgressLog {
 public:
  explicit ProgressLog(const char* function) : function_(function) {}
  ~ProgressLog();
  ProgressLog(const ProgressLog&) = delete;
  ProgressLog& operator=(const ProgressLog&) = delete;

  bool iteration(std::uint32_t k, float gap, double seconds);
  bool finished(std::uint32_t iterations, float gap, float tol, bool converged);

 private:
  // The logger when it is enabled for INFO, else nullptr; false on an error.
  bool logger(PyObject** out);

  const char* function_;
  PyObject* logger_ = nullptr;
};

// Runs the iterations of a started run to its end, each one through
// run_released (on `threads` workers, 0: the whole pool), logging every
// iteration and then the final record. Returns the first outcome that is not
// kDone (the run must then be dropped), else kDone.
// `quick`: one iteration is known to take no more than a millisecond or so.
// `progress`, unless null, is called with (iteration, gap) after each
// iteration's record; when it returns False the run stops there, `*stopped`
// is set and the final record follows.
Outcome drive_congested(const char* function, CongestedRun& run, bool quick, int threads = 0,
                        PyObject* progress = nullptr, bool* stopped = nullptr);

}  // namespace lumo::py

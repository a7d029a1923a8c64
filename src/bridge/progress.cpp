#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030C0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bridge/progress.hpp"

#include <chrono>

namespace lumo::py {

namespace {

constexpr int kInfo = 20;  // logging.INFO

// logger.info(message, *args, extra=extra); steals `args` and `extra`.
bool log_info(PyObject* logger, const char* message, PyObject* args, PyObject* extra) {
  bool ok = false;
  PyObject* info = PyObject_GetAttrString(logger, "info");
  PyObject* text = PyUnicode_FromString(message);
  PyObject* call_args = nullptr;
  PyObject* kwargs = PyDict_New();
  if (info && text && args && extra && kwargs &&
      PyDict_SetItemString(kwargs, "extra", extra) == 0) {
    const Py_ssize_t n = PyTuple_Size(args);
    call_args = PyTuple_New(n + 1);
    if (call_args != nullptr) {
      PyTuple_SetItem(call_args, 0, Py_NewRef(text));
      for (Py_ssize_t i = 0; i < n; ++i) {
        PyTuple_SetItem(call_args, i + 1, Py_NewRef(PyTuple_GetItem(args, i)));
      }
      PyObject* result = PyObject_Call(info, call_args, kwargs);
      ok = result != nullptr;
      Py_XDECREF(result);
    }
  }
  Py_XDECREF(call_args);
  Py_XDECREF(kwargs);
  Py_XDECREF(extra);
  Py_XDECREF(args);
  Py_XDECREF(text);
  Py_XDECREF(info);
  return ok;
}

}  // namespace

ProgressLog::~ProgressLog() { Py_XDECREF(logger_); }

bool ProgressLog::logger(PyObject** out) {
  *out = nullptr;
  if (logger_ == nullptr) {
    PyObject* logging = PyImport_ImportModule("logging");
    if (logging == nullptr) return false;
    logger_ = PyObject_CallMethod(logging, "getLogger", "s", "lumo");
    Py_DECREF(logging);
    if (logger_ == nullptr) return false;
  }
  PyObject* enabled = PyObject_CallMethod(logger_, "isEnabledFor", "i", kInfo);
  if (enabled == nullptr) return false;
  const int on = PyObject_IsTrue(enabled);
  Py_DECREF(enabled);
  if (on < 0) return false;
  if (on) *out = logger_;
  return true;
}

bool ProgressLog::iteration(std::uint32_t k, float gap, double seconds) {
  PyObject* log = nullptr;
  if (!logger(&log)) return false;
  if (log == nullptr) return true;
  const double g = static_cast<double>(gap);
  return log_info(log, "%s: iteration %d, gap %.6g, %.3f s",
                  Py_BuildValue("(skdd)", function_, static_cast<unsigned long>(k), g, seconds),
                  Py_BuildValue("{s:s,s:k,s:d,s:d}", "function", function_, "iteration",
                                static_cast<unsigned long>(k), "gap", g, "seconds", seconds));
}

bool ProgressLog::finished(std::uint32_t iterations, float gap, float tol, bool converged) {
  PyObject* log = nullptr;
  if (!logger(&log)) return false;
  if (log == nullptr) return true;
  const double g = static_cast<double>(gap), t = static_cast<double>(tol);
  const unsigned long n = iterations;
  return log_info(log, "%s: %d iterations, gap %.6g, tol %.6g, %s",
                  Py_BuildValue("(skdds)", function_, n, g, t,
                                converged ? "converged" : "not converged"),
                  Py_BuildValue("{s:s,s:k,s:d,s:d,s:O}", "function", function_, "iterations", n,
                                "gap", g, "tol", t, "converged",
                                converged ? Py_True : Py_False));
}

Outcome drive_congested(const char* function, CongestedRun& run, bool quick, int threads,
                        PyObject* progress, bool* stopped) {
  ProgressLog log(function);
  while (!run.finished()) {
    const auto t0 = std::chrono::steady_clock::now();
    Outcome step = run_released([&](CancelFlag cancel) { run.step(cancel); }, quick, threads);
    if (!step.ok()) return step;
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
    if (!log.iteration(run.iterations(), run.gap(), took.count())) {
      return Outcome{Outcome::kRaised, nullptr};
    }
    if (progress != nullptr) {
      PyObject* answer = PyObject_CallFunction(progress, "Id", run.iterations(),
                                               static_cast<double>(run.gap()));
      if (answer == nullptr) return Outcome{Outcome::kRaised, nullptr};
      const bool stop = answer == Py_False;
      Py_DECREF(answer);
      if (stop) {
        if (stopped != nullptr) *stopped = true;
        break;
      }
    }
  }
  if (!log.finished(run.iterations(), run.gap(), run.tol(), run.converged())) {
    return Outcome{Outcome::kRaised, nullptr};
  }
  return Outcome{};
}

}  // namespace lumo::py

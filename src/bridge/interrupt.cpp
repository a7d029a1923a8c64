#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030C0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bridge/interrupt.hpp"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include <oneapi/tbb/task_arena.h>

namespace lumo::py {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(50);

// Signal handlers run only on the main thread of the main interpreter. The
// limited API has no direct test for it, so the main thread's identity is
// read from `threading` once per process (a forked child has its own).
bool handles_signals() {
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) return false;
  static pid_t known_pid = 0;
  static unsigned long main_ident = 0;
  const pid_t pid = getpid();
  if (pid != known_pid) {
    PyObject* raised = PyErr_GetRaisedException();  // keep whatever is pending
    PyObject* threading = PyImport_ImportModule("threading");
    PyObject* main = threading ? PyObject_CallMethod(threading, "main_thread", nullptr) : nullptr;
    PyObject* ident = main ? PyObject_GetAttrString(main, "ident") : nullptr;
    const unsigned long value = ident ? PyLong_AsUnsignedLong(ident) : 0;
    const bool ok = ident != nullptr && !PyErr_Occurred();
    Py_XDECREF(ident);
    Py_XDECREF(main);
    Py_XDECREF(threading);
    PyErr_Clear();
    PyErr_SetRaisedException(raised);
    if (!ok) return false;
    known_pid = pid;
    main_ident = value;
  }
  return PyThread_get_thread_ident() == main_ident;
}

Outcome run_here(const std::function<void(CancelFlag)>& compute) {
  Outcome out;
  // No scope guard restores the lock: taking it back may end a daemon thread
  // at interpreter exit, and that unwind must not cross a destructor.
  PyThreadState* state = PyEval_SaveThread();
  try {
    compute(nullptr);
  } catch (...) {
    out.kind = Outcome::kFailed;
    out.failure = std::current_exception();
  }
  PyEval_RestoreThread(state);
  return out;
}

// Runs the pending signal handlers; true when one raised.
bool signalled() { return PyErr_CheckSignals() < 0; }

// On the calling thread, then one look for a signal that came meanwhile.
Outcome run_here_then_check(const std::function<void(CancelFlag)>& compute) {
  Outcome out = run_here(compute);
  if (signalled()) out = Outcome{Outcome::kRaised, nullptr};
  return out;
}

}  // namespace

Outcome run_released(const std::function<void(CancelFlag)>& given, bool quick, int threads,
                     const std::function<bool()>* tick) {
  // No arena where the pool may not be used (a forked child): everything runs
  // on the calling thread then.
  const std::function<void(CancelFlag)> limited = [&given, threads](CancelFlag cancel) {
    tbb::task_arena arena(threads);
    arena.execute([&] { given(cancel); });
  };
  const auto& compute = threads > 0 && ensure_pool() ? limited : given;
  if (!handles_signals()) return run_here(compute);
  if (quick) return run_here_then_check(compute);

  struct Shared {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::atomic<bool> cancel{false};
    Outcome outcome;
  } shared;
  std::thread helper;
  try {
    helper = std::thread([&shared, &compute] {
      Outcome out;
      try {
        compute(&shared.cancel);
      } catch (...) {
        out.kind = Outcome::kFailed;
        out.failure = std::current_exception();
      }
      std::lock_guard<std::mutex> lock(shared.mutex);
      shared.outcome = std::move(out);
      shared.done = true;
      shared.cv.notify_one();
    });
  } catch (const std::system_error&) {
    return run_here_then_check(compute);
  }

  PyObject* raised = nullptr;  // the handler's exception, kept while waiting
  PyThreadState* state = PyEval_SaveThread();
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(shared.mutex);
      if (shared.cv.wait_for(lock, kPollInterval, [&] { return shared.done; })) break;
    }
    if (raised != nullptr) continue;  // cancelled: only wait for the stop
    PyEval_RestoreThread(state);
    if (signalled() || (tick != nullptr && !(*tick)())) {
      raised = PyErr_GetRaisedException();
      shared.cancel.store(true, std::memory_order_relaxed);
    }
    state = PyEval_SaveThread();
  }
  helper.join();
  PyEval_RestoreThread(state);

  if (raised != nullptr) {
    PyErr_SetRaisedException(raised);
    return Outcome{Outcome::kRaised, nullptr};
  }
  if (signalled()) return Outcome{Outcome::kRaised, nullptr};
  return std::move(shared.outcome);
}

}  // namespace lumo::py

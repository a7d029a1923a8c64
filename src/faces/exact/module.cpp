// The interpreter boundary: module creation, the function table, argument
// binding and conversion, result conversion and the mapping of failures.
// Everything below holds the interpreter lock except the computation itself.
// The build defines the limited API version (3.12) for every extension module;
// this only covers a compilation outside it.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030C0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cxxabi.h>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "core/congested.hpp"
#include "core/strategy.hpp"
#include "bridge/interrupt.hpp"
#include "bridge/progress.hpp"
#include "bridge/failure.hpp"

namespace {

using lumo::FloatVec;
using lumo::Index;
using lumo::IndexVec;
using FloatRows = std::vector<FloatVec>;
using IndexRows = std::vector<IndexVec>;

// ---------------------------------------------------------------------------
// Failures: mapped by the bridge, the same for both modules.

using lumo::py::raise_failure;
using lumo::py::raise_panic;
using lumo::py::settle;

// Runs `compute` (given a cancel flag) without the lock, interruptible by
// Ctrl-C; on failure raises and returns false.
template <class F>
bool run_unlocked(F&& compute, bool quick) {
  return settle(lumo::py::run_released(std::forward<F>(compute), quick));
}

// ---------------------------------------------------------------------------
// Element and sequence conversion

// A strong reference released on every path, exceptions included.
class Owned {
 public:
  explicit Owned(PyObject* p) : p_(p) {}
  ~Owned() { Py_XDECREF(p_); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_;
};

bool convert_float(PyObject* obj, float& out) {
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && !PyFloat_CheckExact(obj) && PyErr_Occurred()) return false;
  out = static_cast<float>(value);
  return true;
}

bool convert_unsigned(PyObject* obj, unsigned long long limit, unsigned long long& out) {
  unsigned long long value = 0;
  if (PyLong_CheckExact(obj)) {
    // The index conversion of an int is the int itself.
    value = PyLong_AsUnsignedLongLong(obj);
  } else {
    PyObject* index = PyNumber_Index(obj);
    if (index == nullptr) return false;
    value = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if (value > limit) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = value;
  return true;
}

bool convert_index(PyObject* obj, Index& out) {
  unsigned long long value = 0;
  if (!convert_unsigned(obj, std::numeric_limits<Index>::max(), value)) return false;
  out = static_cast<Index>(value);
  return true;
}

bool convert_u32(PyObject* obj, std::uint32_t& out) {
  unsigned long long value = 0;
  if (!convert_unsigned(obj, std::numeric_limits<std::uint32_t>::max(), value)) return false;
  out = static_cast<std::uint32_t>(value);
  return true;
}

template <class T>
bool convert_vector(PyObject* obj, std::vector<T>& out);

template <class T>
bool convert_element(PyObject* obj, T& out) {
  if constexpr (std::is_same_v<T, float>) {
    return convert_float(obj, out);
  } else if constexpr (std::is_same_v<T, Index>) {
    return convert_index(obj, out);
  } else {
    return convert_vector(obj, out);
  }
}

void reserve_hint(std::size_t size, auto& out) {
  try {
    out.reserve(size);
  } catch (const std::exception&) {
    // an impossible length is a wrong hint, not a reason to fail
  }
}

// An exact list or tuple is read by position, which is what its iterator
// does, without the iterator and a reference per item. Only converting an
// item that is not an exact float or int may run Python code, which may
// change a list (its length is read again after such an item) or drop the
// item (held meanwhile).
template <class T>
bool convert_items(PyObject* obj, bool is_list, std::vector<T>& out) {
  Py_ssize_t size = is_list ? PyList_Size(obj) : PyTuple_Size(obj);
  reserve_hint(static_cast<std::size_t>(size), out);
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = is_list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
    if constexpr (std::is_same_v<T, float>) {
      if (PyFloat_CheckExact(item)) {
        out.push_back(static_cast<float>(PyFloat_AsDouble(item)));
        continue;
      }
    } else if constexpr (std::is_same_v<T, Index>) {
      if (PyLong_CheckExact(item)) {
        Index value = 0;
        if (!convert_index(item, value)) return false;
        out.push_back(value);
        continue;
      }
    }
    T value{};
    Py_IncRef(item);
    const bool ok = convert_element(item, value);
    Py_DecRef(item);
    if (!ok) return false;
    out.push_back(std::move(value));
    if (is_list) size = PyList_Size(obj);
  }
  return true;
}

template <class T>
bool convert_vector(PyObject* obj, std::vector<T>& out) {
  if (PyList_CheckExact(obj)) return convert_items(obj, true, out);
  if (PyTuple_CheckExact(obj)) return convert_items(obj, false, out);
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    PyObject* name = PyType_GetQualName(Py_TYPE(obj));
    if (name == nullptr) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError,
                      "'<failed to extract type name>' object cannot be converted to 'Sequence'");
    } else {
      PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'Sequence'", name);
      Py_DECREF(name);
    }
    return false;
  }
  Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) {
    PyErr_Clear();  // only a capacity hint
  } else {
    reserve_hint(static_cast<std::size_t>(size), out);
  }
  Owned iter(PyObject_GetIter(obj));
  if (!iter) return false;
  while (Owned item{PyIter_Next(iter.get())}) {
    T value{};
    if (!convert_element(item.get(), value)) return false;
    out.push_back(std::move(value));
  }
  return !PyErr_Occurred();
}

// A TypeError from converting a parameter is replaced by one that names it.
void name_argument(const char* name) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr || Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(raised);
    return;
  }
  PyObject* text = PyObject_Str(raised);
  PyObject* message = text ? PyUnicode_FromFormat("argument '%s': %U", name, text) : nullptr;
  Py_XDECREF(text);
  PyObject* renamed =
      message ? PyObject_CallFunctionObjArgs(PyExc_TypeError, message, nullptr) : nullptr;
  Py_XDECREF(message);
  if (renamed == nullptr) {
    Py_DECREF(raised);  // the error of the failed rewrap is pending instead
    return;
  }
  if (PyObject* cause = PyException_GetCause(raised)) PyException_SetCause(renamed, cause);
  Py_DECREF(raised);
  PyErr_SetRaisedException(renamed);
}

// ---------------------------------------------------------------------------
// Parameter tables and binding

enum class Kind { Indices, Floats, IndexRows, FloatRows, Float, U32 };

struct Param {
  const char* name;
  Kind kind;
  float float_default;
  std::uint32_t u32_default;
};

using Value = std::variant<std::monostate, IndexVec, FloatVec, IndexRows, FloatRows, float,
                           std::uint32_t>;

struct Function;
using Compute = PyObject* (*)(std::vector<Value>& args);

struct Function {
  const char* name;
  const char* doc;
  std::vector<Param> params;
  std::size_t required;
  Compute compute;
};

bool convert_param(const Param& p, PyObject* obj, Value& out) {
  bool ok = false;
  switch (p.kind) {
    case Kind::Indices: ok = convert_vector(obj, out.emplace<IndexVec>()); break;
    case Kind::Floats: ok = convert_vector(obj, out.emplace<FloatVec>()); break;
    case Kind::IndexRows: ok = convert_vector(obj, out.emplace<IndexRows>()); break;
    case Kind::FloatRows: ok = convert_vector(obj, out.emplace<FloatRows>()); break;
    case Kind::Float: ok = convert_float(obj, out.emplace<float>()); break;
    case Kind::U32: ok = convert_u32(obj, out.emplace<std::uint32_t>()); break;
  }
  if (!ok) {
    out = std::monostate{};
    name_argument(p.name);
  }
  return ok;
}

Value default_value(const Param& p) {
  if (p.kind == Kind::U32) return p.u32_default;
  return p.float_default;
}

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

// Fills `slots` (borrowed references) from the call's arguments.
bool bind(const Function& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::vector<PyObject*>& slots) {
  const std::size_t total = fn.params.size();
  slots.assign(total, nullptr);
  if (static_cast<std::size_t>(nargs) > total) {
    if (fn.required == total) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given",
                   fn.name, total, nargs);
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from %zu to %zu positional arguments but %zd were given", fn.name,
                   fn.required, total, nargs);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  const Py_ssize_t n_kw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t j = 0; j < n_kw; ++j) {
    PyObject* key = PyTuple_GetItem(kwnames, j);
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &len);
    if (text == nullptr) {
      // A name that has no UTF-8 form (a lone surrogate) matches no parameter.
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn.name, key);
      return false;
    }
    std::size_t slot = total;
    for (std::size_t i = 0; i < total; ++i) {
      const char* name = fn.params[i].name;
      if (std::strlen(name) == static_cast<std::size_t>(len) && std::memcmp(name, text, len) == 0) {
        slot = i;
        break;
      }
    }
    if (slot == total) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn.name, key);
      return false;
    }
    if (slots[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fn.name,
                   fn.params[slot].name);
      return false;
    }
    slots[slot] = args[nargs + j];
  }
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < fn.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(fn.params[i].name);
  }
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", fn.name,
                 missing.size(), missing.size() == 1 ? "argument" : "arguments",
                 quoted_list(missing).c_str());
    return false;
  }
  return true;
}

PyObject* call(const Function& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  // No C++ exception may cross into the interpreter: running out of memory
  // while binding or converting becomes MemoryError, any other failure a
  // PanicException. The forced unwind that ends a thread taking the lock back
  // during finalisation is not a failure and goes on.
  try {
    std::vector<PyObject*> slots;
    if (!bind(fn, args, nargs, kwnames, slots)) return nullptr;
    std::vector<Value> values(fn.params.size());
    for (std::size_t i = 0; i < fn.params.size(); ++i) {
      if (slots[i] == nullptr) {
        values[i] = default_value(fn.params[i]);
      } else if (!convert_param(fn.params[i], slots[i], values[i])) {
        return nullptr;  // `values` frees what was converted so far
      }
    }
    return fn.compute(values);
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    return raise_failure(std::current_exception());
  }
}

// ---------------------------------------------------------------------------
// Results

// Building a result object failed: the interpreter's error is printed and
// replaced by a PanicException.
PyObject* api_failed() {
  PyErr_Print();
  raise_panic("Python API call failed");
  return nullptr;
}

// One float object for every +0.0 of a call's results: a cost matrix is zero
// below its diagonal and many arcs carry no flow, and floats are immutable.
class Zero {
 public:
  Zero() = default;
  ~Zero() { Py_XDECREF(zero_); }
  Zero(const Zero&) = delete;
  Zero& operator=(const Zero&) = delete;
  PyObject* get() {
    if (zero_ == nullptr) {
      zero_ = PyFloat_FromDouble(0.0);
      if (zero_ == nullptr) return nullptr;
    }
    Py_IncRef(zero_);
    return zero_;
  }

 private:
  PyObject* zero_ = nullptr;
};

// Consumes `v` into a list of exactly widened floats.
PyObject* float_list(FloatVec& v, Zero& zero) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(v.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < v.size(); ++i) {
    std::uint32_t bits;
    std::memcpy(&bits, &v[i], sizeof bits);
    PyObject* item = bits == 0 ? zero.get() : PyFloat_FromDouble(static_cast<double>(v[i]));
    if (item == nullptr || PyList_SetItem(list, static_cast<Py_ssize_t>(i), item) < 0) {
      Py_DECREF(list);
      return nullptr;
    }
  }
  FloatVec().swap(v);
  return list;
}

PyObject* tuple_of(std::initializer_list<PyObject*> items) {
  for (PyObject* item : items) {
    if (item == nullptr) {
      for (PyObject* other : items) Py_XDECREF(other);
      return api_failed();
    }
  }
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
  if (tuple == nullptr) {
    for (PyObject* item : items) Py_DECREF(item);
    return api_failed();
  }
  Py_ssize_t i = 0;
  for (PyObject* item : items) PyTuple_SetItem(tuple, i++, item);  // steals
  return tuple;
}

PyObject* pair_result(FloatVec& labels, FloatVec& flows) {
  Zero zero;
  PyObject* first = float_list(labels, zero);
  PyObject* second = first ? float_list(flows, zero) : nullptr;
  return tuple_of({first, second});
}

PyObject* line_result(lumo::LineResult& r) {
  PyObject* matrix = PyList_New(static_cast<Py_ssize_t>(r.cost_matrix.size()));
  if (matrix == nullptr) return api_failed();
  Zero zero;
  for (std::size_t i = 0; i < r.cost_matrix.size(); ++i) {
    PyObject* row = float_list(r.cost_matrix[i], zero);
    if (row == nullptr || PyList_SetItem(matrix, static_cast<Py_ssize_t>(i), row) < 0) {
      Py_DECREF(matrix);
      return api_failed();
    }
  }
  PyObject* flows = float_list(r.arc_flows, zero);
  PyObject* total = flows ? PyFloat_FromDouble(static_cast<double>(r.total_cost)) : nullptr;
  return tuple_of({matrix, flows, total});
}

// Warnings raise when the caller turned them into errors.
bool warn_no_convergence(const char* function, const lumo::Convergence& c) {
  if (!c.hit_limit) return true;
  std::string text = std::string(function) + ": no convergence after " +
                     std::to_string(c.iterations) + " iterations (gap " +
                     lumo::float_text(c.gap) + " > tol " + lumo::float_text(c.tol) + ")";
  return PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) == 0;
}

bool warn_stop0(const lumo::LineResult& r) {
  if (!r.stop0_demand) return true;
  std::string text =
      "demand towards stop 0 is not assigned (total " + lumo::float_text(r.stop0_total) + ")";
  return PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) == 0;
}

// ---------------------------------------------------------------------------
// The four functions

template <class T>
T take(Value& v) {
  return std::move(std::get<T>(v));
}

// Whether a call is small enough to run on the calling thread (see kQuickWork):
// about one step per demand entry and per arc of every destination.
std::size_t work_units(std::size_t a, std::size_t b, std::size_t c) {
  std::size_t bc = 0, sum = 0;
  if (__builtin_mul_overflow(b, c, &bc) || __builtin_add_overflow(a, bc, &sum)) return SIZE_MAX;
  return sum;
}

bool quick_arc_form(const std::vector<Value>& a) {
  const std::size_t arcs = std::get<IndexVec>(a[0]).size();
  const std::size_t demands = std::get<FloatVec>(a[4]).size();
  const std::size_t dsts = std::get<IndexVec>(a[5]).size();
  return work_units(demands, dsts, arcs) < lumo::py::kQuickWork;
}

bool quick_line_form(const std::vector<Value>& a) {
  std::size_t positions = 0;
  for (const IndexVec& line : std::get<IndexRows>(a[0])) positions += line.size();
  const std::size_t stops = std::get<FloatRows>(a[2]).size();
  return work_units(work_units(0, stops, stops), stops, work_units(0, 3, positions)) <
         lumo::py::kQuickWork;
}

PyObject* compute_linear_assign(std::vector<Value>& a) {
  lumo::Assignment r;
  const bool quick = quick_arc_form(a);
  if (!run_unlocked([&](lumo::CancelFlag cancel) {
        r = lumo::linear_assign(take<IndexVec>(a[0]), take<IndexVec>(a[1]), take<FloatVec>(a[2]),
                                take<FloatVec>(a[3]), take<FloatVec>(a[4]), take<IndexVec>(a[5]),
                                cancel);
      }, quick)) {
    return nullptr;
  }
  return pair_result(r.labels, r.flows);
}

PyObject* compute_mat_linear_assign(std::vector<Value>& a) {
  lumo::LineResult r;
  const bool quick = quick_line_form(a);
  if (!run_unlocked([&](lumo::CancelFlag cancel) {
        r = lumo::mat_linear_assign(take<IndexRows>(a[0]), take<FloatVec>(a[1]),
                                    take<FloatRows>(a[2]), take<FloatRows>(a[3]), cancel);
      }, quick)) {
    return nullptr;
  }
  if (!warn_stop0(r)) return nullptr;
  return line_result(r);
}

// The congested functions: set-up, then the iterations driven from here so
// that progress is logged and Ctrl-C is seen between and during iterations.
PyObject* compute_linear_congested_assign(std::vector<Value>& a) {
  const char* name = "linear_congested_assign";
  const bool quick = quick_arc_form(a);
  IndexVec from = take<IndexVec>(a[0]), to = take<IndexVec>(a[1]), dsts = take<IndexVec>(a[5]);
  FloatVec freqs = take<FloatVec>(a[2]), costs = take<FloatVec>(a[3]),
           demands = take<FloatVec>(a[4]);
  lumo::CongestedRun run(from, to, freqs, costs, demands, dsts, take<float>(a[6]),
                         take<float>(a[7]), take<float>(a[8]), take<float>(a[9]),
                         take<std::uint32_t>(a[10]));
  if (!run_unlocked([&](lumo::CancelFlag cancel) { run.start(cancel); }, quick) ||
      !settle(lumo::py::drive_congested(name, run, quick))) {
    return nullptr;
  }
  lumo::CongestedAssignment r = run.take();
  for (IndexVec* v : {&from, &to, &dsts}) IndexVec().swap(*v);
  for (FloatVec* v : {&freqs, &costs, &demands}) FloatVec().swap(*v);
  if (!warn_no_convergence(name, r.convergence)) return nullptr;
  return pair_result(r.labels, r.flows);
}

PyObject* compute_mat_linear_congested_assign(std::vector<Value>& a) {
  const char* name = "mat_linear_congested_assign";
  const bool quick = quick_line_form(a);
  std::unique_ptr<lumo::LineCongestedRun> line;
  if (!run_unlocked([&](lumo::CancelFlag cancel) {
        line = std::make_unique<lumo::LineCongestedRun>(
            take<IndexRows>(a[0]), take<FloatVec>(a[1]), take<FloatRows>(a[2]),
            take<FloatRows>(a[3]), take<float>(a[4]), take<float>(a[5]), take<float>(a[6]),
            take<float>(a[7]), take<std::uint32_t>(a[8]));
        line->run().start(cancel);
      }, quick) ||
      !settle(lumo::py::drive_congested(name, line->run(), quick))) {
    return nullptr;
  }
  const lumo::Convergence c = line->run().convergence();
  lumo::LineResult r;
  if (!run_unlocked([&](lumo::CancelFlag) {
        r = line->finish();
        line.reset();
      }, quick)) {
    return nullptr;
  }
  if (!warn_stop0(r) || !warn_no_convergence(name, c)) return nullptr;
  return line_result(r);
}

using lumo::kDefaultDecay, lumo::kDefaultBeta, lumo::kDefaultTol, lumo::kDefaultMaxIters;

const std::vector<Function>& functions() {
  static const std::vector<Function> table = {
      {"linear_assign",
       "linear_assign(from, to, arc_freqs, costs, demands, dsts)\n--\n\n",
       {{"from", Kind::Indices, 0, 0},
        {"to", Kind::Indices, 0, 0},
        {"arc_freqs", Kind::Floats, 0, 0},
        {"costs", Kind::Floats, 0, 0},
        {"demands", Kind::Floats, 0, 0},
        {"dsts", Kind::Indices, 0, 0}},
       6,
       compute_linear_assign},
      {"mat_linear_assign",
       "mat_linear_assign(alignments, freqs, travel_time_mat, demands_mat)\n--\n\n",
       {{"alignments", Kind::IndexRows, 0, 0},
        {"freqs", Kind::Floats, 0, 0},
        {"travel_time_mat", Kind::FloatRows, 0, 0},
        {"demands_mat", Kind::FloatRows, 0, 0}},
       4,
       compute_mat_linear_assign},
      {"linear_congested_assign",
       "linear_congested_assign(from, to, arc_freqs, costs, demands, dsts, capacity, "
       "average_decay_factor=0.01, beta=0.2, tol=0.001, max_iters=1000)\n--\n\n",
       {{"from", Kind::Indices, 0, 0},
        {"to", Kind::Indices, 0, 0},
        {"arc_freqs", Kind::Floats, 0, 0},
        {"costs", Kind::Floats, 0, 0},
        {"demands", Kind::Floats, 0, 0},
        {"dsts", Kind::Indices, 0, 0},
        {"capacity", Kind::Float, 0, 0},
        {"average_decay_factor", Kind::Float, kDefaultDecay, 0},
        {"beta", Kind::Float, kDefaultBeta, 0},
        {"tol", Kind::Float, kDefaultTol, 0},
        {"max_iters", Kind::U32, 0, kDefaultMaxIters}},
       7,
       compute_linear_congested_assign},
      {"mat_linear_congested_assign",
       "mat_linear_congested_assign(alignments, freqs, travel_time_mat, demands_mat, capacity, "
       "average_decay_factor=0.01, beta=0.2, tol=0.001, max_iters=1000)\n--\n\n",
       {{"alignments", Kind::IndexRows, 0, 0},
        {"freqs", Kind::Floats, 0, 0},
        {"travel_time_mat", Kind::FloatRows, 0, 0},
        {"demands_mat", Kind::FloatRows, 0, 0},
        {"capacity", Kind::Float, 0, 0},
        {"average_decay_factor", Kind::Float, kDefaultDecay, 0},
        {"beta", Kind::Float, kDefaultBeta, 0},
        {"tol", Kind::Float, kDefaultTol, 0},
        {"max_iters", Kind::U32, 0, kDefaultMaxIters}},
       5,
       compute_mat_linear_congested_assign},
  };
  return table;
}

template <std::size_t I>
PyObject* trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call(functions()[I], args, nargs, kwnames);
}

template <std::size_t I>
PyMethodDef method_def() {
  return {functions()[I].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&trampoline<I>)),
          METH_FASTCALL | METH_KEYWORDS, functions()[I].doc};
}

// The function objects keep pointers to these for the life of the process.
PyMethodDef method_defs[4];

// ---------------------------------------------------------------------------
// Module

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "lumo",  // m_name
    "",      // m_doc: an empty docstring
    0,       // m_size
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<bool> initialised{false};

bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  PyObject* fn = PyCMethod_New(def, module, module_name, nullptr);
  if (fn == nullptr) return false;
  PyObject* name = PyObject_GetAttrString(fn, "__name__");
  bool ok = name != nullptr;
  PyObject* all = nullptr;
  if (ok) {
    all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      all = PyList_New(0);
      ok = all != nullptr && PyObject_SetAttrString(module, "__all__", all) == 0;
    } else {
      ok = all != nullptr;
    }
  }
  ok = ok && PyList_Append(all, name) == 0 && PyObject_SetAttr(module, name, fn) == 0;
  Py_XDECREF(all);
  Py_XDECREF(name);
  Py_DECREF(fn);
  return ok;
}

}  // namespace

PyMODINIT_FUNC PyInit_lumo(void) {
  PyObject* module = PyModule_Create2(&module_def, 1013);
  if (module == nullptr) return nullptr;
  if (initialised.exchange(true)) {
    Py_DECREF(module);
    PyErr_SetString(PyExc_ImportError,
                    "PyO3 modules may only be initialized once per interpreter process");
    return nullptr;
  }
  method_defs[0] = method_def<0>();
  method_defs[1] = method_def<1>();
  method_defs[2] = method_def<2>();
  method_defs[3] = method_def<3>();
  const char* name = PyModule_GetName(module);
  PyObject* module_name = name ? PyUnicode_FromString(name) : nullptr;
  bool ok = module_name != nullptr;
  for (PyMethodDef& def : method_defs) {
    if (!ok) break;
    ok = add_function(module, module_name, &def);
  }
  Py_XDECREF(module_name);
  if (!ok) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

// lumo._arrays: the native half of lumo.arrays. Inputs are read once through
// the buffer protocol, never element by element; results leave as Buffer
// objects that hand their memory to numpy without a copy. Argument checking
// with readable messages happens in lumo/arrays.py; the checks here only keep
// the computation safe.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030C0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "core/congested.hpp"
#include "core/strategy.hpp"
#include "bridge/interrupt.hpp"
#include "bridge/progress.hpp"
#include "bridge/panic_type.hpp"

namespace {

using lumo::FloatVec;
using lumo::Index;
using lumo::IndexVec;

PyObject* input_error = nullptr;  // lumo.arrays.InputError
// Seconds spent reading the inputs and computing in the latest assign of this
// thread, for benchmarks that separate computing from converting.
thread_local double read_seconds = 0.0, compute_seconds = 0.0;
PyTypeObject* buffer_type = nullptr;

// ---------------------------------------------------------------------------
// Results: a float32 block that exports itself through the buffer protocol.

struct BufferObject {
  PyObject_HEAD
  FloatVec* data;
  int ndim;
  Py_ssize_t shape[2];
  Py_ssize_t strides[2];
};

float empty_block[1];

int buffer_get(PyObject* self, Py_buffer* view, int flags) {
  auto* b = reinterpret_cast<BufferObject*>(self);
  view->obj = Py_NewRef(self);
  view->buf = b->data->empty() ? empty_block : b->data->data();
  view->len = static_cast<Py_ssize_t>(b->data->size() * sizeof(float));
  view->readonly = 0;
  view->itemsize = sizeof(float);
  view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>("f") : nullptr;
  view->ndim = b->ndim;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? b->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? b->strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

void buffer_release(PyObject*, Py_buffer*) {}

void buffer_dealloc(PyObject* self) {
  auto* b = reinterpret_cast<BufferObject*>(self);
  delete b->data;  // null when allocation failed
  PyTypeObject* type = Py_TYPE(self);
  PyObject_Free(self);
  Py_DECREF(type);
}

PyType_Slot buffer_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(buffer_get)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(buffer_release)},
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_dealloc)},
    {Py_tp_doc, const_cast<char*>("A block of float32 results, shared with numpy without a copy.")},
    {0, nullptr},
};

PyType_Spec buffer_spec = {"lumo._arrays.Buffer", sizeof(BufferObject), 0, Py_TPFLAGS_DEFAULT,
                           buffer_slots};

// Takes the vector's memory (no copy). rows < 0 makes a one-dimensional block.
PyObject* make_buffer(FloatVec&& v, Py_ssize_t rows = -1, Py_ssize_t cols = 0) {
  BufferObject* b = PyObject_New(BufferObject, buffer_type);
  if (b == nullptr) return nullptr;
  try {
    b->data = new FloatVec(std::move(v));
  } catch (const std::bad_alloc&) {
    b->data = nullptr;
  }
  if (b->data == nullptr) {
    Py_DECREF(reinterpret_cast<PyObject*>(b));  // the deallocator tolerates no data
    return PyErr_NoMemory();
  }
  if (rows < 0) {
    b->ndim = 1;
    b->shape[0] = static_cast<Py_ssize_t>(b->data->size());
    b->strides[0] = sizeof(float);
  } else {
    b->ndim = 2;
    b->shape[0] = rows;
    b->shape[1] = cols;
    b->strides[0] = cols * static_cast<Py_ssize_t>(sizeof(float));
    b->strides[1] = sizeof(float);
  }
  return reinterpret_cast<PyObject*>(b);
}

// ---------------------------------------------------------------------------
// Inputs

// Holds a C-contiguous buffer for as long as it lives.
class View {
 public:
  ~View() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool open(PyObject* obj, const char* name) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous buffer (a numpy array)", name);
      return false;
    }
    held_ = true;
    const char* f = view_.format ? view_.format : "B";
    if (*f == '@' || *f == '=' || *f == '<') ++f;
    code_ = (f[0] != '\0' && f[1] == '\0') ? f[0] : '?';
    return true;
  }
  char code() const { return code_; }
  std::size_t size() const { return static_cast<std::size_t>(view_.len / view_.itemsize); }
  std::size_t itemsize() const { return static_cast<std::size_t>(view_.itemsize); }
  const void* data() const { return view_.buf; }

 private:
  Py_buffer view_{};
  bool held_ = false;
  char code_ = '?';
};

// Raises InputError for the bad value at flat position i (row width `cols`, 0
// for one dimension).
void bad_value(const char* name, std::size_t i, std::size_t cols, double v) {
  const char* what = v != v ? "NaN"
                     : v < 0 ? "negative"
                     : std::isinf(v) ? "infinite"
                     : "too large for float32";
  PyObject* value = PyFloat_FromDouble(v);
  if (value == nullptr) return;
  if (cols == 0) {
    PyErr_Format(input_error, "%s[%zu] = %R is %s", name, i, value, what);
  } else {
    PyErr_Format(input_error, "%s[%zu, %zu] = %R is %s", name, i / cols, i % cols, value, what);
  }
  Py_DECREF(value);
}

// What a float argument may hold; values narrowed to float32 are checked.
enum class Allowed { kCosts, kFrequencies };  // finite, or also +inf; never NaN or < 0

template <class T>
void narrow(const T* p, std::size_t n, FloatVec& out) {
  out.resize(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(p[i]);
}

// The network's costs and frequencies, checked again here: they are plain
// attributes of a Network, which may have been changed after it was built.
bool read_floats(PyObject* obj, const char* name, Allowed allowed, FloatVec& out) {
  View v;
  if (!v.open(obj, name)) return false;
  if (v.code() == 'f' && v.itemsize() == 4) {
    narrow(static_cast<const float*>(v.data()), v.size(), out);
  } else if (v.code() == 'd' && v.itemsize() == 8) {
    narrow(static_cast<const double*>(v.data()), v.size(), out);
  } else {
    PyErr_Format(PyExc_TypeError, "%s must hold float32 or float64 values", name);
    return false;
  }
  const float inf = std::numeric_limits<float>::infinity();
  for (std::size_t i = 0; i < out.size(); ++i) {
    const float f = out[i];
    if (f >= 0.0f && (f < inf || (allowed == Allowed::kFrequencies && f == inf))) continue;
    bad_value(name, i, 0, static_cast<double>(f));
    return false;
  }
  return true;
}

// A demand value is valid when, narrowed to float32, it is finite and not
// negative (-0.0 included): at least 0 and at most the largest value that
// narrows to a finite float (NaN fails both comparisons).
const double kLargestDouble = std::nextafter(
    static_cast<double>(std::numeric_limits<float>::max()) + std::ldexp(1.0, 103), 0.0);
inline bool valid(double v) { return v >= 0.0 && v <= kLargestDouble; }
inline bool valid(float v) { return v >= 0.0f && v <= std::numeric_limits<float>::max(); }

// Whether any of `len` values is invalid. Two or four values per comparison
// where the processor has SSE2, so that the pass runs at memory speed.
bool any_invalid(const double* p, std::size_t len) {
  std::size_t i = 0;
  bool bad = false;
#if defined(__SSE2__)
  const __m128d zero = _mm_setzero_pd(), top = _mm_set1_pd(kLargestDouble);
  __m128d ok0 = _mm_cmpeq_pd(zero, zero), ok1 = ok0;
  for (; i + 4 <= len; i += 4) {
    const __m128d a = _mm_loadu_pd(p + i), b = _mm_loadu_pd(p + i + 2);
    ok0 = _mm_and_pd(ok0, _mm_and_pd(_mm_cmpge_pd(a, zero), _mm_cmple_pd(a, top)));
    ok1 = _mm_and_pd(ok1, _mm_and_pd(_mm_cmpge_pd(b, zero), _mm_cmple_pd(b, top)));
  }
  bad = _mm_movemask_pd(_mm_and_pd(ok0, ok1)) != 3;
#endif
  for (; i < len; ++i) bad |= !valid(p[i]);
  return bad;
}

bool any_invalid(const float* p, std::size_t len) {
  std::size_t i = 0;
  bool bad = false;
#if defined(__SSE2__)
  const __m128 zero = _mm_setzero_ps(), top = _mm_set1_ps(std::numeric_limits<float>::max());
  __m128 ok0 = _mm_cmpeq_ps(zero, zero), ok1 = ok0;
  for (; i + 8 <= len; i += 8) {
    const __m128 a = _mm_loadu_ps(p + i), b = _mm_loadu_ps(p + i + 4);
    ok0 = _mm_and_ps(ok0, _mm_and_ps(_mm_cmpge_ps(a, zero), _mm_cmple_ps(a, top)));
    ok1 = _mm_and_ps(ok1, _mm_and_ps(_mm_cmpge_ps(b, zero), _mm_cmple_ps(b, top)));
  }
  bad = _mm_movemask_ps(_mm_and_ps(ok0, ok1)) != 15;
#endif
  for (; i < len; ++i) bad |= !valid(p[i]);
  return bad;
}

// z * z when every value of the z x z matrix is valid, else (with `find`) the
// first invalid position. With `columns`, also marks the columns that hold a
// non-zero value off the diagonal (the destinations with demand towards them).
// With columns, blocks of columns run on the pool, each task reading its
// stretch of every row and marking only its own columns.
template <class T>
std::size_t scan(const T* values, std::size_t z, bool find, std::uint8_t* columns) {
  const std::size_t n = z * z;
  if (find) {
    for (std::size_t i = 0; i < n; ++i) if (!valid(values[i])) return i;
    return n;
  }
  std::atomic<bool> bad{false};
  if (columns == nullptr) {  // blocks of whole rows: one contiguous stretch each
    const std::size_t grain = std::max<std::size_t>(1, (std::size_t{1} << 16) / (z + 1));
    lumo::parallel_range(tbb::blocked_range<std::size_t>(0, z, grain),
                         [&](const tbb::blocked_range<std::size_t>& r) {
      if (any_invalid(values + r.begin() * z, (r.end() - r.begin()) * z)) {
        bad.store(true, std::memory_order_relaxed);
      }
    });
    return bad.load() ? 0 : n;
  }
  lumo::parallel_range(tbb::blocked_range<std::size_t>(0, z, 512),
                       [&](const tbb::blocked_range<std::size_t>& r) {
    const std::size_t d0 = r.begin(), d1 = r.end();
    bool found = false;
    for (std::size_t o = 0; o < z; ++o) {
      const T* row = values + o * z;
      found |= any_invalid(row + d0, d1 - d0);
      const std::size_t diagonal = o >= d0 && o < d1 ? o : d1;  // not demand towards o
      for (std::size_t d = d0; d < diagonal; ++d) columns[d] |= row[d] != 0;
      for (std::size_t d = diagonal + 1; d < d1; ++d) columns[d] |= row[d] != 0;
    }
    if (found) bad.store(true, std::memory_order_relaxed);
  });
  return bad.load() ? 0 : n;
}

std::size_t first_invalid(const lumo::DemandMatrix& m, bool find = false,
                          std::uint8_t* columns = nullptr) {
  if (m.f32 != nullptr) return scan(m.f32, m.zones, find, columns);
  return scan(m.f64, m.zones, find, columns);
}

// The demand matrix where it lies (float32 or float64, C order, zones x
// zones), checked in one read-only pass: finite and not negative. `view`
// must stay open while the matrix is used.
// With `dsts`, also finds the destinations: every zone with demand towards it.
// `check_values` false: the values were checked before (a matrix sent to the
// workers of a cluster by a caller that checked it); only its size is.
bool view_demand(PyObject* obj, Py_ssize_t zones, View& view, lumo::DemandMatrix& out,
                 IndexVec* dsts = nullptr, bool check_values = true) {
  if (!view.open(obj, "demand")) return false;
  const std::size_t z = static_cast<std::size_t>(zones);
  if (view.size() != z * z) {
    PyErr_Format(input_error, "demand must hold %zu x %zu values", z, z);
    return false;
  }
  out.zones = z;
  if (view.code() == 'f' && view.itemsize() == 4) {
    out.f32 = static_cast<const float*>(view.data());
  } else if (view.code() == 'd' && view.itemsize() == 8) {
    out.f64 = static_cast<const double*>(view.data());
  } else {
    PyErr_SetString(PyExc_TypeError, "demand must hold float32 or float64 values");
    return false;
  }
  if (!check_values) return true;
  const std::size_t n = z * z;
  std::vector<std::uint8_t> columns(dsts != nullptr ? z : 0, 0);
  std::size_t valid_until = 0;
  Py_BEGIN_ALLOW_THREADS  // the buffer stays held; only memory is read
  valid_until = first_invalid(out, false, dsts != nullptr ? columns.data() : nullptr);
  Py_END_ALLOW_THREADS
  if (valid_until == n) {
    if (dsts != nullptr) {
      for (std::size_t d = 0; d < z; ++d) {
        if (columns[d] != 0) dsts->push_back(d);
      }
    }
    return true;
  }
  const std::size_t i = first_invalid(out, true);
  bad_value("demand", i, z, out.f32 != nullptr ? out.f32[i] : out.f64[i]);
  return false;
}

template <class T>
bool widen(const void* data, std::size_t n, Index limit, const char* name, IndexVec& out) {
  const T* p = static_cast<const T*>(data);
  out.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const T x = p[i];
    if constexpr (std::is_signed_v<T>) {
      if (x < 0) {
        PyErr_Format(input_error, "%s[%zu] = %lld is negative", name, i,
                     static_cast<long long>(x));
        return false;
      }
    }
    if (static_cast<unsigned long long>(x) >= limit) {
      PyErr_Format(input_error, "%s[%zu] = %llu is out of range: it must be below %zu", name, i,
                   static_cast<unsigned long long>(x), static_cast<std::size_t>(limit));
      return false;
    }
    out[i] = static_cast<Index>(x);
  }
  return true;
}

// Integers of any width, each below `limit`.
bool read_indices(PyObject* obj, const char* name, Index limit, IndexVec& out) {
  View v;
  if (!v.open(obj, name)) return false;
  const std::size_t n = v.size(), w = v.itemsize();
  const void* d = v.data();
  switch (v.code()) {
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
      if (w == 1) return widen<std::int8_t>(d, n, limit, name, out);
      if (w == 2) return widen<std::int16_t>(d, n, limit, name, out);
      if (w == 4) return widen<std::int32_t>(d, n, limit, name, out);
      if (w == 8) return widen<std::int64_t>(d, n, limit, name, out);
      break;
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
      if (w == 1) return widen<std::uint8_t>(d, n, limit, name, out);
      if (w == 2) return widen<std::uint16_t>(d, n, limit, name, out);
      if (w == 4) return widen<std::uint32_t>(d, n, limit, name, out);
      if (w == 8) return widen<std::uint64_t>(d, n, limit, name, out);
      break;
    default:
      break;
  }
  PyErr_Format(PyExc_TypeError, "%s must hold integers", name);
  return false;
}

// ---------------------------------------------------------------------------
// Running a computation

void raise_failure(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const lumo::Cancelled&) {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const lumo::Panic& p) {
    std::fprintf(stderr, "%s panicked at %s:%u:\n%s\n", p.thread.c_str(), p.file, p.line,
                 p.message.c_str());
    std::fflush(stderr);
    if (PyObject* type = lumo_python::panic_type()) {
      PyErr_SetString(type, p.message.c_str());
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    if (PyObject* type = lumo_python::panic_type()) PyErr_SetString(type, e.what());
  }
}

bool settle(const lumo::py::Outcome& outcome) {
  if (outcome.kind == lumo::py::Outcome::kFailed) raise_failure(outcome.failure);
  return outcome.ok();
}

// Runs compute(cancel) without the interpreter lock on `threads` workers (0:
// the whole pool), interruptible by Ctrl-C; raises and returns false on failure.
template <class F>
bool run(long threads, bool quick, F&& compute) {
  return settle(lumo::py::run_released(std::forward<F>(compute), quick, static_cast<int>(threads)));
}

// Elementary steps of one assignment, to tell work that is not worth a thread.
bool quick_work(std::size_t n_dst, std::size_t n, std::size_t m) {
  return n_dst * (n + m) < lumo::py::kQuickWork;
}

struct ArcInput {
  IndexVec tail, head;
  FloatVec freq, cost;
  std::vector<std::uint8_t> kind;
  Index n_nodes = 0;
};

bool read_network(PyObject* tail, PyObject* head, PyObject* freq, PyObject* cost, PyObject* kind,
                  Py_ssize_t n_nodes, ArcInput& in) {
  if (n_nodes < 0) {
    PyErr_SetString(input_error, "n_nodes must not be negative");
    return false;
  }
  in.n_nodes = static_cast<Index>(n_nodes);
  if (!read_indices(tail, "tail", in.n_nodes, in.tail) ||
      !read_indices(head, "head", in.n_nodes, in.head) || !read_floats(freq, "freq", Allowed::kFrequencies, in.freq) ||
      !read_floats(cost, "cost", Allowed::kCosts, in.cost)) {
    return false;
  }
  if (kind != Py_None) {
    IndexVec k;
    if (!read_indices(kind, "kind", 6, k)) return false;
    in.kind.assign(k.begin(), k.end());
  }
  const std::size_t m = in.tail.size();
  if (in.head.size() != m || in.freq.size() != m || in.cost.size() != m ||
      (!in.kind.empty() && in.kind.size() != m)) {
    PyErr_SetString(input_error, "tail, head, freq, cost and kind must have one entry per arc");
    return false;
  }
  return true;
}

PyObject* optional_buffer(bool present, FloatVec& v, Py_ssize_t rows, Py_ssize_t cols) {
  if (!present) return Py_NewRef(Py_None);
  return make_buffer(std::move(v), rows, cols);
}

// Packs the skim into (flows, cost, total_cost, labels, dest_flows, wait, ride,
// walk, boardings); absent parts are None.
PyObject* skim_tuple(lumo::Skim& r, Py_ssize_t z, Py_ssize_t n_dst, Py_ssize_t n, Py_ssize_t m,
                     bool per_destination, bool components) {
  PyObject* items[9] = {
      make_buffer(std::move(r.flows)),
      make_buffer(std::move(r.cost), z, z),
      PyFloat_FromDouble(static_cast<double>(r.total_cost)),
      optional_buffer(per_destination, r.labels, n_dst, n),
      optional_buffer(per_destination, r.dest_flows, n_dst, m),
      optional_buffer(components, r.wait, z, z),
      optional_buffer(components, r.ride, z, z),
      optional_buffer(components, r.walk, z, z),
      optional_buffer(components, r.boardings, z, z),
  };
  PyObject* tuple = PyTuple_New(9);
  bool ok = tuple != nullptr;
  for (PyObject* item : items) ok = ok && item != nullptr;
  if (!ok) {
    for (PyObject* item : items) Py_XDECREF(item);
    Py_XDECREF(tuple);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < 9; ++i) PyTuple_SetItem(tuple, i, items[i]);
  return tuple;
}

PyObject* index_list(const IndexVec& v) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(v.size()));
  for (std::size_t i = 0; list != nullptr && i < v.size(); ++i) {
    PyObject* item = PyLong_FromSize_t(v[i]);
    if (item == nullptr) {
      Py_CLEAR(list);
      break;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

// With dsts None, the destinations are found (every zone with demand towards
// it) and the result is (skim, destinations).
// assign(tail, head, freq, cost, kind, n_nodes, demand, n_zones, dsts,
//        per_destination, components, threads)
PyObject* py_assign(PyObject*, PyObject* args) {
  PyObject *tail, *head, *freq, *cost, *kind, *demand, *dsts_obj;
  Py_ssize_t n_nodes, n_zones;
  int per_destination, components;
  long threads;
  Py_ssize_t chunk = 0;
  if (!PyArg_ParseTuple(args, "OOOOOnOnOppl|n", &tail, &head, &freq, &cost, &kind, &n_nodes,
                        &demand, &n_zones, &dsts_obj, &per_destination, &components, &threads,
                        &chunk)) {
    return nullptr;
  }
  try {
    const auto entered = std::chrono::steady_clock::now();
    ArcInput in;
    View demand_view;
    lumo::DemandMatrix dem;
    IndexVec dsts;
    const bool find_dsts = dsts_obj == Py_None;
    if (!read_network(tail, head, freq, cost, kind, n_nodes, in) ||
        !view_demand(demand, n_zones, demand_view, dem, find_dsts ? &dsts : nullptr) ||
        (!find_dsts &&
         !read_indices(dsts_obj, "destinations", static_cast<Index>(n_zones), dsts))) {
      return nullptr;
    }
    lumo::Skim r;
    lumo::SkimOptions options;
    options.per_destination = per_destination != 0;
    options.components = components != 0;
    options.chunk = chunk > 0 ? static_cast<std::size_t>(chunk) : 0;
    const bool quick = quick_work(dsts.size(), in.n_nodes, in.tail.size());
    const std::chrono::duration<double> reading = std::chrono::steady_clock::now() - entered;
    double seconds = 0.0;
    if (!run(threads, quick, [&](lumo::CancelFlag cancel) {
          const auto began = std::chrono::steady_clock::now();
          options.cancel = cancel;
          lumo::Network net = lumo::prepare_network(in.tail, in.head, in.cost, in.n_nodes);
          lumo::WorkspacePtr ws = lumo::make_workspace();
          lumo::assign_skim(net, in.freq, in.kind, dem, dsts, options, *ws, r);
          const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
          seconds = took.count();
        })) {
      return nullptr;
    }
    compute_seconds = seconds;
    read_seconds = reading.count();
    PyObject* skim = skim_tuple(r, n_zones, static_cast<Py_ssize_t>(dsts.size()), n_nodes,
                                static_cast<Py_ssize_t>(in.tail.size()), options.per_destination,
                                options.components);
    if (skim == nullptr || !find_dsts) return skim;
    PyObject* found = index_list(dsts);
    PyObject* out = found ? Py_BuildValue("(NN)", skim, found) : nullptr;
    if (out == nullptr) Py_XDECREF(skim);
    return out;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// The demand rows of the destinations, N entries each, laid out as the line
// form lays them out (the destination's own entry minus the others' sum), so
// that a line network gives exactly the line-form results.
FloatVec demand_rows(const lumo::DemandMatrix& dem, const IndexVec& dsts, Index n) {
  const Index z = dem.zones;
  FloatVec rows(lumo::checked_count(dsts.size(), n, sizeof(float)), 0.0f);
  for (std::size_t k = 0; k < dsts.size(); ++k) {
    float* row = rows.data() + k * n;
    const Index d = dsts[k];
    for (Index o = 0; o < z; ++o) {
      if (o == d) continue;
      row[o] = dem.at(o, d);
      row[d] = row[d] - dem.at(o, d);
    }
  }
  return rows;
}

// congested(tail, head, freq, cost, kind, n_nodes, demand, n_zones, dsts, capacity,
//           decay, msa, beta, tol, max_iters, progress, components, threads)
// -> (flows, cost, total_cost, None, None, wait, ride, walk, boardings,
//     iterations, gaps, converged, stopped)
PyObject* py_congested(PyObject*, PyObject* args) {
  PyObject *tail, *head, *freq, *cost, *kind, *demand, *dsts_obj, *progress;
  Py_ssize_t n_nodes, n_zones;
  float capacity, decay, beta, tol;
  unsigned long max_iters;
  int msa, components;
  long threads;
  if (!PyArg_ParseTuple(args, "OOOOOnOnOffpffkOpl", &tail, &head, &freq, &cost, &kind,
                        &n_nodes, &demand, &n_zones, &dsts_obj, &capacity, &decay, &msa, &beta,
                        &tol, &max_iters, &progress, &components, &threads)) {
    return nullptr;
  }
  try {
    ArcInput in;
    View demand_view;
    lumo::DemandMatrix dem;
    IndexVec dsts;
    if (!read_network(tail, head, freq, cost, kind, n_nodes, in) ||
        !view_demand(demand, n_zones, demand_view, dem) ||
        !read_indices(dsts_obj, "destinations", static_cast<Index>(n_zones), dsts)) {
      return nullptr;
    }
    const Index z = static_cast<Index>(n_zones), n = in.n_nodes;
    const std::size_t m = in.tail.size(), n_dst = dsts.size();
    if (m == 0 || z > n) {
      PyErr_SetString(input_error, "the congested assignment needs arcs and a Z x Z demand");
      return nullptr;
    }
    FloatVec rows;
    std::unique_ptr<lumo::CongestedRun> run_ptr;
    const bool quick = quick_work(n_dst, n, m);
    if (!run(threads, quick, [&](lumo::CancelFlag cancel) {
          rows = demand_rows(dem, dsts, n);
          run_ptr = std::make_unique<lumo::CongestedRun>(
              in.tail, in.head, in.freq, in.cost, rows, dsts, capacity, decay, beta, tol,
              static_cast<std::uint32_t>(max_iters), msa != 0);
          run_ptr->start(cancel);
        })) {
      return nullptr;
    }
    lumo::CongestedRun& cr = *run_ptr;
    bool stopped = false;
    if (!settle(lumo::py::drive_congested("assign_congested", cr, quick, static_cast<int>(threads),
                                          progress == Py_None ? nullptr : progress, &stopped))) {
      return nullptr;
    }

    // Flows: the averaged blocks summed in destination order. Cost, total and
    // components: the newest assignment, whose labels the run holds; the
    // components need its strategies, so that assignment is made once more
    // (the same inputs give the same labels).
    lumo::Skim r;
    FloatVec gaps = cr.gaps();
    const bool converged = cr.converged();
    const std::uint32_t iterations = cr.iterations();
    if (!run(threads, quick, [&](lumo::CancelFlag cancel) {
          const FloatVec& eff = cr.effective_freqs().empty() ? in.freq : cr.effective_freqs();
          lumo::CongestedAssignment last = cr.take();
          r.flows = n_dst == 0 ? FloatVec(m, 0.0f) : lumo::sum_flows(std::move(last.flows), n_dst);
          lumo::throw_if_cancelled(cancel);
          const FloatVec& labels = last.labels;
          r.cost.assign(z * z, std::numeric_limits<float>::quiet_NaN());
          for (std::size_t k = 0; k < n_dst; ++k) {
            for (Index o = 0; o < z; ++o) r.cost[o * z + dsts[k]] = labels[k * n + o];
          }
          r.total_cost = lumo::total_cost(labels, rows, n);
          if (components) {
            lumo::Skim split;
            lumo::SkimOptions options;
            options.components = true;
            options.cancel = cancel;
            lumo::Network net = lumo::prepare_network(in.tail, in.head, in.cost, n);
            lumo::WorkspacePtr ws = lumo::make_workspace();
            lumo::assign_skim(net, eff, in.kind, dem, dsts, options, *ws, split);
            r.wait = std::move(split.wait);
            r.ride = std::move(split.ride);
            r.walk = std::move(split.walk);
            r.boardings = std::move(split.boardings);
          }
          run_ptr.reset();
        })) {
      return nullptr;
    }
    PyObject* skim = skim_tuple(r, n_zones, static_cast<Py_ssize_t>(n_dst), n_nodes,
                                static_cast<Py_ssize_t>(m), false, components != 0);
    if (skim == nullptr) return nullptr;
    PyObject* gap_list = PyList_New(static_cast<Py_ssize_t>(gaps.size()));
    for (std::size_t i = 0; gap_list != nullptr && i < gaps.size(); ++i) {
      PyList_SetItem(gap_list, static_cast<Py_ssize_t>(i),
                     PyFloat_FromDouble(static_cast<double>(gaps[i])));
    }
    PyObject* tail_items =
        gap_list ? Py_BuildValue("(INNN)", iterations, gap_list, PyBool_FromLong(converged),
                                 PyBool_FromLong(stopped))
                 : nullptr;
    if (tail_items == nullptr) {
      Py_DECREF(skim);
      return nullptr;
    }
    PyObject* out = PySequence_Concat(skim, tail_items);
    Py_DECREF(skim);
    Py_DECREF(tail_items);
    return out;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}


// ---------------------------------------------------------------------------
// Blocks of destinations, for lumo.distributed: a cluster's workers compute
// blocks and keep or return each destination's results apart; the caller adds
// them up block after block, in destination order, through fold and
// fold_values, so the sums are the local call's whatever the grouping.

// A network read and indexed once per worker process, reused by every block
// task that runs there.
struct Prepared {
  ArcInput in;
  lumo::Network net;
  lumo::ArcIndex outgoing;  // arcs leaving each node, for the gap
};

struct PreparedObject {
  PyObject_HEAD
  Prepared* p;
};

PyTypeObject* prepared_type = nullptr;

void prepared_dealloc(PyObject* self) {
  delete reinterpret_cast<PreparedObject*>(self)->p;
  PyTypeObject* type = Py_TYPE(self);
  PyObject_Free(self);
  Py_DECREF(type);
}

PyType_Slot prepared_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(prepared_dealloc)},
    {Py_tp_doc, const_cast<char*>("A network read and indexed for block tasks.")},
    {0, nullptr},
};

PyType_Spec prepared_spec = {"lumo._arrays.Prepared", sizeof(PreparedObject), 0,
                             Py_TPFLAGS_DEFAULT, prepared_slots};

Prepared* prepared_of(PyObject* obj) {
  if (!PyObject_TypeCheck(obj, prepared_type)) {
    PyErr_SetString(PyExc_TypeError, "expected a network made by lumo._arrays.prepare");
    return nullptr;
  }
  return reinterpret_cast<PreparedObject*>(obj)->p;
}

// prepare(tail, head, freq, cost, kind, n_nodes) -> Prepared
PyObject* py_prepare(PyObject*, PyObject* args) {
  PyObject *tail, *head, *freq, *cost, *kind;
  Py_ssize_t n_nodes;
  if (!PyArg_ParseTuple(args, "OOOOOn", &tail, &head, &freq, &cost, &kind, &n_nodes)) {
    return nullptr;
  }
  try {
    auto p = std::make_unique<Prepared>();
    if (!read_network(tail, head, freq, cost, kind, n_nodes, p->in)) return nullptr;
    if (!run(1, true, [&](lumo::CancelFlag) {
          p->net = lumo::prepare_network(p->in.tail, p->in.head, p->in.cost, p->in.n_nodes);
          p->outgoing = lumo::index_arcs(p->in.tail, p->in.n_nodes);
        })) {
      return nullptr;
    }
    PreparedObject* obj = PyObject_New(PreparedObject, prepared_type);
    if (obj == nullptr) return nullptr;
    obj->p = p.release();
    return reinterpret_cast<PyObject*>(obj);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// check_demand(demand, n_zones, find) -> destinations (with find) or None.
// The checks of assign, made once by the caller before the blocks run.
PyObject* py_check_demand(PyObject*, PyObject* args) {
  PyObject* demand;
  Py_ssize_t n_zones;
  int find;
  if (!PyArg_ParseTuple(args, "Onp", &demand, &n_zones, &find)) return nullptr;
  try {
    View view;
    lumo::DemandMatrix dem;
    IndexVec dsts;
    if (!view_demand(demand, n_zones, view, dem, find ? &dsts : nullptr)) return nullptr;
    if (!find) return Py_NewRef(Py_None);
    return index_list(dsts);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// Frequencies for a block: the network's, or one value per arc.
bool block_freqs(PyObject* obj, const Prepared& p, FloatVec& own, const FloatVec*& out) {
  if (obj == Py_None) {
    out = &p.in.freq;
    return true;
  }
  if (!read_floats(obj, "effective frequencies", Allowed::kFrequencies, own)) return false;
  if (own.size() != p.in.tail.size()) {
    PyErr_SetString(input_error, "effective frequencies must have one entry per arc");
    return false;
  }
  out = &own;
  return true;
}

PyObject* rows_or_none(bool present, FloatVec& v, Py_ssize_t rows, Py_ssize_t cols) {
  return optional_buffer(present, v, rows, cols);
}

// assign_block(prepared, freqs, demand, n_zones, dsts, per_destination, components, threads)
// -> (dest_flows D x M, cost D x Z, partials D, labels D x N or None,
//     wait, ride, walk, boardings: D x Z or None)
// Row k of the D x Z results holds the zones' values towards dsts[k]. The
// demand was checked by check_demand.
PyObject* py_assign_block(PyObject*, PyObject* args) {
  PyObject *prep_obj, *freq_obj, *demand, *dsts_obj;
  Py_ssize_t n_zones;
  int per_destination, components;
  long threads;
  if (!PyArg_ParseTuple(args, "OOOnOppl", &prep_obj, &freq_obj, &demand, &n_zones, &dsts_obj,
                        &per_destination, &components, &threads)) {
    return nullptr;
  }
  Prepared* p = prepared_of(prep_obj);
  if (p == nullptr) return nullptr;
  try {
    View demand_view;
    lumo::DemandMatrix dem;
    IndexVec dsts;
    FloatVec own;
    const FloatVec* freqs = nullptr;
    if (!block_freqs(freq_obj, *p, own, freqs) ||
        !view_demand(demand, n_zones, demand_view, dem, nullptr, false) ||
        !read_indices(dsts_obj, "destinations", static_cast<Index>(n_zones), dsts)) {
      return nullptr;
    }
    lumo::Skim r;
    lumo::SkimOptions options;
    options.per_destination = true;
    options.components = components != 0;
    options.by_destination = true;
    const Index n = p->in.n_nodes;
    const std::size_t m = p->in.tail.size();
    if (!run(threads, quick_work(dsts.size(), n, m), [&](lumo::CancelFlag cancel) {
          options.cancel = cancel;
          lumo::WorkspacePtr ws = lumo::make_workspace();
          lumo::assign_skim(p->net, *freqs, p->in.kind, dem, dsts, options, *ws, r);
        })) {
      return nullptr;
    }
    const Py_ssize_t d = static_cast<Py_ssize_t>(dsts.size());
    const bool c = components != 0;
    r.partials.resize(dsts.size());
    return Py_BuildValue("(NNNNNNNN)", make_buffer(std::move(r.dest_flows), d, m),
                         make_buffer(std::move(r.cost), d, n_zones),
                         make_buffer(std::move(r.partials)),
                         rows_or_none(per_destination != 0, r.labels, d, n),
                         rows_or_none(c, r.wait, d, n_zones), rows_or_none(c, r.ride, d, n_zones),
                         rows_or_none(c, r.walk, d, n_zones),
                         rows_or_none(c, r.boardings, d, n_zones));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

bool read_block(PyObject* obj, const char* name, std::size_t size, FloatVec& out) {
  if (!read_floats(obj, name, Allowed::kFrequencies, out)) return false;
  if (out.size() != size) {
    PyErr_Format(input_error, "%s must hold %zu values, got %zu", name, size, out.size());
    return false;
  }
  return true;
}

// congested_block(prepared, demand, n_zones, dsts, flows, freqs, decay, msa, done, threads)
// -> (labels D x N, flows D x M, num D, den D)
// With flows None: the uncongested assignment a run starts from (num and den
// None). Otherwise one iteration of the block: assign with the effective
// frequencies `freqs`, blend the new flows into `flows` with the weight of
// iteration done + 1, and the gap parts of each destination.
PyObject* py_congested_block(PyObject*, PyObject* args) {
  PyObject *prep_obj, *demand, *dsts_obj, *flows_obj, *freq_obj;
  Py_ssize_t n_zones;
  float decay;
  int msa;
  unsigned long done;
  long threads;
  if (!PyArg_ParseTuple(args, "OOnOOOfpkl", &prep_obj, &demand, &n_zones, &dsts_obj, &flows_obj,
                        &freq_obj, &decay, &msa, &done, &threads)) {
    return nullptr;
  }
  Prepared* p = prepared_of(prep_obj);
  if (p == nullptr) return nullptr;
  try {
    View demand_view;
    lumo::DemandMatrix dem;
    IndexVec dsts;
    FloatVec own, x;
    const FloatVec* freqs = nullptr;
    if (!block_freqs(freq_obj, *p, own, freqs) ||
        !view_demand(demand, n_zones, demand_view, dem, nullptr, false) ||
        !read_indices(dsts_obj, "destinations", static_cast<Index>(n_zones), dsts)) {
      return nullptr;
    }
    const Index n = p->in.n_nodes;
    const std::size_t m = p->in.tail.size(), n_dst = dsts.size();
    const bool first = flows_obj == Py_None;
    if (!first && !read_block(flows_obj, "flows", n_dst * m, x)) return nullptr;
    FloatVec labels, y, num(first ? 0 : n_dst), den(first ? 0 : n_dst);
    if (!run(threads, quick_work(n_dst, n, m), [&](lumo::CancelFlag cancel) {
          const FloatVec rows = demand_rows(dem, dsts, n);
          lumo::WorkspacePtr ws = lumo::make_workspace();
          lumo::assign_all(p->net, *freqs, rows, dsts, *ws, labels, y, cancel);
          if (first) {
            x = std::move(y);
            return;
          }
          lumo::blend_flows(x, y, lumo::average_weight(decay, msa != 0,
                                                       static_cast<std::uint32_t>(done)));
          lumo::gap_parts(p->in.head, p->in.cost, *freqs, dsts, n, labels, x, p->outgoing,
                          num.data(), den.data());
        })) {
      return nullptr;
    }
    const Py_ssize_t d = static_cast<Py_ssize_t>(n_dst);
    if (first) {
      return Py_BuildValue("(NNOO)", make_buffer(std::move(labels), d, n),
                           make_buffer(std::move(x), d, m), Py_None, Py_None);
    }
    return Py_BuildValue("(NNNN)", make_buffer(std::move(labels), d, n),
                         make_buffer(std::move(x), d, m), make_buffer(std::move(num)),
                         make_buffer(std::move(den)));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// congested_finish(prepared, demand, n_zones, dsts, labels) -> (cost D x Z, partials D)
// The zones' costs towards each destination of the block and its total cost,
// from the labels of the run's newest assignment.
PyObject* py_congested_finish(PyObject*, PyObject* args) {
  PyObject *prep_obj, *demand, *dsts_obj, *labels_obj;
  Py_ssize_t n_zones;
  if (!PyArg_ParseTuple(args, "OOnOO", &prep_obj, &demand, &n_zones, &dsts_obj, &labels_obj)) {
    return nullptr;
  }
  Prepared* p = prepared_of(prep_obj);
  if (p == nullptr) return nullptr;
  try {
    View demand_view, labels_view;
    lumo::DemandMatrix dem;
    IndexVec dsts;
    if (!view_demand(demand, n_zones, demand_view, dem, nullptr, false) ||
        !read_indices(dsts_obj, "destinations", static_cast<Index>(n_zones), dsts) ||
        !labels_view.open(labels_obj, "labels")) {
      return nullptr;
    }
    const Index n = p->in.n_nodes, z = static_cast<Index>(n_zones);
    const std::size_t n_dst = dsts.size();
    if (labels_view.code() != 'f' || labels_view.itemsize() != 4 ||
        labels_view.size() != n_dst * n) {
      PyErr_SetString(input_error, "labels must be float32, one row of n_nodes per destination");
      return nullptr;
    }
    const float* labels = static_cast<const float*>(labels_view.data());
    FloatVec cost(n_dst * z), partials(n_dst);
    const FloatVec rows = demand_rows(dem, dsts, n);
    for (std::size_t k = 0; k < n_dst; ++k) {
      std::copy(labels + k * n, labels + k * n + z, cost.data() + k * z);
      partials[k] = lumo::total_cost(std::span<const float>(labels + k * n, n),
                                     std::span<const float>(rows.data() + k * n, n), n);
    }
    return Py_BuildValue("(NN)", make_buffer(std::move(cost), static_cast<Py_ssize_t>(n_dst), z),
                         make_buffer(std::move(partials)));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// fold(running, blocks) -> running + blocks[0] + blocks[1] + ..., row by row in order
PyObject* py_fold(PyObject*, PyObject* args) {
  PyObject *running_obj, *blocks_obj;
  if (!PyArg_ParseTuple(args, "OO", &running_obj, &blocks_obj)) return nullptr;
  try {
    View running, blocks;
    if (!running.open(running_obj, "running") || !blocks.open(blocks_obj, "blocks")) {
      return nullptr;
    }
    const std::size_t m = running.size();
    if (running.code() != 'f' || running.itemsize() != 4 || blocks.code() != 'f' ||
        blocks.itemsize() != 4 || (m == 0 ? blocks.size() != 0 : blocks.size() % m != 0)) {
      PyErr_SetString(input_error, "fold needs float32 sums and whole rows of as many values");
      return nullptr;
    }
    const float* r = static_cast<const float*>(running.data());
    FloatVec out(r, r + m);
    lumo::fold_blocks(out, std::span<const float>(static_cast<const float*>(blocks.data()),
                                                  blocks.size()));
    return make_buffer(std::move(out));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// fold_values(running, values) -> float: running + values[0] + ..., in order
PyObject* py_fold_values(PyObject*, PyObject* args) {
  float running;
  PyObject* values_obj;
  if (!PyArg_ParseTuple(args, "fO", &running, &values_obj)) return nullptr;
  View values;
  if (!values.open(values_obj, "values")) return nullptr;
  if (values.code() != 'f' || values.itemsize() != 4) {
    PyErr_SetString(input_error, "values must be float32");
    return nullptr;
  }
  const float total = lumo::fold_values(
      running, std::span<const float>(static_cast<const float*>(values.data()), values.size()));
  return PyFloat_FromDouble(static_cast<double>(total));
}

// ratio(numerator, denominator) -> float: the gap from its two sums
PyObject* py_ratio(PyObject*, PyObject* args) {
  float a, b;
  if (!PyArg_ParseTuple(args, "ff", &a, &b)) return nullptr;
  return PyFloat_FromDouble(static_cast<double>(a / b));
}

// effective_freqs(prepared, total, capacity, beta, loaded) -> M values
PyObject* py_effective_freqs(PyObject*, PyObject* args) {
  PyObject *prep_obj, *total_obj;
  float capacity, beta;
  int loaded;
  if (!PyArg_ParseTuple(args, "OOffp", &prep_obj, &total_obj, &capacity, &beta, &loaded)) {
    return nullptr;
  }
  Prepared* p = prepared_of(prep_obj);
  if (p == nullptr) return nullptr;
  try {
    const std::size_t m = p->in.tail.size();
    FloatVec total;
    if (!read_block(total_obj, "total", m, total)) return nullptr;
    FloatVec head_load(loaded ? p->in.n_nodes : 0), out;
    lumo::effective_freqs_from_totals(total, p->in.freq, p->in.head, capacity, beta,
                                      loaded != 0, head_load, out);
    return make_buffer(std::move(out));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* py_timings(PyObject*, PyObject*) {
  return Py_BuildValue("(dd)", read_seconds, compute_seconds);
}

PyMethodDef methods[] = {
    {"timings", py_timings, METH_NOARGS,
     "timings()\n--\n\n(reading, computing): seconds spent reading the inputs and computing in "
     "this thread's latest assign; the rest of the call converts and checks in Python and "
     "builds the results."},
    {"assign", py_assign, METH_VARARGS,
     "assign(tail, head, freq, cost, kind, n_nodes, demand, n_zones, destinations, "
     "per_destination, components, threads, chunk=0)\n--\n\nUncongested assignment (see lumo.arrays)."},
    {"congested", py_congested, METH_VARARGS,
     "congested(tail, head, freq, cost, kind, n_nodes, demand, n_zones, destinations, "
     "capacity, decay, msa, beta, tol, max_iters, progress, components, threads)\n--\n\n"
     "Congested assignment (see lumo.arrays)."},
    {"prepare", py_prepare, METH_VARARGS,
     "prepare(tail, head, freq, cost, kind, n_nodes)\n--\n\nA network read once for block tasks."},
    {"check_demand", py_check_demand, METH_VARARGS,
     "check_demand(demand, n_zones, find)\n--\n\nThe demand checks of assign."},
    {"assign_block", py_assign_block, METH_VARARGS,
     "assign_block(prepared, freqs, demand, n_zones, destinations, per_destination, components, "
     "threads)\n--\n\nA block of destinations, each one's results apart."},
    {"congested_block", py_congested_block, METH_VARARGS,
     "congested_block(prepared, demand, n_zones, destinations, flows, freqs, decay, msa, done, "
     "threads)\n--\n\nStart or one iteration of a block of a congested run."},
    {"congested_finish", py_congested_finish, METH_VARARGS,
     "congested_finish(prepared, demand, n_zones, destinations, labels)\n--\n\n"
     "Costs and total cost of a block."},
    {"fold", py_fold, METH_VARARGS, "fold(running, blocks)\n--\n\nIn-order sums of rows."},
    {"fold_values", py_fold_values, METH_VARARGS,
     "fold_values(running, values)\n--\n\nIn-order sum of values."},
    {"ratio", py_ratio, METH_VARARGS, "ratio(a, b)\n--\n\na / b in float32."},
    {"effective_freqs", py_effective_freqs, METH_VARARGS,
     "effective_freqs(prepared, total, capacity, beta, loaded)\n--\n\n"
     "Effective frequencies from total arc flows."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  if (buffer_type == nullptr) {
    buffer_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&buffer_spec));
    if (buffer_type == nullptr) return -1;
  }
  if (prepared_type == nullptr) {
    prepared_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&prepared_spec));
    if (prepared_type == nullptr) return -1;
  }
  if (input_error == nullptr) {
    input_error = PyErr_NewExceptionWithDoc(
        "lumo.arrays.InputError",
        "Raised when an argument of lumo.arrays is not a valid input; the message names the\n"
        "argument and, where it applies, the offending position and value.",
        PyExc_ValueError, nullptr);
    if (input_error == nullptr) return -1;
  }
  PyObject* panic = lumo_python::panic_type();
  if (panic == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "Buffer", reinterpret_cast<PyObject*>(buffer_type)) < 0 ||
      PyModule_AddObjectRef(module, "InputError", input_error) < 0 ||
      PyModule_AddObjectRef(module, "PanicException", panic) < 0) {
    return -1;
  }
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "lumo._arrays", "Native half of lumo.arrays.", 0, methods, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__arrays(void) { return PyModuleDef_Init(&module_def); }

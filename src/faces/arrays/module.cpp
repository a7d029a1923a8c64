// lumo._arrays: the native half of lumo.arrays. Inputs are read once through
// the buffer protocol, never element by element; results leave as Buffer
// objects that hand their memory to numpy without a copy. Arguments are
// keywords and results dicts, so that nothing across the seam depends on an
// order. Argument checking happens in lumo/arrays.py; the checks here only keep
// the computation safe, with the same messages.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030C0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <chrono>
#include <cmath>
#include <cstddef>
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
#include "core/nodes.hpp"
#include "core/strategy.hpp"
#include "bridge/interrupt.hpp"
#include "bridge/progress.hpp"
#include "bridge/failure.hpp"

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
    // A buffer that is not aligned for its items (an array rebuilt from
    // bytes, a view at an odd offset) is read from an aligned copy: loading
    // its items in place is undefined behaviour.
    const auto at = reinterpret_cast<std::uintptr_t>(view_.buf);
    if (view_.itemsize > 1 && at % static_cast<std::uintptr_t>(view_.itemsize) != 0) {
      const std::size_t len = static_cast<std::size_t>(view_.len);
      copy_.resize((len + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
      std::memcpy(copy_.data(), view_.buf, len);
    }
    return true;
  }
  char code() const { return code_; }
  std::size_t size() const { return static_cast<std::size_t>(view_.len / view_.itemsize); }
  std::size_t itemsize() const { return static_cast<std::size_t>(view_.itemsize); }
  const void* data() const { return copy_.empty() ? view_.buf : copy_.data(); }

 private:
  Py_buffer view_{};
  bool held_ = false;
  char code_ = '?';
  std::vector<std::max_align_t> copy_;
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

// Runs f() with the interpreter lock released when `len` values are many
// enough for the pass to be felt by other threads (the buffers read stay held,
// so their memory stays put); rethrows what f threw once the lock is back.
constexpr std::size_t kReleaseFrom = std::size_t{1} << 15;
template <class F>
void maybe_released(std::size_t len, F&& f) {
  if (len < kReleaseFrom) {
    f();
    return;
  }
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    f();
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) std::rethrow_exception(failure);
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
  const bool f32 = v.code() == 'f' && v.itemsize() == 4;
  if (!f32 && !(v.code() == 'd' && v.itemsize() == 8)) {
    PyErr_Format(PyExc_TypeError, "%s must hold float32 or float64 values", name);
    return false;
  }
  const float inf = std::numeric_limits<float>::infinity();
  std::size_t bad = v.size();
  maybe_released(v.size(), [&] {
    if (f32) {
      narrow(static_cast<const float*>(v.data()), v.size(), out);
    } else {
      narrow(static_cast<const double*>(v.data()), v.size(), out);
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
      const float f = out[i];
      if (f >= 0.0f && (f < inf || (allowed == Allowed::kFrequencies && f == inf))) continue;
      bad = i;
      break;
    }
  });
  if (bad == out.size()) return true;
  bad_value(name, bad, 0, static_cast<double>(out[bad]));
  return false;
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
  std::size_t cells = 0;
  if (__builtin_mul_overflow(z, z, &cells) || view.size() != cells) {
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

// What an index must be below, worded as lumo/arrays.py words it: "is not a
// node: the network has 5 nodes", "is not a zone: there are 3 zones".
struct Bound {
  Index limit;
  const char* format;  // completes "name[i] = v ", given the limit
};

void out_of_range(const char* name, std::size_t i, unsigned long long v, const Bound& bound) {
  std::string text = std::string(name) + "[" + std::to_string(i) + "] = " + std::to_string(v) + " ";
  char tail[200];
  std::snprintf(tail, sizeof tail, bound.format, static_cast<std::size_t>(bound.limit));
  PyErr_SetString(input_error, (text + tail).c_str());
}

template <class T>
bool widen(const void* data, std::size_t n, const Bound& bound, const char* name, IndexVec& out) {
  const T* p = static_cast<const T*>(data);
  out.resize(n);
  std::size_t bad = n;
  maybe_released(n, [&] {
    for (std::size_t i = 0; i < n; ++i) {
      const T x = p[i];
      if ((std::is_signed_v<T> && x < 0) || static_cast<unsigned long long>(x) >= bound.limit) {
        bad = i;
        return;
      }
      out[i] = static_cast<Index>(x);
    }
  });
  if (bad == n) return true;
  const T x = p[bad];
  if constexpr (std::is_signed_v<T>) {
    if (x < 0) {
      PyErr_Format(input_error, "%s[%zu] = %lld is negative", name, bad,
                   static_cast<long long>(x));
      return false;
    }
  }
  out_of_range(name, bad, static_cast<unsigned long long>(x), bound);
  return false;
}

// Integers of any width, each below the bound.
bool read_indices(PyObject* obj, const char* name, const Bound& bound, IndexVec& out) {
  View v;
  if (!v.open(obj, name)) return false;
  const std::size_t n = v.size(), w = v.itemsize();
  const void* d = v.data();
  switch (v.code()) {
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
      if (w == 1) return widen<std::int8_t>(d, n, bound, name, out);
      if (w == 2) return widen<std::int16_t>(d, n, bound, name, out);
      if (w == 4) return widen<std::int32_t>(d, n, bound, name, out);
      if (w == 8) return widen<std::int64_t>(d, n, bound, name, out);
      break;
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
      if (w == 1) return widen<std::uint8_t>(d, n, bound, name, out);
      if (w == 2) return widen<std::uint16_t>(d, n, bound, name, out);
      if (w == 4) return widen<std::uint32_t>(d, n, bound, name, out);
      if (w == 8) return widen<std::uint64_t>(d, n, bound, name, out);
      break;
    default:
      break;
  }
  PyErr_Format(PyExc_TypeError, "%s must hold integers", name);
  return false;
}

Bound nodes(Index n) { return {n, "is not a node: the network has %zu nodes"}; }
Bound zones(Index z) { return {z, "is not a zone: there are %zu zones"}; }

// "is not an arc kind (0 … 5: BOARDING, IN_VEHICLE, ...)", from the core's table.
const std::string& kind_format() {
  static const std::string text = [] {
    std::string t = "is not an arc kind (0 \u2026 " + std::to_string(lumo::kArcKinds - 1) + ": ";
    for (std::uint8_t k = 0; k < lumo::kArcKinds; ++k) {
      t += (k ? ", " : "") + std::string(lumo::kArcKindNames[k]);
    }
    return t + ")";
  }();
  return text;
}

// ---------------------------------------------------------------------------
// Running a computation

using lumo::py::settle;

// Runs compute(cancel) without the interpreter lock on `threads` workers (0:
// the whole pool), interruptible by Ctrl-C; raises and returns false on failure.
template <class F>
bool run(int threads, bool quick, F&& compute) {
  return settle(lumo::py::run_released(std::forward<F>(compute), quick, threads));
}

// Elementary steps of one assignment, to tell work that is not worth a thread.
bool quick_work(std::size_t n_dst, std::size_t n, std::size_t m) {
  return n_dst * (n + m) < lumo::py::kQuickWork;
}

// ---------------------------------------------------------------------------
// Keyword arguments

// Every name in `names` given: lumo/arrays.py passes them all.
bool require(PyObject* kwargs, const char* function, const char* const* names) {
  for (const char* const* n = names; *n != nullptr; ++n) {
    if (kwargs == nullptr || PyDict_GetItemString(kwargs, *n) == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required keyword argument '%s'", function, *n);
      return false;
    }
  }
  return true;
}

// None for the whole pool, else an integer of at least 1; more workers than
// processors are capped there.
bool read_threads(PyObject* obj, int& out) {
  if (obj == Py_None) {
    out = 0;
    return true;
  }
  if (!PyLong_Check(obj) || PyBool_Check(obj)) {
    PyErr_Format(input_error, "threads must be a positive integer, got %R", obj);
    return false;
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && v < 1)) {
    PyErr_Format(input_error, "threads = %R must be at least 1", obj);
    return false;
  }
  // Beyond a machine word: as many as there are processors, like any large count.
  const std::size_t n = overflow > 0 ? std::numeric_limits<std::size_t>::max()
                                     : static_cast<std::size_t>(v);
  out = lumo::thread_limit(n);
  return true;
}

bool read_max_iters(PyObject* obj, std::uint32_t& out) {
  if (!PyLong_Check(obj) || PyBool_Check(obj)) {
    PyErr_Format(input_error, "max_iters must be an integer, got %R", obj);
    return false;
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && v < 1)) {
    PyErr_Format(input_error, "max_iters = %R must be at least 1", obj);
    return false;
  }
  if (overflow > 0 || v > static_cast<long long>(std::numeric_limits<std::uint32_t>::max())) {
    PyErr_Format(input_error, "max_iters = %R is too large: at most %u", obj,
                 std::numeric_limits<std::uint32_t>::max());
    return false;
  }
  out = static_cast<std::uint32_t>(v);
  return true;
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
    PyErr_Format(input_error, "n_nodes = %zd is negative", n_nodes);
    return false;
  }
  in.n_nodes = static_cast<Index>(n_nodes);
  if (!read_indices(tail, "tail", nodes(in.n_nodes), in.tail) ||
      !read_indices(head, "head", nodes(in.n_nodes), in.head) ||
      !read_floats(freq, "freq", Allowed::kFrequencies, in.freq) ||
      !read_floats(cost, "cost", Allowed::kCosts, in.cost)) {
    return false;
  }
  if (kind != Py_None) {  // None: a finite frequency boards, an infinite one rides
    IndexVec k;
    if (!read_indices(kind, "kind", {lumo::kArcKinds, kind_format().c_str()}, k)) return false;
    in.kind.assign(k.begin(), k.end());
  }
  const std::size_t m = in.tail.size();
  if (in.head.size() != m || in.freq.size() != m || in.cost.size() != m ||
      (kind != Py_None && in.kind.size() != m)) {
    PyErr_SetString(input_error, "tail, head, freq, cost and kind must have one entry per arc");
    return false;
  }
  return true;
}

// The optional minutes of every arc (None: the costs are minutes).
bool read_minutes(PyObject* obj, const ArcInput& in, FloatVec& out) {
  if (obj == nullptr || obj == Py_None) return true;
  if (!read_floats(obj, "minutes", Allowed::kCosts, out)) return false;
  if (out.size() != in.tail.size()) {
    PyErr_SetString(input_error, "minutes must have one entry per arc");
    return false;
  }
  return true;
}

// The demand and the destinations: a Z x Z matrix over the first Z nodes, or
// a tuple (origins, destinations, volumes) kept sparse in `sparse`.
bool read_demand(PyObject* demand, Py_ssize_t n_zones, const ArcInput& in, View& view,
                 lumo::DemandMatrix& dem, lumo::SparseDemand& sparse, PyObject* dsts_obj,
                 IndexVec& dsts) {
  if (n_zones < 0 || static_cast<Index>(n_zones) > in.n_nodes) {
    // (formatted here: the interpreter's formatter takes ASCII formats only)
    char text[200];
    std::snprintf(text, sizeof text,
                  "demand is %zd \u00d7 %zd but the network has only %zu nodes (zones are its "
                  "first nodes)", n_zones, n_zones, static_cast<std::size_t>(in.n_nodes));
    PyErr_SetString(input_error, text);
    return false;
  }
  const bool find = dsts_obj == Py_None;
  if (PyTuple_Check(demand)) {
    if (PyTuple_Size(demand) != 3) {
      PyErr_SetString(PyExc_TypeError, "demand must be a matrix or a triple of arrays");
      return false;
    }
    const Index z = static_cast<Index>(n_zones);
    IndexVec o, d;
    FloatVec v;
    if (!read_indices(PyTuple_GetItem(demand, 0), "demand origins", zones(z), o) ||
        !read_indices(PyTuple_GetItem(demand, 1), "demand destinations", zones(z), d) ||
        !read_floats(PyTuple_GetItem(demand, 2), "demand volumes", Allowed::kCosts, v)) {
      return false;
    }
    if (d.size() != o.size() || v.size() != o.size()) {
      PyErr_SetString(input_error, "demand origins, destinations and volumes must have one "
                                   "entry per trip");
      return false;
    }
    maybe_released(o.size() + z, [&] { sparse = lumo::sparse_demand(o, d, v, z); });
    dem = sparse.view(z);
    if (find) {
      dsts = sparse.destinations();
      return true;
    }
    return read_indices(dsts_obj, "destinations", zones(dem.zones), dsts);
  }
  return view_demand(demand, n_zones, view, dem, find ? &dsts : nullptr) &&
         (find || read_indices(dsts_obj, "destinations", zones(dem.zones), dsts));
}

// ---------------------------------------------------------------------------
// Results

// Sets d[key] = value, taking the reference; false (value released) on failure.
bool put(PyObject* d, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int rc = PyDict_SetItemString(d, key, value);
  Py_DECREF(value);
  return rc == 0;
}

PyObject* optional_buffer(bool present, FloatVec& v, Py_ssize_t rows, Py_ssize_t cols) {
  if (!present) return Py_NewRef(Py_None);
  return make_buffer(std::move(v), rows, cols);
}

// The zone-to-zone results into `d`: flows, cost, total_cost, the components
// (None without them), the per-destination blocks (None without them).
// `columns`: zone matrices Z x D (column k for the k-th destination).
bool put_skim(PyObject* d, lumo::Skim& r, Py_ssize_t z, Py_ssize_t n_dst, Py_ssize_t n,
              Py_ssize_t m, bool per_destination, bool components, bool columns) {
  const Py_ssize_t w = columns ? n_dst : z;
  return put(d, "flows", make_buffer(std::move(r.flows))) &&
         put(d, "cost", make_buffer(std::move(r.cost), z, w)) &&
         put(d, "total_cost", PyFloat_FromDouble(static_cast<double>(r.total_cost))) &&
         put(d, "labels", optional_buffer(per_destination, r.labels, n_dst, n)) &&
         put(d, "dest_flows", optional_buffer(per_destination, r.dest_flows, n_dst, m)) &&
         put(d, "wait", optional_buffer(components, r.wait, z, w)) &&
         put(d, "ride", optional_buffer(components, r.ride, z, w)) &&
         put(d, "walk", optional_buffer(components, r.walk, z, w)) &&
         put(d, "boardings", optional_buffer(components, r.boardings, z, w));
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

PyObject* float_list(const FloatVec& v) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(v.size()));
  for (std::size_t i = 0; list != nullptr && i < v.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(static_cast<double>(v[i]));
    if (item == nullptr) {
      Py_CLEAR(list);
      break;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

// ---------------------------------------------------------------------------
// The functions

const char* const kAssignRequired[] = {"tail", "head", "freq", "cost", "kind", "n_nodes",
                                       "demand", "n_zones", "destinations", "per_destination",
                                       "components", "threads", nullptr};

// With destinations None, the destinations are found (every zone with demand
// towards it) and returned as "destinations"; else that entry is None.
PyObject* py_assign(PyObject*, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {
      const_cast<char*>("tail"), const_cast<char*>("head"), const_cast<char*>("freq"),
      const_cast<char*>("cost"), const_cast<char*>("kind"), const_cast<char*>("n_nodes"),
      const_cast<char*>("demand"), const_cast<char*>("n_zones"),
      const_cast<char*>("destinations"), const_cast<char*>("per_destination"),
      const_cast<char*>("components"), const_cast<char*>("columns"),
      const_cast<char*>("threads"), const_cast<char*>("chunk"), const_cast<char*>("minutes"),
      const_cast<char*>("progress"), nullptr};
  PyObject *tail, *head, *freq, *cost, *kind, *demand, *dsts_obj, *threads_obj;
  PyObject *minutes_obj = nullptr, *progress = nullptr;
  Py_ssize_t n_nodes = 0, n_zones = 0, chunk = 0;
  int per_destination = 0, components = 0, columns = 0;
  if (!require(kwargs, "assign", kAssignRequired) ||
      !PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOOOOnOnOpppOnOO:assign", keywords, &tail,
                                   &head, &freq, &cost, &kind, &n_nodes, &demand, &n_zones,
                                   &dsts_obj, &per_destination, &components, &columns,
                                   &threads_obj, &chunk, &minutes_obj, &progress)) {
    return nullptr;
  }
  try {
    const auto entered = std::chrono::steady_clock::now();
    ArcInput in;
    View demand_view;
    lumo::DemandMatrix dem;
    lumo::SparseDemand sparse;
    IndexVec dsts;
    int threads = 0;
    FloatVec minutes;
    if (!read_network(tail, head, freq, cost, kind, n_nodes, in) ||
        !read_demand(demand, n_zones, in, demand_view, dem, sparse, dsts_obj, dsts) ||
        !read_threads(threads_obj, threads) || !read_minutes(minutes_obj, in, minutes)) {
      return nullptr;
    }
    if (progress == Py_None) progress = nullptr;
    if (progress != nullptr && !PyCallable_Check(progress)) {
      PyErr_SetString(input_error, "progress must be callable (destinations done) or None");
      return nullptr;
    }
    // Read by the waiting thread, which calls `progress` with it now and then.
    std::atomic<std::size_t> done{0};
    const std::function<bool()> tick = [&done, progress]() {
      const auto n = static_cast<Py_ssize_t>(done.load(std::memory_order_relaxed));
      PyObject* value = PyObject_CallFunction(progress, "n", n);
      Py_XDECREF(value);
      return value != nullptr;
    };
    lumo::Skim r;
    lumo::SkimOptions options;
    options.per_destination = per_destination != 0;
    options.components = components != 0;
    options.chunk = chunk > 0 ? static_cast<std::size_t>(chunk) : 0;
    options.columns = columns != 0;
    options.minutes = minutes;
    if (progress != nullptr) options.done = &done;
    const bool quick = quick_work(
        dsts.size(), std::min<std::size_t>(in.n_nodes, dem.zones + 2 * in.tail.size()),
        in.tail.size());
    const std::chrono::duration<double> reading = std::chrono::steady_clock::now() - entered;
    double seconds = 0.0;
    if (!settle(lumo::py::run_released([&](lumo::CancelFlag cancel) {
          const auto began = std::chrono::steady_clock::now();
          options.cancel = cancel;
          // Per-destination work by the nodes used, not the node count.
          const lumo::NodeCompaction nodes =
              lumo::compact_nodes(in.tail, in.head, in.n_nodes, dem.zones);
          lumo::Network net = lumo::prepare_network(in.tail, in.head, in.cost, nodes.n_compact);
          lumo::WorkspacePtr ws = lumo::make_workspace();
          lumo::assign_skim(net, in.freq, in.kind, dem, dsts, options, *ws, r);
          if (options.per_destination) {
            r.labels = lumo::expand_nodes(nodes, std::move(r.labels), dsts.size(),
                                          std::numeric_limits<float>::infinity());
          }
          const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
          seconds = took.count();
        }, quick, threads, progress != nullptr ? &tick : nullptr))) {
      return nullptr;
    }
    compute_seconds = seconds;
    read_seconds = reading.count();
    PyObject* out = PyDict_New();
    if (out == nullptr ||
        !put_skim(out, r, n_zones, static_cast<Py_ssize_t>(dsts.size()), n_nodes,
                  static_cast<Py_ssize_t>(in.tail.size()), options.per_destination,
                  options.components, options.columns) ||
        !put(out, "destinations",
             dsts_obj == Py_None ? index_list(dsts) : Py_NewRef(Py_None))) {
      Py_XDECREF(out);
      return nullptr;
    }
    return out;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

const char* const kCongestedRequired[] = {
    "tail", "head", "freq", "cost", "kind", "n_nodes", "demand", "n_zones", "destinations",
    "capacity", "step", "decay", "step_param", "step_param2", "beta", "tol", "max_iters",
    "progress", "components", "threads", nullptr};

PyObject* py_congested(PyObject*, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {
      const_cast<char*>("tail"), const_cast<char*>("head"), const_cast<char*>("freq"),
      const_cast<char*>("cost"), const_cast<char*>("kind"), const_cast<char*>("n_nodes"),
      const_cast<char*>("demand"), const_cast<char*>("n_zones"),
      const_cast<char*>("destinations"), const_cast<char*>("capacity"),
      const_cast<char*>("step"), const_cast<char*>("decay"), const_cast<char*>("step_param"),
      const_cast<char*>("step_param2"), const_cast<char*>("beta"),
      const_cast<char*>("tol"), const_cast<char*>("max_iters"), const_cast<char*>("progress"),
      const_cast<char*>("components"), const_cast<char*>("columns"),
      const_cast<char*>("threads"), const_cast<char*>("minutes"), nullptr};
  PyObject *tail, *head, *freq, *cost, *kind, *demand, *dsts_obj, *capacity_obj, *iters_obj,
      *progress, *threads_obj, *minutes_obj = nullptr;
  Py_ssize_t n_nodes = 0, n_zones = 0;
  float decay = 0, beta = 0, tol = 0;
  double step_param = 0, step_param2 = 0;
  int rule = 0, components = 0, columns = 0;
  if (!require(kwargs, "congested", kCongestedRequired) ||
      !PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOOOOnOnOOifddffOOppOO:congested", keywords,
                                   &tail, &head, &freq, &cost, &kind, &n_nodes, &demand,
                                   &n_zones, &dsts_obj, &capacity_obj, &rule, &decay,
                                   &step_param, &step_param2, &beta, &tol, &iters_obj, &progress,
                                   &components, &columns, &threads_obj, &minutes_obj)) {
    return nullptr;
  }
  try {
    ArcInput in;
    View demand_view;
    lumo::DemandMatrix dem;
    lumo::SparseDemand sparse;
    IndexVec dsts;
    std::uint32_t max_iters = 0;
    int threads = 0;
    FloatVec minutes;
    if (dsts_obj == Py_None) {
      PyErr_SetString(input_error, "destinations must be given");
      return nullptr;
    }
    FloatVec capacity;
    if (!read_network(tail, head, freq, cost, kind, n_nodes, in) ||
        !read_demand(demand, n_zones, in, demand_view, dem, sparse, dsts_obj, dsts) ||
        !read_max_iters(iters_obj, max_iters) || !read_threads(threads_obj, threads) ||
        !read_floats(capacity_obj, "capacity", Allowed::kFrequencies, capacity) ||
        !read_minutes(minutes_obj, in, minutes)) {
      return nullptr;
    }
    const std::size_t m = in.tail.size(), n_dst = dsts.size();
    if (capacity.size() != 1 && capacity.size() != m) {
      PyErr_Format(input_error, "capacity has %zd entries, the network %zd arcs",
                   static_cast<Py_ssize_t>(capacity.size()), static_cast<Py_ssize_t>(m));
      return nullptr;
    }
    if (rule < 0 || rule >= lumo::kStepRules) {
      PyErr_Format(input_error, "step rule %d is not one of 0 ... %d", rule,
                   lumo::kStepRules - 1);
      return nullptr;
    }
    lumo::StepOptions step;
    step.rule = static_cast<lumo::StepRule>(rule);
    step.alpha = decay;
    step.param = step_param;
    step.param2 = step_param2;
    std::unique_ptr<lumo::ZoneCongestedRun> zone_run;
    const bool quick =
        quick_work(n_dst, std::min<std::size_t>(in.n_nodes, dem.zones + 2 * m), m);
    if (!run(threads, quick, [&](lumo::CancelFlag cancel) {
          const lumo::NodeCompaction nodes =
              lumo::compact_nodes(in.tail, in.head, in.n_nodes, dem.zones);
          zone_run = std::make_unique<lumo::ZoneCongestedRun>(
              in.tail, in.head, in.freq, in.cost, in.kind, nodes.n_compact, dem, dsts, capacity,
              step, beta, tol, max_iters);
          zone_run->run().start(cancel);
        })) {
      return nullptr;
    }
    lumo::CongestedRun& cr = zone_run->run();
    bool stopped = false;
    if (!settle(lumo::py::drive_congested("assign_congested", cr, quick, threads,
                                          progress == Py_None ? nullptr : progress, &stopped))) {
      return nullptr;
    }
    const FloatVec gaps = cr.gaps();
    const FloatVec weights = cr.weights();
    // The frequencies the newest assignment was made with.
    FloatVec effective = cr.effective_freqs().empty() ? in.freq : cr.effective_freqs();
    const bool converged = cr.converged();
    const std::uint32_t iterations = cr.iterations();
    lumo::Skim r;
    if (!run(threads, quick, [&](lumo::CancelFlag cancel) {
          r = zone_run->finish(components != 0, columns != 0, cancel, minutes);
          zone_run.reset();
        })) {
      return nullptr;
    }
    PyObject* out = PyDict_New();
    if (out == nullptr ||
        !put_skim(out, r, n_zones, static_cast<Py_ssize_t>(n_dst), n_nodes,
                  static_cast<Py_ssize_t>(m), false, components != 0, columns != 0) ||
        !put(out, "iterations", PyLong_FromUnsignedLong(iterations)) ||
        !put(out, "gaps", float_list(gaps)) || !put(out, "weights", float_list(weights)) ||
        !put(out, "effective_freq", make_buffer(std::move(effective))) ||
        !put(out, "converged", PyBool_FromLong(converged)) ||
        !put(out, "stopped", PyBool_FromLong(stopped))) {
      Py_XDECREF(out);
      return nullptr;
    }
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
  FloatVec minutes;         // of every arc where costs are perceived, else empty
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
    PyErr_SetString(PyExc_TypeError, "network must come from lumo._arrays.prepare");
    return nullptr;
  }
  return reinterpret_cast<PreparedObject*>(obj)->p;
}

// Parses keyword-only arguments, every one of them required.
template <class... T>
bool keywords(PyObject* args, PyObject* kwargs, const char* function, const char* format,
              const char* const* names, T*... out) {
  std::string spec = std::string("|$") + format + ":" + function;
  return require(kwargs, function, names) &&
         PyArg_ParseTupleAndKeywords(args, kwargs, spec.c_str(), const_cast<char**>(names),
                                     out...);
}

PyObject* prepare_result(std::unique_ptr<Prepared> p) {
  PreparedObject* obj = PyObject_New(PreparedObject, prepared_type);
  if (obj == nullptr) return nullptr;
  obj->p = p.release();
  return reinterpret_cast<PyObject*>(obj);
}

const char* const kPrepareNames[] = {"tail", "head", "freq", "cost", "kind", "n_nodes",
                                     "minutes", nullptr};

// prepare(*, tail, head, freq, cost, kind, n_nodes, minutes) -> Prepared
// `minutes` (None: the costs are minutes) go into the components.
PyObject* py_prepare(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject *tail, *head, *freq, *cost, *kind, *minutes;
  Py_ssize_t n_nodes = 0;
  if (!keywords(args, kwargs, "prepare", "OOOOOnO", kPrepareNames, &tail, &head, &freq, &cost,
                &kind, &n_nodes, &minutes)) {
    return nullptr;
  }
  try {
    auto p = std::make_unique<Prepared>();
    if (!read_network(tail, head, freq, cost, kind, n_nodes, p->in) ||
        !read_minutes(minutes, p->in, p->minutes)) {
      return nullptr;
    }
    if (!run(1, true, [&](lumo::CancelFlag) {
          p->net = lumo::prepare_network(p->in.tail, p->in.head, p->in.cost, p->in.n_nodes);
          p->outgoing = lumo::index_arcs(p->in.tail, p->in.n_nodes);
        })) {
      return nullptr;
    }
    return prepare_result(std::move(p));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

const char* const kCheckNames[] = {"network", "demand", "n_zones", "destinations", nullptr};

// check_demand(*, network, demand, n_zones, destinations) -> {"destinations": found or None}
// The demand checks of assign, made once by the caller before the blocks run;
// with destinations None they are found (every zone with demand towards it).
PyObject* py_check_demand(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject *prep_obj, *demand, *dsts_obj;
  Py_ssize_t n_zones = 0;
  if (!keywords(args, kwargs, "check_demand", "OOnO", kCheckNames, &prep_obj, &demand, &n_zones,
                &dsts_obj)) {
    return nullptr;
  }
  Prepared* p = prepared_of(prep_obj);
  if (p == nullptr) return nullptr;
  try {
    View view;
    lumo::DemandMatrix dem;
    IndexVec dsts;
    lumo::SparseDemand sparse;
    if (!read_demand(demand, n_zones, p->in, view, dem, sparse, dsts_obj, dsts)) return nullptr;
    PyObject* out = PyDict_New();
    if (out == nullptr ||
        !put(out, "destinations", dsts_obj == Py_None ? index_list(dsts) : Py_NewRef(Py_None))) {
      Py_XDECREF(out);
      return nullptr;
    }
    return out;
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

// The demand as sent to the workers, checked by check_demand (only its size
// is checked again), and the block's destinations.
bool block_demand(PyObject* demand, Py_ssize_t n_zones, const Prepared& p, View& view,
                  lumo::DemandMatrix& dem, PyObject* dsts_obj, IndexVec& dsts) {
  if (n_zones < 0 || static_cast<Index>(n_zones) > p.in.n_nodes) {
    PyErr_SetString(input_error, "the demand does not fit the network");
    return false;
  }
  return view_demand(demand, n_zones, view, dem, nullptr, false) &&
         read_indices(dsts_obj, "destinations", zones(dem.zones), dsts);
}

const char* const kBlockNames[] = {"network", "freqs", "demand", "n_zones", "destinations",
                                   "per_destination", "components", "threads", nullptr};

// assign_block(*, network, freqs, demand, n_zones, destinations, per_destination,
//              components, threads)
// -> {dest_flows: D x M, cost: D x Z, partials: D, labels: D x N or None,
//     wait, ride, walk, boardings: D x Z or None}
// Row k of the D x Z results holds the zones' values towards destinations[k].
PyObject* py_assign_block(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject *prep_obj, *freq_obj, *demand, *dsts_obj, *threads_obj;
  Py_ssize_t n_zones = 0;
  int per_destination = 0, components = 0;
  if (!keywords(args, kwargs, "assign_block", "OOOnOppO", kBlockNames, &prep_obj, &freq_obj,
                &demand, &n_zones, &dsts_obj, &per_destination, &components, &threads_obj)) {
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
    int threads = 0;
    if (!block_freqs(freq_obj, *p, own, freqs) ||
        !block_demand(demand, n_zones, *p, demand_view, dem, dsts_obj, dsts) ||
        !read_threads(threads_obj, threads)) {
      return nullptr;
    }
    lumo::Skim r;
    lumo::SkimOptions options;
    options.per_destination = true;
    options.components = components != 0;
    options.by_destination = true;
    options.minutes = p->minutes;
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
    const Py_ssize_t mm = static_cast<Py_ssize_t>(m), nn = static_cast<Py_ssize_t>(n);
    const bool c = components != 0;
    r.partials.resize(dsts.size());
    PyObject* out = PyDict_New();
    if (out == nullptr || !put(out, "dest_flows", make_buffer(std::move(r.dest_flows), d, mm)) ||
        !put(out, "cost", make_buffer(std::move(r.cost), d, n_zones)) ||
        !put(out, "partials", make_buffer(std::move(r.partials))) ||
        !put(out, "labels", optional_buffer(per_destination != 0, r.labels, d, nn)) ||
        !put(out, "wait", optional_buffer(c, r.wait, d, n_zones)) ||
        !put(out, "ride", optional_buffer(c, r.ride, d, n_zones)) ||
        !put(out, "walk", optional_buffer(c, r.walk, d, n_zones)) ||
        !put(out, "boardings", optional_buffer(c, r.boardings, d, n_zones))) {
      Py_XDECREF(out);
      return nullptr;
    }
    return out;
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

const char* const kCongestedBlockNames[] = {"network", "demand", "n_zones", "destinations",
                                            "flows", "freqs", "decay", "msa", "done",
                                            "threads", nullptr};

// congested_block(*, network, demand, n_zones, destinations, flows, freqs, decay, msa, done,
//                 threads) -> {labels: D x N, flows: D x M, num: D, den: D}
// With flows None: the uncongested assignment a run starts from (num and den
// None). Otherwise one iteration of the block: assign with the effective
// frequencies `freqs`, blend the new flows into `flows` with the weight of
// the iteration after `done` ones, and each destination's gap parts.
PyObject* py_congested_block(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject *prep_obj, *demand, *dsts_obj, *flows_obj, *freq_obj, *threads_obj;
  Py_ssize_t n_zones = 0;
  float decay = 0;
  int msa = 0;
  unsigned long done = 0;
  if (!keywords(args, kwargs, "congested_block", "OOnOOOfpkO", kCongestedBlockNames, &prep_obj,
                &demand, &n_zones, &dsts_obj, &flows_obj, &freq_obj, &decay, &msa, &done,
                &threads_obj)) {
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
    int threads = 0;
    if (!block_freqs(freq_obj, *p, own, freqs) ||
        !block_demand(demand, n_zones, *p, demand_view, dem, dsts_obj, dsts) ||
        !read_threads(threads_obj, threads)) {
      return nullptr;
    }
    const Index n = p->in.n_nodes;
    const std::size_t m = p->in.tail.size(), n_dst = dsts.size();
    const bool first = flows_obj == Py_None;
    if (!first && !read_block(flows_obj, "flows", n_dst * m, x)) return nullptr;
    FloatVec labels, y, num(first ? 0 : n_dst), den(first ? 0 : n_dst);
    if (!run(threads, quick_work(n_dst, n, m), [&](lumo::CancelFlag cancel) {
          const FloatVec rows = lumo::demand_rows(dem, dsts, n);
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
    PyObject* out = PyDict_New();
    if (out == nullptr ||
        !put(out, "labels", make_buffer(std::move(labels), d, static_cast<Py_ssize_t>(n))) ||
        !put(out, "flows", make_buffer(std::move(x), d, static_cast<Py_ssize_t>(m))) ||
        !put(out, "num", optional_buffer(!first, num, -1, 0)) ||
        !put(out, "den", optional_buffer(!first, den, -1, 0))) {
      Py_XDECREF(out);
      return nullptr;
    }
    return out;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

const char* const kFinishNames[] = {"network", "demand", "n_zones", "destinations", "labels",
                                    nullptr};

// congested_finish(*, network, demand, n_zones, destinations, labels)
// -> {cost: D x Z, partials: D}
// The zones' costs towards each destination of the block and each one's total
// cost, from the labels of the run's newest assignment.
PyObject* py_congested_finish(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject *prep_obj, *demand, *dsts_obj, *labels_obj;
  Py_ssize_t n_zones = 0;
  if (!keywords(args, kwargs, "congested_finish", "OOnOO", kFinishNames, &prep_obj, &demand,
                &n_zones, &dsts_obj, &labels_obj)) {
    return nullptr;
  }
  Prepared* p = prepared_of(prep_obj);
  if (p == nullptr) return nullptr;
  try {
    View demand_view, labels_view;
    lumo::DemandMatrix dem;
    IndexVec dsts;
    if (!block_demand(demand, n_zones, *p, demand_view, dem, dsts_obj, dsts) ||
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
    const FloatVec rows = lumo::demand_rows(dem, dsts, n);
    for (std::size_t k = 0; k < n_dst; ++k) {
      std::copy(labels + k * n, labels + k * n + z, cost.data() + k * z);
      partials[k] = lumo::total_cost(std::span<const float>(labels + k * n, n),
                                     std::span<const float>(rows.data() + k * n, n), n);
    }
    PyObject* out = PyDict_New();
    if (out == nullptr ||
        !put(out, "cost", make_buffer(std::move(cost), static_cast<Py_ssize_t>(n_dst),
                                      n_zones)) ||
        !put(out, "partials", make_buffer(std::move(partials)))) {
      Py_XDECREF(out);
      return nullptr;
    }
    return out;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

bool float32_view(View& view, PyObject* obj, const char* name) {
  if (!view.open(obj, name)) return false;
  if (view.code() != 'f' || view.itemsize() != 4) {
    PyErr_Format(input_error, "%s must hold float32 values", name);
    return false;
  }
  return true;
}

const char* const kFoldNames[] = {"running", "blocks", nullptr};

// fold(*, running, blocks) -> running + blocks[0] + blocks[1] + ..., row by row in order
PyObject* py_fold(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject *running_obj, *blocks_obj;
  if (!keywords(args, kwargs, "fold", "OO", kFoldNames, &running_obj, &blocks_obj)) {
    return nullptr;
  }
  try {
    View running, blocks;
    if (!float32_view(running, running_obj, "running") ||
        !float32_view(blocks, blocks_obj, "blocks")) {
      return nullptr;
    }
    const std::size_t m = running.size();
    if (m == 0 ? blocks.size() != 0 : blocks.size() % m != 0) {
      PyErr_SetString(input_error, "blocks must be whole rows of as many values as running");
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

const char* const kFoldValuesNames[] = {"running", "values", nullptr};

// fold_values(*, running, values) -> running + values[0] + ..., in order
PyObject* py_fold_values(PyObject*, PyObject* args, PyObject* kwargs) {
  float running = 0;
  PyObject* values_obj;
  if (!keywords(args, kwargs, "fold_values", "fO", kFoldValuesNames, &running, &values_obj)) {
    return nullptr;
  }
  View values;
  if (!float32_view(values, values_obj, "values")) return nullptr;
  const float total = lumo::fold_values(
      running, std::span<const float>(static_cast<const float*>(values.data()), values.size()));
  return PyFloat_FromDouble(static_cast<double>(total));
}

const char* const kStepWeightNames[] = {"step", "decay", "step_param", "step_param2", "gaps",
                                        nullptr};

// step_weight(*, step, decay, step_param, step_param2, gaps) -> the weight of
// the newest assignment in the iteration after `gaps` (float32 values), by
// the core's rule
PyObject* py_step_weight(PyObject*, PyObject* args, PyObject* kwargs) {
  int rule = 0;
  float decay = 0;
  double p1 = 0, p2 = 0;
  PyObject* gaps_obj;
  if (!keywords(args, kwargs, "step_weight", "ifddO", kStepWeightNames, &rule, &decay, &p1, &p2,
                &gaps_obj)) {
    return nullptr;
  }
  if (rule < 0 || rule >= lumo::kStepRules) {
    PyErr_Format(input_error, "step rule %d is not one of 0 ... %d", rule, lumo::kStepRules - 1);
    return nullptr;
  }
  View gaps;
  if (!float32_view(gaps, gaps_obj, "gaps")) return nullptr;
  const std::span<const float> all(static_cast<const float*>(gaps.data()), gaps.size());
  lumo::StepWeights weights(lumo::StepOptions{static_cast<lumo::StepRule>(rule), decay, p1, p2});
  float w = 0;
  for (std::size_t k = 0; k <= all.size(); ++k) w = weights.next(all.first(k));
  return PyFloat_FromDouble(static_cast<double>(w));
}

const char* const kRatioNames[] = {"numerator", "denominator", nullptr};

// ratio(*, numerator, denominator) -> the gap from its two sums, in float32
PyObject* py_ratio(PyObject*, PyObject* args, PyObject* kwargs) {
  float a = 0, b = 0;
  if (!keywords(args, kwargs, "ratio", "ff", kRatioNames, &a, &b)) return nullptr;
  return PyFloat_FromDouble(static_cast<double>(a / b));
}

const char* const kEffectiveNames[] = {"network", "total", "capacity", "beta", "loaded",
                                       nullptr};

// effective_freqs(*, network, total, capacity, beta, loaded) -> M values
// `capacity`: one value for every arc, or one per arc.
PyObject* py_effective_freqs(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject *prep_obj, *total_obj, *capacity_obj;
  float beta = 0;
  int loaded = 0;
  if (!keywords(args, kwargs, "effective_freqs", "OOOfp", kEffectiveNames, &prep_obj, &total_obj,
                &capacity_obj, &beta, &loaded)) {
    return nullptr;
  }
  Prepared* p = prepared_of(prep_obj);
  if (p == nullptr) return nullptr;
  try {
    const std::size_t m = p->in.tail.size();
    FloatVec total, capacity;
    if (!read_block(total_obj, "total", m, total) ||
        !read_floats(capacity_obj, "capacity", Allowed::kFrequencies, capacity)) {
      return nullptr;
    }
    if (capacity.size() != 1 && capacity.size() != m) {
      PyErr_Format(input_error, "capacity has %zd entries, the network %zd arcs",
                   static_cast<Py_ssize_t>(capacity.size()), static_cast<Py_ssize_t>(m));
      return nullptr;
    }
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
    {"assign", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_assign)),
     METH_VARARGS | METH_KEYWORDS,
     "assign(*, tail, head, freq, cost, kind, n_nodes, demand, n_zones, destinations, "
     "per_destination, components, threads, chunk=0, minutes=None, progress=None)\n--\n\nUncongested assignment (see "
     "lumo.arrays); returns a dict."},
    {"congested", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_congested)),
     METH_VARARGS | METH_KEYWORDS,
     "congested(*, tail, head, freq, cost, kind, n_nodes, demand, n_zones, destinations, "
     "capacity, step, decay, step_param, step_param2, beta, tol, max_iters, progress, components, "
     "threads, minutes=None, columns=False)\n--\n\n"
     "Congested assignment (see lumo.arrays); returns a dict."},
    {"prepare", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_prepare)),
     METH_VARARGS | METH_KEYWORDS,
     "prepare(*, tail, head, freq, cost, kind, n_nodes, minutes)\n--\n\nA network read once for block "
     "tasks."},
    {"check_demand", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_check_demand)),
     METH_VARARGS | METH_KEYWORDS,
     "check_demand(*, network, demand, n_zones, destinations)\n--\n\nThe demand checks of assign; returns a dict."},
    {"assign_block", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_assign_block)),
     METH_VARARGS | METH_KEYWORDS,
     "assign_block(*, network, freqs, demand, n_zones, destinations, per_destination, "
     "components, threads)\n--\n\nA block of destinations, each one's results apart; returns a dict."},
    {"congested_block", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_congested_block)),
     METH_VARARGS | METH_KEYWORDS,
     "congested_block(*, network, demand, n_zones, destinations, flows, freqs, decay, "
     "msa, done, threads)\n--\n\nThe start or one iteration of a block of a congested run; returns a dict."},
    {"congested_finish", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_congested_finish)),
     METH_VARARGS | METH_KEYWORDS,
     "congested_finish(*, network, demand, n_zones, destinations, labels)\n--\n\n"
     "Costs and total costs of a block; returns a dict."},
    {"fold", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_fold)),
     METH_VARARGS | METH_KEYWORDS,
     "fold(*, running, blocks)\n--\n\nIn-order sums of rows."},
    {"step_weight", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_step_weight)),
     METH_VARARGS | METH_KEYWORDS,
     "step_weight(*, step, decay, step_param, step_param2, gaps)\n--\n\nThe weight of the next "
     "iteration's assignment."},
    {"fold_values", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_fold_values)),
     METH_VARARGS | METH_KEYWORDS,
     "fold_values(*, running, values)\n--\n\nIn-order sum of values."},
    {"ratio", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_ratio)),
     METH_VARARGS | METH_KEYWORDS,
     "ratio(*, numerator, denominator)\n--\n\nThe quotient in float32."},
    {"effective_freqs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_effective_freqs)),
     METH_VARARGS | METH_KEYWORDS,
     "effective_freqs(*, network, total, capacity, beta, loaded)\n--\n\n"
     "Effective frequencies from total arc flows."},
    {nullptr, nullptr, 0, nullptr},
};

// The float's shortest text read back as a Python float: 0.01, not the
// float32's exact 0.009999999776482582, and it narrows back to the same float.
PyObject* default_float(float v) {
  PyObject* text = PyUnicode_FromString(lumo::float_text(v).c_str());
  if (text == nullptr) return nullptr;
  PyObject* out = PyFloat_FromString(text);
  Py_DECREF(text);
  return out;
}

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
  PyObject* panic = lumo::py::panic_type();
  if (panic == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "Buffer", reinterpret_cast<PyObject*>(buffer_type)) < 0 ||
      PyModule_AddObjectRef(module, "InputError", input_error) < 0 ||
      PyModule_AddObjectRef(module, "PanicException", panic) < 0) {
    return -1;
  }
  // The arc kinds and the congested defaults, owned by the core.
  for (std::uint8_t k = 0; k < lumo::kArcKinds; ++k) {
    if (PyModule_AddIntConstant(module, lumo::kArcKindNames[k], k) < 0) return -1;
  }
  PyObject* defaults = PyDict_New();
  if (defaults == nullptr) return -1;
  if (!put(defaults, "decay", default_float(lumo::kDefaultDecay)) ||
      !put(defaults, "beta", default_float(lumo::kDefaultBeta)) ||
      !put(defaults, "tol", default_float(lumo::kDefaultTol)) ||
      !put(defaults, "max_iters", PyLong_FromUnsignedLong(lumo::kDefaultMaxIters)) ||
      !put(defaults, "step", PyUnicode_FromString(
                                 lumo::kStepRuleNames[static_cast<int>(lumo::kDefaultStep.rule)])) ||
      !put(defaults, "step_params", Py_BuildValue("(dd)", lumo::kDefaultStep.param,
                                                  lumo::kDefaultStep.param2)) ||
      PyModule_AddObjectRef(module, "CONGESTED_DEFAULTS", defaults) < 0) {
    Py_DECREF(defaults);
    return -1;
  }
  Py_DECREF(defaults);
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

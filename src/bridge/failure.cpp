#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030C0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bridge/failure.hpp"

#include <cstdio>
#include <new>
#include <stdexcept>

namespace lumo::py {

namespace {

PyObject* find_panic_type() {
  PyObject* subclasses = PyObject_CallMethod(PyExc_BaseException, "__subclasses__", nullptr);
  if (subclasses == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  PyObject* found = nullptr;
  const Py_ssize_t n = PyList_Size(subclasses);
  for (Py_ssize_t i = 0; i < n && found == nullptr; ++i) {
    PyObject* cls = PyList_GetItem(subclasses, i);  // borrowed
    PyObject* marker = PyObject_GetAttrString(cls, "_lumo_native");
    if (marker == nullptr) {
      PyErr_Clear();
      continue;
    }
    if (marker == Py_True) found = cls;
    Py_DECREF(marker);
  }
  Py_XINCREF(found);
  Py_DECREF(subclasses);
  return found;
}

constexpr const char* kPanicDoc =
    "The exception raised when native code fails inside a computation.\n\n"
    "Like SystemExit, this exception derives from BaseException so that it\n"
    "normally propagates to the top instead of being caught by a handler\n"
    "for Exception.";

}  // namespace

PyObject* panic_type() {
  static PyObject* type = nullptr;  // kept for the life of the process
  if (type != nullptr) return type;
  type = find_panic_type();
  if (type != nullptr) return type;
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  if (PyDict_SetItemString(dict, "_lumo_native", Py_True) < 0) {
    Py_DECREF(dict);
    return nullptr;
  }
  type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, dict);
  Py_DECREF(dict);
  return type;
}

void raise_panic(const std::string& message) {
  PyObject* type = panic_type();
  if (type == nullptr) return;
  PyObject* text = PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size()));
  if (text == nullptr) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

PyObject* raise_failure(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Panic& p) {
    std::fprintf(stderr, "%s panicked at %s:%u:\n%s\n", p.thread.c_str(), p.file, p.line,
                 p.message.c_str());
    std::fflush(stderr);
    raise_panic(p.message);
  } catch (const Cancelled&) {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const OutOfMemory& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    raise_panic(kCapacityOverflow);
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown failure in native code");
  }
  return nullptr;
}

bool settle(const Outcome& outcome) {
  switch (outcome.kind) {
    case Outcome::kDone:
      return true;
    case Outcome::kFailed:
      raise_failure(outcome.failure);
      return false;
    case Outcome::kRaised:
      break;
  }
  return false;
}

}  // namespace lumo::py

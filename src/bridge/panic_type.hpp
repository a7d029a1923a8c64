// The PanicException class, one per process for every extension module of the
// package: whichever module needs it first creates it, the others find it
// among the subclasses of BaseException by a marker in its namespace.
#pragma once

#ifndef Py_LIMITED_API
#error "include Python.h with the limited API first"
#endif

namespace lumo_python {

inline PyObject* find_panic_type() {
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

inline constexpr const char* kPanicDoc =
    "The exception raised when native code fails inside a computation.\n\n"
    "Like SystemExit, this exception derives from BaseException so that it\n"
    "normally propagates to the top instead of being caught by a handler\n"
    "for Exception.";

// The class (held for the life of the process), or nullptr with an error set.
inline PyObject* panic_type() {
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

}  // namespace lumo_python

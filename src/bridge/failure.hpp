// How a failure of the computation reaches Python, the same way from every
// extension module of the package: the PanicException class (one per process,
// whichever module needs it first creates it, the others find it among the
// subclasses of BaseException by a marker in its namespace), and the mapping
// of C++ exceptions onto Python ones. Call everything with the lock held.
#pragma once

#ifndef Py_LIMITED_API
#error "include Python.h with the limited API first"
#endif

#include <exception>
#include <string>

#include "bridge/interrupt.hpp"

namespace lumo::py {

// The class (held for the life of the process), or nullptr with an error set.
PyObject* panic_type();

// Raises PanicException with `message` as its only argument.
void raise_panic(const std::string& message);

// Turns a failure thrown by the computation into the Python exception:
//   lumo::Panic           PanicException with its text, after a report naming
//                         the thread, the source position and the text on stderr
//   lumo::Cancelled       KeyboardInterrupt, unless an exception is already set
//   lumo::OutOfMemory     MemoryError with its text (the size needed)
//   std::bad_alloc        MemoryError
//   std::length_error     PanicException "capacity overflow"
//   other std::exception  PanicException with what()
//   anything else         PanicException "unknown failure in native code"
// Returns nullptr, for `return raise_failure(...)`.
PyObject* raise_failure(std::exception_ptr failure);

// The outcome of run_released settled: true when the computation returned,
// else false with the Python exception set (mapped as above for kFailed).
bool settle(const Outcome& outcome);

}  // namespace lumo::py

// Failed C-API calls become C++ exceptions; the noexcept boundary of each slot or method turns
// them back into a pending Python error (see traced.hpp).
#pragma once

#include <exception>

#include "core/ref.hpp"

namespace tarnwick {

// Thrown when a Python exception is pending. It carries nothing: the exception itself stays
// where CPython keeps it, in the thread state.
struct PythonError final : std::exception {
  const char* what() const noexcept override { return "a Python exception is pending"; }
};

[[noreturn]] inline void ThrowPythonError() { throw PythonError(); }

// A C-API call that returns a new reference, or null with an exception set.
inline OwnedRef Require(PyObject* new_reference) {
  if (new_reference == nullptr) {
    ThrowPythonError();
  }
  return OwnedRef::Steal(new_reference);
}

// A C-API call that returns a borrowed reference, or null with an exception set.
inline BorrowedRef RequireBorrowed(PyObject* borrowed) {
  if (borrowed == nullptr) {
    ThrowPythonError();
  }
  return BorrowedRef(borrowed);
}

// A C-API call that returns a status, negative with an exception set; the status is passed on
// (for calls such as PyObject_IsTrue that answer 0 or 1).
inline int Require(int status) {
  if (status < 0) {
    ThrowPythonError();
  }
  return status;
}

// Raises `type` with `message` and throws.
[[noreturn]] inline void Raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  ThrowPythonError();
}

// True when the pending exception is an instance of `type` (or a subclass).
inline bool PendingErrorIs(PyObject* type) noexcept { return PyErr_ExceptionMatches(type) != 0; }

}  // namespace tarnwick

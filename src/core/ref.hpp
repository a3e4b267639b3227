// References to Python objects.
//
// The rule for every function in this project:
//   * parameters are BorrowedRef: the caller keeps its reference, the callee takes its own if it
//     needs one past the call;
//   * a function that produces a new reference returns OwnedRef; one that hands out a reference
//     owned by someone else returns BorrowedRef and says so in its name (Borrowed..., ...Borrowed);
//   * raw PyObject* appears only at the C-API boundary (slot functions, Require(...)).
// Neither type converts implicitly to PyObject*, so ownership never changes hands by accident.
#pragma once

#include <utility>

#include "core/compat.hpp"

namespace tarnwick {

class BorrowedRef {
 public:
  constexpr BorrowedRef() noexcept = default;
  constexpr explicit BorrowedRef(PyObject* object) noexcept : object_(object) {}

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  bool is(BorrowedRef other) const noexcept { return object_ == other.object_; }

 private:
  PyObject* object_ = nullptr;
};

class OwnedRef {
 public:
  constexpr OwnedRef() noexcept = default;
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(object_); }

  // Takes over a reference the caller owns (a C-API "new reference"); null is allowed.
  static OwnedRef Steal(PyObject* object) noexcept { return OwnedRef(object); }
  // Takes a reference of its own to an object someone else owns.
  static OwnedRef NewReference(BorrowedRef object) noexcept {
    Py_XINCREF(object.get());
    return OwnedRef(object.get());
  }

  PyObject* get() const noexcept { return object_; }
  BorrowedRef borrow() const noexcept { return BorrowedRef(object_); }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  bool is(BorrowedRef other) const noexcept { return object_ == other.get(); }

  // Gives the reference to the caller, who becomes responsible for it.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  OwnedRef copy() const noexcept { return NewReference(borrow()); }
  void reset(PyObject* object = nullptr) noexcept {
    PyObject* old = std::exchange(object_, object);
    Py_XDECREF(old);
  }

 private:
  explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// A reference held in process-wide (static) state. Static destructors run after the interpreter
// has finalised, when touching a reference count is no longer allowed, so this holder never
// releases on destruction: what it holds lives as long as the process. clear() releases early
// while the interpreter is still running (a failed initialisation drops what it recorded).
class ProcessRef {
 public:
  constexpr ProcessRef() noexcept = default;
  ProcessRef(const ProcessRef&) = delete;
  ProcessRef& operator=(const ProcessRef&) = delete;
  ~ProcessRef() = default;  // deliberately leaves the reference alone

  void set(OwnedRef value) noexcept {
    PyObject* old = std::exchange(object_, value.release());
    Py_XDECREF(old);
  }
  void clear() noexcept { set(OwnedRef()); }
  BorrowedRef borrow() const noexcept { return BorrowedRef(object_); }
  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  bool is(BorrowedRef other) const noexcept { return object_ == other.get(); }
  OwnedRef copy() const noexcept { return OwnedRef::NewReference(borrow()); }

 private:
  PyObject* object_ = nullptr;
};

// Borrow(x) gives a BorrowedRef from any holder, so that helpers can take BorrowedRef,
// OwnedRef and ProcessRef alike (`const T&` keeps a temporary alive for the whole call).
inline BorrowedRef Borrow(BorrowedRef object) noexcept { return object; }
inline BorrowedRef Borrow(const OwnedRef& object) noexcept { return object.borrow(); }
inline BorrowedRef Borrow(const ProcessRef& object) noexcept { return object.borrow(); }

}  // namespace tarnwick

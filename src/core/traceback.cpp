#include "core/traceback.hpp"

#include <map>
#include <string>
#include <tuple>
#include <utility>

#include "core/error.hpp"

namespace tarnwick {
namespace {

// An empty code object whose first line is the wanted line: the frame made from it reports that
// line on every version (setting f_lineno does not: it is ignored up to 3.9 and read-only from
// 3.11). One per (function, file, line), kept for the life of the process.
BorrowedRef CodeFor(const char* function, const char* file, int line) {
  // Allocated once and never destroyed: its references must outlive static destruction.
  static auto& cache = *new std::map<std::tuple<std::string, std::string, int>, ProcessRef>();
  auto key = std::make_tuple(std::string(function), std::string(file), line);
  auto found = cache.find(key);
  if (found != cache.end()) {
    return found->second.borrow();
  }
  OwnedRef code = Require(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, function, line)));
  ProcessRef& slot = cache[std::move(key)];
  slot.set(std::move(code));
  return slot.borrow();
}

// Holds the pending exception aside and puts it back when the scope ends: from 3.8 on,
// PyFrame_New fails silently while an exception is pending.
class PendingExceptionAside {
 public:
  PendingExceptionAside() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
  PendingExceptionAside(const PendingExceptionAside&) = delete;
  PendingExceptionAside& operator=(const PendingExceptionAside&) = delete;
  ~PendingExceptionAside() { PyErr_Restore(type_, value_, traceback_); }

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

OwnedRef MakeFrame(const char* function, const char* file, int line, BorrowedRef globals) {
  BorrowedRef code = CodeFor(function, file, line);
  OwnedRef fallback_globals;
  if (!globals) {
    fallback_globals = Require(PyDict_New());
    globals = fallback_globals.borrow();
  }
  return Require(reinterpret_cast<PyObject*>(PyFrame_New(
      PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr)));
}

}  // namespace

void AddTracebackEntry(const char* function, const char* file, int line,
                       BorrowedRef globals) noexcept {
  if (!PyErr_Occurred()) {
    return;
  }
  OwnedRef frame;
  {
    PendingExceptionAside aside;
    try {
      frame = MakeFrame(function, file, line, globals);
    } catch (const PythonError&) {
      PyErr_Clear();  // the entry is lost, the original exception is not
    } catch (const std::exception&) {
      PyErr_Clear();
    }
  }
  if (frame) {
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
  }
}

}  // namespace tarnwick

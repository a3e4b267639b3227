// The noexcept boundary between C++ bodies and the interpreter.
//
// A body runs with a TraceScope naming its traceback entry; before each step it sets the scope's
// current line, the way an interpreted function advances its line number. Whatever leaves the
// body as PythonError (or std::bad_alloc) becomes a pending Python exception with one traceback
// entry at the current line.
#pragma once

#include <new>

#include "core/error.hpp"
#include "core/traceback.hpp"

namespace tarnwick {

struct TraceScope {
  const char* function;  // the name the entry shows, for example "init Tarnwick.version"
  const char* file;      // the file name the entry shows
  int line;              // the line of the step in progress
  BorrowedRef globals;   // the namespace the entry's frame reports
};

// Runs `body` and turns a failure into a pending exception with its traceback entry.
// `body` returns the result as OwnedRef; on failure the boundary returns `on_failure`.
template <typename Result, typename Body>
Result RunTraced(TraceScope& scope, Result on_failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const PythonError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& unexpected) {
    PyErr_SetString(PyExc_SystemError, unexpected.what());
  }
  AddTracebackEntry(scope.function, scope.file, scope.line, scope.globals);
  return on_failure;
}

}  // namespace tarnwick

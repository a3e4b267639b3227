// Method function objects: functions implemented in C++ that look and bind like Python functions.
//
// Each one carries the metadata a Python function has (__name__, __qualname__, __module__,
// __doc__, __defaults__, __kwdefaults__, __globals__, __code__, __annotations__), binds to an
// instance through __get__ like a function, binds its call's arguments to its parameters by the
// rules of positional-or-keyword parameters (binding.hpp), and runs its body with a traceback
// scope named after the method: every exception that leaves the method carries exactly one entry
// for it, at the line of the step that failed.
#pragma once

#include "core/call.hpp"
#include "core/globals.hpp"
#include "core/traced.hpp"

namespace tarnwick {

class MethodCall;
using MethodBody = OwnedRef (*)(MethodCall& call);

// What a method is, fixed at compile time.
struct MethodDefinition {
  const char* name;              // __name__ and co_name, for example "test_anova"
  const char* qualified_name;    // __qualname__, for example "TwoWayAnova.test_anova"
  const char* trace_function;    // the name of its traceback entries
  const char* file;              // co_filename and the file of its traceback entries
  int line;                      // co_firstlineno; binding errors are reported here
  int argument_count;            // number of parameters, self included
  const char* const* variables;  // parameters, then the body's locals; null-terminated
  MethodBody body;
};

// The state of one running method: its bound arguments, its globals and its traceback scope.
// Everything is borrowed: the arguments from the caller and the defaults and globals from the
// method function object, all of which the caller keeps alive until the call returns.
class MethodCall {
 public:
  static constexpr int kMaxArguments = 8;

  MethodCall(const MethodDefinition& definition, BorrowedRef globals) noexcept
      : globals_(globals),
        scope_{definition.trace_function, definition.file, definition.line, globals} {}

  // The value bound to parameter `index` (0 is self).
  BorrowedRef argument(int index) const noexcept { return arguments_[index]; }
  BorrowedRef* arguments() noexcept { return arguments_; }

  // Marks the step in progress: a failure from here on is reported at `line`.
  void Line(int line) noexcept { scope_.line = line; }

  // A module global, looked up now (module namespace, then builtins).
  template <typename Name>
  OwnedRef Global(const Name& name) const {
    return LookupGlobal(globals_, Borrow(name));
  }

  TraceScope& scope() noexcept { return scope_; }

 private:
  BorrowedRef globals_;
  TraceScope scope_;
  BorrowedRef arguments_[kMaxArguments];
};

// for item in iterable: body(item), as a method body runs it: `line` (the for statement's line)
// is the current line while the iterator is made and each next item is fetched.
template <typename Body>
void ForEach(MethodCall& call, int line, BorrowedRef iterable, Body&& body) {
  call.Line(line);
  OwnedRef iterator = Iterate(iterable);
  for (;;) {
    call.Line(line);
    OwnedRef item = NextItem(iterator.borrow());
    if (!item) {
      return;
    }
    body(item.borrow());
  }
}

// The code metadata of `definition`: a code object carrying its name, file, first line,
// parameter count and variable names, so that inspect.signature and tools that read __code__
// see what they would see for the equivalent Python function. It is never run.
OwnedRef NewMethodCode(const MethodDefinition& definition);

// A new method function object. `defaults` is a tuple for the trailing parameters, or empty.
OwnedRef NewMethodFunction(const MethodDefinition& definition, BorrowedRef code,
                           BorrowedRef module_name, BorrowedRef globals, BorrowedRef defaults);

}  // namespace tarnwick

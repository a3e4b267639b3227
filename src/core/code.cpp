// Code metadata of method function objects (declared in method.hpp).
#include "core/call.hpp"
#include "core/method.hpp"

namespace tarnwick {
namespace {

OwnedRef VariableNames(const MethodDefinition& definition) {
  Py_ssize_t count = 0;
  while (definition.variables[count] != nullptr) {
    ++count;
  }
  OwnedRef names = Require(PyTuple_New(count));
  for (Py_ssize_t index = 0; index < count; ++index) {
    PyTuple_SET_ITEM(names.get(), index, NewInternedString(definition.variables[index]).release());
  }
  return names;
}

// A function's code flags: its locals are fast locals in a new namespace.
constexpr int kFunctionFlags = CO_OPTIMIZED | CO_NEWLOCALS;

}  // namespace

OwnedRef NewMethodCode(const MethodDefinition& definition) {
  OwnedRef variables = VariableNames(definition);
  return Require(compat::NewCodeObject(definition.file, definition.name, definition.line,
                                       definition.argument_count, variables.get(), kFunctionFlags));
}

}  // namespace tarnwick

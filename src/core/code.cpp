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
    PyTuple_SET_ITEM(names.get(), index,
                     Require(PyUnicode_InternFromString(definition.variables[index])).release());
  }
  return names;
}

// A function's code flags: its locals are fast locals in a new namespace.
constexpr int kFunctionFlags = CO_OPTIMIZED | CO_NEWLOCALS;

}  // namespace

OwnedRef NewMethodCode(const MethodDefinition& definition) {
  OwnedRef variables = VariableNames(definition);
  const int local_count = static_cast<int>(PyTuple_GET_SIZE(variables.get()));
#if TARNWICK_CODE_HAS_REPLACE
  OwnedRef empty = Require(reinterpret_cast<PyObject*>(
      PyCode_NewEmpty(definition.file, definition.name, definition.line)));
  OwnedRef replace = GetAttr(empty, OwnedRef(Require(PyUnicode_FromString("replace"))));
  OwnedRef argument_count = Require(PyLong_FromLong(definition.argument_count));
  OwnedRef nlocals = Require(PyLong_FromLong(local_count));
  OwnedRef flags = Require(PyLong_FromLong(kFunctionFlags));
  OwnedRef argcount_name = Require(PyUnicode_FromString("co_argcount"));
  OwnedRef nlocals_name = Require(PyUnicode_FromString("co_nlocals"));
  OwnedRef varnames_name = Require(PyUnicode_FromString("co_varnames"));
  OwnedRef flags_name = Require(PyUnicode_FromString("co_flags"));
  return CallWithKeywords(replace.borrow(), {},
                          {{argcount_name.borrow(), argument_count.borrow()},
                           {nlocals_name.borrow(), nlocals.borrow()},
                           {varnames_name.borrow(), variables.borrow()},
                           {flags_name.borrow(), flags.borrow()}});
#else
  OwnedRef empty_bytes = Require(PyBytes_FromStringAndSize(nullptr, 0));
  OwnedRef empty_tuple = Require(PyTuple_New(0));
  OwnedRef file = Require(PyUnicode_FromString(definition.file));
  OwnedRef name = Require(PyUnicode_InternFromString(definition.name));
  return Require(reinterpret_cast<PyObject*>(PyCode_New(
      definition.argument_count, /*kwonlyargcount=*/0, local_count, /*stacksize=*/0, kFunctionFlags,
      empty_bytes.get(), empty_tuple.get(), empty_tuple.get(), variables.get(), empty_tuple.get(),
      empty_tuple.get(), file.get(), name.get(), definition.line, empty_bytes.get())));
#endif
}

}  // namespace tarnwick

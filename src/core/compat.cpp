// What older interpreters lack of the C API declared in compat.hpp.
#include "core/compat.hpp"

#include <array>

#include "core/call.hpp"
#include "core/error.hpp"

namespace tarnwick::compat {
namespace {

#if PY_VERSION_HEX < 0x03080000

// The types made callable by EnableVectorcall, with the offset of each instance's function (a
// static table: each extension module links its own copy of this library).
struct VectorcallType {
  PyTypeObject* type;
  Py_ssize_t offset;
};
std::array<VectorcallType, 4> vectorcall_types{};

// The vectorcall function of `callable`, or null when its type has none.
VectorcallFunction VectorcallOf(PyObject* callable) noexcept {
  PyTypeObject* type = Py_TYPE(callable);
  for (const VectorcallType& entry : vectorcall_types) {
    if (entry.type == type) {
      return *reinterpret_cast<VectorcallFunction*>(reinterpret_cast<char*>(callable) +
                                                    entry.offset);
    }
  }
  return nullptr;
}

// tp_call of those types: the argument tuple's items and the keyword dict's names and values are
// handed on as a vectorcall, borrowed from the tuple and the dict for the duration of the call.
PyObject* CallThroughVectorcall(PyObject* callable, PyObject* arguments,
                                PyObject* keywords) noexcept {
  const VectorcallFunction function = VectorcallOf(callable);
  const Py_ssize_t positional = PyTuple_GET_SIZE(arguments);
  if (keywords == nullptr || PyDict_GET_SIZE(keywords) == 0) {
    return function(callable, &PyTuple_GET_ITEM(arguments, 0), static_cast<std::size_t>(positional),
                    nullptr);
  }
  const Py_ssize_t keyword_count = PyDict_GET_SIZE(keywords);
  OwnedRef names = OwnedRef::Steal(PyTuple_New(keyword_count));
  OwnedRef values = OwnedRef::Steal(PyTuple_New(positional + keyword_count));
  if (!names || !values) {
    return nullptr;
  }
  for (Py_ssize_t index = 0; index < positional; ++index) {
    PyTuple_SET_ITEM(
        values.get(), index,
        OwnedRef::NewReference(BorrowedRef(PyTuple_GET_ITEM(arguments, index))).release());
  }
  Py_ssize_t position = 0;
  Py_ssize_t index = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(keywords, &position, &key, &value)) {
    PyTuple_SET_ITEM(names.get(), index, OwnedRef::NewReference(BorrowedRef(key)).release());
    PyTuple_SET_ITEM(values.get(), positional + index,
                     OwnedRef::NewReference(BorrowedRef(value)).release());
    ++index;
  }
  return function(callable, &PyTuple_GET_ITEM(values.get(), 0),
                  static_cast<std::size_t>(positional), names.get());
}

#endif

#if PY_VERSION_HEX < 0x03090000

// A function found on a type that binds like a plain function.
bool BindsLikeFunction(PyObject* descriptor) noexcept {
  PyTypeObject* type = Py_TYPE(descriptor);
#if PY_VERSION_HEX >= 0x03080000
  const bool method_descriptor = PyType_HasFeature(type, Py_TPFLAGS_METHOD_DESCRIPTOR);
#else
  const bool method_descriptor = type->tp_call == CallThroughVectorcall;
#endif
  return PyFunction_Check(descriptor) || type == &PyMethodDescr_Type || method_descriptor;
}

#endif

}  // namespace

#if PY_VERSION_HEX < 0x03090000

PyObject* Vectorcall(PyObject* callable, PyObject* const* arguments, std::size_t count_and_flags,
                     PyObject* keyword_names) noexcept {
#if PY_VERSION_HEX >= 0x03080000
  return _PyObject_Vectorcall(callable, arguments, count_and_flags, keyword_names);
#else
  const Py_ssize_t positional = PositionalCount(count_and_flags);
  if (PyFunction_Check(callable)) {
    return _PyFunction_FastCallKeywords(callable, arguments, positional, keyword_names);
  }
  if (Py_TYPE(callable)->tp_call == CallThroughVectorcall) {
    return VectorcallOf(callable)(callable, arguments, count_and_flags, keyword_names);
  }
  if (PyMethod_Check(callable) && (count_and_flags & kArgumentsOffset) != 0) {
    // A bound method: its self goes into the slot in front of the arguments for the call.
    PyObject** slot = const_cast<PyObject**>(arguments) - 1;
    PyObject* const saved = *slot;
    *slot = PyMethod_GET_SELF(callable);
    PyObject* result = Vectorcall(PyMethod_GET_FUNCTION(callable), slot,
                                  static_cast<std::size_t>(positional + 1), keyword_names);
    *slot = saved;
    return result;
  }
  return _PyObject_FastCallKeywords(callable, arguments, positional, keyword_names);
#endif
}

PyObject* VectorcallMethod(PyObject* name, PyObject* const* arguments, std::size_t count_and_flags,
                           PyObject* keyword_names) noexcept {
  PyObject* found = nullptr;
  const int unbound = GetMethod(arguments[0], name, &found);
  if (found == nullptr) {
    return nullptr;
  }
  const OwnedRef method = OwnedRef::Steal(found);
  const Py_ssize_t positional = PositionalCount(count_and_flags);
  if (unbound != 0) {
    return Vectorcall(method.get(), arguments, static_cast<std::size_t>(positional), keyword_names);
  }
  return Vectorcall(method.get(), arguments + 1,
                    static_cast<std::size_t>(positional - 1) | kArgumentsOffset, keyword_names);
}

int GetMethod(PyObject* object, PyObject* name, PyObject** method) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  *method = nullptr;
  if (type->tp_getattro != PyObject_GenericGetAttr || !PyUnicode_Check(name) ||
      type->tp_dict == nullptr) {
    *method = PyObject_GetAttr(object, name);
    return 0;
  }
  PyObject* descriptor = _PyType_Lookup(type, name);  // borrowed
  if (descriptor == nullptr || !BindsLikeFunction(descriptor)) {
    *method = PyObject_GetAttr(object, name);
    return 0;
  }
  OwnedRef function = OwnedRef::NewReference(BorrowedRef(descriptor));
  // A function is a non-data descriptor: the instance's own dict comes first.
  PyObject** dict = _PyObject_GetDictPtr(object);
  if (dict != nullptr && *dict != nullptr) {
    const OwnedRef held_dict = OwnedRef::NewReference(BorrowedRef(*dict));
    PyObject* own = PyDict_GetItemWithError(held_dict.get(), name);
    if (own != nullptr) {
      *method = OwnedRef::NewReference(BorrowedRef(own)).release();
      return 0;
    }
    if (PyErr_Occurred()) {
      return 0;
    }
  }
  *method = function.release();
  return 1;
}

#endif

void EnableVectorcall(PyTypeObject& type, Py_ssize_t offset) noexcept {
#if PY_VERSION_HEX >= 0x03080000
#if PY_VERSION_HEX >= 0x03090000
  type.tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
#else
  type.tp_flags |= _Py_TPFLAGS_HAVE_VECTORCALL;
#endif
  type.tp_flags |= Py_TPFLAGS_METHOD_DESCRIPTOR;
  type.tp_vectorcall_offset = offset;
  type.tp_call = PyVectorcall_Call;
#else
  for (VectorcallType& entry : vectorcall_types) {
    if (entry.type == nullptr || entry.type == &type) {
      entry = {&type, offset};
      type.tp_call = CallThroughVectorcall;
      return;
    }
  }
  // More types than the table holds (this project has one): the type is left as it was, and
  // calling its instances fails with TypeError unless it has a tp_call of its own.
#endif
}

PyObject* NewCodeObject(const char* file, const char* name, int first_line, int argument_count,
                        PyObject* variable_names, int flags) noexcept {
  const int local_count = static_cast<int>(PyTuple_GET_SIZE(variable_names));
  try {
#if PY_VERSION_HEX >= 0x03080000
    // PyCode_New's signature changes between versions; an empty code object and its replace()
    // method are stable.
    OwnedRef empty = Require(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, name, first_line)));
    OwnedRef replace = GetAttr(empty, OwnedRef(Require(PyUnicode_FromString("replace"))));
    OwnedRef arguments = Require(PyLong_FromLong(argument_count));
    OwnedRef locals = Require(PyLong_FromLong(local_count));
    OwnedRef flag_value = Require(PyLong_FromLong(flags));
    OwnedRef argcount_name = Require(PyUnicode_FromString("co_argcount"));
    OwnedRef nlocals_name = Require(PyUnicode_FromString("co_nlocals"));
    OwnedRef varnames_name = Require(PyUnicode_FromString("co_varnames"));
    OwnedRef flags_name = Require(PyUnicode_FromString("co_flags"));
    return CallWithKeywords(replace.borrow(), {},
                            {{argcount_name.borrow(), arguments.borrow()},
                             {nlocals_name.borrow(), locals.borrow()},
                             {varnames_name.borrow(), BorrowedRef(variable_names)},
                             {flags_name.borrow(), flag_value.borrow()}})
        .release();
#else
    OwnedRef empty_bytes = Require(PyBytes_FromStringAndSize(nullptr, 0));
    OwnedRef empty_tuple = Require(PyTuple_New(0));
    OwnedRef file_name = Require(PyUnicode_FromString(file));
    OwnedRef function_name = NewInternedString(name);
    return reinterpret_cast<PyObject*>(PyCode_New(
        argument_count, /*kwonlyargcount=*/0, local_count, /*stacksize=*/0, flags,
        empty_bytes.get(), empty_tuple.get(), empty_tuple.get(), variable_names, empty_tuple.get(),
        empty_tuple.get(), file_name.get(), function_name.get(), first_line, empty_bytes.get()));
#endif
  } catch (const PythonError&) {
    return nullptr;
  }
}

}  // namespace tarnwick::compat

// Every switch on the CPython version lives here: the C API this project uses is given one
// spelling, and what an older interpreter lacks is filled in (in compat.cpp), so that the rest of
// the sources read the same on 3.7 and on current interpreters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstddef>

// The module entry point. Python 3.7's PyMODINIT_FUNC does not mark the symbol visible, and the
// modules are built with hidden visibility, so the entry says so itself.
#define TARNWICK_MODULE_ENTRY extern "C" __attribute__((visibility("default"))) PyObject*

namespace tarnwick::compat {

// Identifier of the interpreter running the current thread.
inline int64_t CurrentInterpreterId() noexcept {
  return PyInterpreterState_GetID(PyThreadState_Get()->interp);
}

// --- vectorcall ---------------------------------------------------------------------------------
//
// The vectorcall convention (public from 3.9, provisional in 3.8) calls an object with a C array
// of positional arguments followed by the keyword values, whose names come as a tuple; no
// argument tuple or keyword dict is built. On 3.7 it is filled in below: objects of a type made
// callable with EnableVectorcall are called straight through their function, plain Python
// functions through the interpreter's own fast call, everything else through tp_call.

using VectorcallFunction = PyObject* (*)(PyObject* callable, PyObject* const* arguments,
                                         std::size_t count_and_flags, PyObject* keyword_names);

#if PY_VERSION_HEX >= 0x03080000
// Set in the count when arguments[-1] may be overwritten for the duration of the call, so that a
// bound method can put its self in front of the arguments without copying them.
inline constexpr std::size_t kArgumentsOffset = PY_VECTORCALL_ARGUMENTS_OFFSET;
#else
inline constexpr std::size_t kArgumentsOffset = std::size_t{1} << (8 * sizeof(std::size_t) - 1);
#endif

// The number of positional arguments in a vectorcall count.
inline Py_ssize_t PositionalCount(std::size_t count_and_flags) noexcept {
  return static_cast<Py_ssize_t>(count_and_flags & ~kArgumentsOffset);
}

#if PY_VERSION_HEX >= 0x03090000
inline PyObject* Vectorcall(PyObject* callable, PyObject* const* arguments,
                            std::size_t count_and_flags, PyObject* keyword_names) noexcept {
  return PyObject_Vectorcall(callable, arguments, count_and_flags, keyword_names);
}

// arguments[0].name(arguments[1:]): the method is looked up and called without a bound method
// object in between.
inline PyObject* VectorcallMethod(PyObject* name, PyObject* const* arguments,
                                  std::size_t count_and_flags, PyObject* keyword_names) noexcept {
  return PyObject_VectorcallMethod(name, arguments, count_and_flags, keyword_names);
}

// object.name read the way the interpreter reads a method it is about to call: 1 with *method a
// new reference to a function found on the type (not bound: the caller passes object as its first
// argument), 0 with *method the attribute's value, or 0 with *method null and an exception set.
inline int GetMethod(PyObject* object, PyObject* name, PyObject** method) noexcept {
#if PY_VERSION_HEX < 0x030D0000
  return _PyObject_GetMethod(object, name, method);
#else
  // No longer exported from 3.13: the plain attribute read, which binds the method.
  *method = PyObject_GetAttr(object, name);
  return 0;
#endif
}
#else
PyObject* Vectorcall(PyObject* callable, PyObject* const* arguments, std::size_t count_and_flags,
                     PyObject* keyword_names) noexcept;
PyObject* VectorcallMethod(PyObject* name, PyObject* const* arguments, std::size_t count_and_flags,
                           PyObject* keyword_names) noexcept;
int GetMethod(PyObject* object, PyObject* name, PyObject** method) noexcept;
#endif

// Makes `type` (not yet readied) callable through the vectorcall function each instance stores at
// `offset`, and lets its instances bind to an instance the way functions do: the interpreter and
// GetMethod pass the instance as the first argument instead of making a bound method object.
// `type.tp_descr_get` must bind like a function's.
void EnableVectorcall(PyTypeObject& type, Py_ssize_t offset) noexcept;

// --- code objects -------------------------------------------------------------------------------

// A code object that is never run, carrying the metadata of a function: `name`, `file`,
// `first_line`, the parameter count, the names of its parameters and locals (`variable_names`, a
// tuple of str) and `flags`. Null with an exception set on failure.
PyObject* NewCodeObject(const char* file, const char* name, int first_line, int argument_count,
                        PyObject* variable_names, int flags) noexcept;

}  // namespace tarnwick::compat

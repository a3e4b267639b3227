// Every switch on the CPython version lives here, so that the rest of the sources read the same
// on 3.7 and on current interpreters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

namespace tarnwick::compat {

// Identifier of the interpreter running the current thread.
inline int64_t CurrentInterpreterId() noexcept {
  return PyInterpreterState_GetID(PyThreadState_Get()->interp);
}

}  // namespace tarnwick::compat

// The module entry point. Python 3.7's PyMODINIT_FUNC does not mark the symbol visible, and the
// modules are built with hidden visibility, so the entry says so itself.
#define TARNWICK_MODULE_ENTRY extern "C" __attribute__((visibility("default"))) PyObject*

// Vectorcall (3.8+, public under this name from 3.9) lets a C function object be called and bound
// without building an argument tuple; 3.7 goes through tp_call.
#if PY_VERSION_HEX >= 0x03090000
#define TARNWICK_HAVE_VECTORCALL 1
#else
#define TARNWICK_HAVE_VECTORCALL 0
#endif

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

// Vectorcall (3.8+, public under its final names from 3.9) lets a C function object be called and
// bound without building an argument tuple; 3.7 goes through tp_call.
#if PY_VERSION_HEX >= 0x03080000
#define TARNWICK_HAVE_VECTORCALL 1
#else
#define TARNWICK_HAVE_VECTORCALL 0
#endif

#if PY_VERSION_HEX >= 0x03090000
#define TARNWICK_TPFLAGS_HAVE_VECTORCALL Py_TPFLAGS_HAVE_VECTORCALL
#define TARNWICK_OBJECT_VECTORCALL PyObject_Vectorcall
#elif TARNWICK_HAVE_VECTORCALL
#define TARNWICK_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#define TARNWICK_OBJECT_VECTORCALL _PyObject_Vectorcall
#endif

// Py_TPFLAGS_METHOD_DESCRIPTOR (3.8+) tells the interpreter that a type's tp_descr_get binds like
// a function's, so `instance.method(...)` calls it with the instance first and skips the bound
// method object. 3.7 has no such flag and always binds through tp_descr_get.
#if PY_VERSION_HEX >= 0x03080000
#define TARNWICK_TPFLAGS_METHOD_DESCRIPTOR Py_TPFLAGS_METHOD_DESCRIPTOR
#else
#define TARNWICK_TPFLAGS_METHOD_DESCRIPTOR 0
#endif

// Code objects: 3.7 builds one with a fixed PyCode_New signature; from 3.8 on that signature
// changes between versions, and the stable way is an empty code object and its replace() method.
#if PY_VERSION_HEX >= 0x03080000
#define TARNWICK_CODE_HAS_REPLACE 1
#else
#define TARNWICK_CODE_HAS_REPLACE 0
#endif

// PyObject_VectorcallMethod (3.9+) calls obj.name(...) without making a bound method object.
#if PY_VERSION_HEX >= 0x03090000
#define TARNWICK_HAVE_VECTORCALL_METHOD 1
#else
#define TARNWICK_HAVE_VECTORCALL_METHOD 0
#endif

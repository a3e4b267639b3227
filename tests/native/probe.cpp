// tarnwick_probe: exercises the shared loading procedure and traceback entries from tests.
//
// The module body fails at the line held in sys._tarnwick_probe_fail_line, when that is set, and
// counts its runs in a process-wide counter exposed as `body_runs()`. `raise_with_entry(name,
// file, line)` raises ValueError carrying one traceback entry made by the shared helper.

#include "core/loader.hpp"

namespace {

using tarnwick::BorrowedRef;
using tarnwick::OwnedRef;
using tarnwick::Require;
using tarnwick::TraceScope;

long body_runs = 0;

// The line at which the body should fail, or 0.
long RequestedFailureLine() {
  OwnedRef sys = Require(PyImport_ImportModule("sys"));
  OwnedRef line = OwnedRef::Steal(PyObject_GetAttrString(sys.get(), "_tarnwick_probe_fail_line"));
  if (!line) {
    PyErr_Clear();
    return 0;
  }
  const long value = PyLong_AsLong(line.get());
  if (value == -1 && PyErr_Occurred()) {
    tarnwick::ThrowPythonError();
  }
  return value;
}

void ProbeBody(BorrowedRef module, TraceScope& scope) {
  ++body_runs;
  const long fail_line = RequestedFailureLine();
  for (int line = 1; line <= 3; ++line) {
    scope.line = line;
    if (line == fail_line) {
      tarnwick::Raise(PyExc_ValueError, "probe failure");
    }
  }
  OwnedRef marker = Require(PyUnicode_FromString("ready"));
  Require(PyObject_SetAttrString(module.get(), "state", marker.get()));
}

tarnwick::ModuleLoader loader({"tarnwick_probe", "tarnwick_probe", "tarnwick\\probe",
                               "init tarnwick_probe"},
                              nullptr, ProbeBody);

PyObject* probe_body_runs(PyObject*, PyObject*) { return PyLong_FromLong(body_runs); }

PyObject* probe_raise_with_entry(PyObject*, PyObject* args) {
  const char* function = nullptr;
  const char* file = nullptr;
  int line = 0;
  if (!PyArg_ParseTuple(args, "ssi", &function, &file, &line)) {
    return nullptr;
  }
  PyErr_SetString(PyExc_ValueError, "raised with an entry");
  tarnwick::AddTracebackEntry(function, file, line, BorrowedRef(PyEval_GetGlobals()));
  return nullptr;
}

PyMethodDef probe_functions[] = {
    {"body_runs", probe_body_runs, METH_NOARGS, nullptr},
    {"raise_with_entry", probe_raise_with_entry, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

TARNWICK_MODULE_ENTRY PyInit_tarnwick_probe() {
  return PyModuleDef_Init(tarnwick::LoaderModule<loader>::Definition(probe_functions));
}

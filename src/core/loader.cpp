#include "core/loader.hpp"

#include <cstdio>

namespace tarnwick {

void ModuleLoader::CheckInterpreter() {
  const int64_t current = compat::CurrentInterpreterId();
  if (interpreter_id_ == -1) {
    interpreter_id_ = current;
  } else if (interpreter_id_ != current) {
    Raise(PyExc_ImportError,
          "Interpreter change detected - this module can only be loaded into one interpreter "
          "per process.");
  }
}

OwnedRef ModuleLoader::NewModuleFromSpec(BorrowedRef spec) {
  OwnedRef name = Require(PyObject_GetAttrString(spec.get(), "name"));
  OwnedRef module = Require(PyModule_NewObject(name.get()));
  BorrowedRef module_dict = RequireBorrowed(PyModule_GetDict(module.get()));

  struct Copied {
    const char* from;
    const char* to;
    bool copy_none;
  };
  static constexpr Copied kCopied[] = {
      {"loader", "__loader__", true},
      {"origin", "__file__", true},
      {"parent", "__package__", true},
      {"submodule_search_locations", "__path__", false},
  };
  for (const Copied& attribute : kCopied) {
    OwnedRef value = OwnedRef::Steal(PyObject_GetAttrString(spec.get(), attribute.from));
    if (!value) {
      if (!PendingErrorIs(PyExc_AttributeError)) {
        ThrowPythonError();
      }
      PyErr_Clear();  // a spec without this attribute: nothing to copy
      continue;
    }
    if (value.is(BorrowedRef(Py_None)) && !attribute.copy_none) {
      continue;
    }
    Require(PyDict_SetItemString(module_dict.get(), attribute.to, value.get()));
  }
  return module;
}

PyObject* ModuleLoader::Create(PyObject* spec) noexcept {
  try {
    CheckInterpreter();
    if (module_) {
      return module_.copy().release();
    }
    return NewModuleFromSpec(BorrowedRef(spec)).release();
  } catch (const PythonError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return nullptr;
}

void ModuleLoader::WarnOnVersionMismatch() {
  char built_for[32];
  std::snprintf(built_for, sizeof built_for, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
  // The first three characters of the running version: "3.7" on 3.7, "3.1" on 3.12. Only the
  // major digit and the third character are compared, so a build for 3.12 runs quietly there.
  char running[4] = {0, 0, 0, 0};
  std::snprintf(running, sizeof running, "%s", Py_GetVersion());
  if (built_for[0] != running[0] || built_for[2] != running[2]) {
    Require(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compiletime version %s of module '%.100s' does not match runtime "
                             "version %s",
                             built_for, identity_.full_name, running));
  }
}

void ModuleLoader::RecordAndRegister(BorrowedRef module) {
  module_.set(OwnedRef::NewReference(module));
  BorrowedRef builtins = RequireBorrowed(PyImport_AddModule("builtins"));
  Require(PyObject_SetAttrString(module.get(), "__builtins__", builtins.get()));
  if (prepare_ != nullptr) {
    prepare_(module);
  }
  BorrowedRef sys_modules = RequireBorrowed(PyImport_GetModuleDict());
  OwnedRef key = Require(PyUnicode_FromString(identity_.full_name));
  if (PyDict_GetItemWithError(sys_modules.get(), key.get()) == nullptr) {
    if (PyErr_Occurred()) {
      ThrowPythonError();
    }
    Require(PyDict_SetItem(sys_modules.get(), key.get(), module.get()));
  }
}

int ModuleLoader::Exec(PyObject* module_object) noexcept {
  const BorrowedRef module(module_object);
  if (module_) {
    if (module_.is(module)) {
      return 0;  // the module this process initialised, handed back by a repeated import
    }
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 identity_.short_name);
    return -1;
  }
  try {
    WarnOnVersionMismatch();
  } catch (const PythonError&) {
    return -1;
  }

  // From here on the module is recorded; a failure drops it again so that a later import starts
  // from the beginning, and leaves one traceback entry for the step that failed.
  TraceScope scope{identity_.trace_function, identity_.trace_file, 1,
                   BorrowedRef(PyModule_GetDict(module.get()))};
  const int status = RunTraced(scope, -1, [&]() -> int {
    RecordAndRegister(module);
    if (body_ != nullptr) {
      body_(module, scope);
    }
    return 0;
  });
  if (status != 0) {
    module_.clear();
  }
  return status;
}

}  // namespace tarnwick

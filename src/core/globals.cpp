#include "core/globals.hpp"

namespace tarnwick {
namespace {

ProcessRef builtins_dict;

// dict[name] as a new reference, or an empty OwnedRef when the key is absent.
OwnedRef DictItem(BorrowedRef dict, BorrowedRef name) {
  PyObject* item = PyDict_GetItemWithError(dict.get(), name.get());
  if (item == nullptr && PyErr_Occurred()) {
    ThrowPythonError();
  }
  return OwnedRef::NewReference(BorrowedRef(item));
}

[[noreturn]] void RaiseNameError(BorrowedRef name) {
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
  ThrowPythonError();
}

}  // namespace

BorrowedRef BuiltinsDictBorrowed() {
  if (!builtins_dict) {
    BorrowedRef module = RequireBorrowed(PyImport_AddModule("builtins"));
    BorrowedRef dict = RequireBorrowed(PyModule_GetDict(module.get()));
    builtins_dict.set(OwnedRef::NewReference(dict));
  }
  return builtins_dict.borrow();
}

OwnedRef LookupBuiltin(BorrowedRef name) {
  OwnedRef value = DictItem(BuiltinsDictBorrowed(), name);
  if (!value) {
    RaiseNameError(name);
  }
  return value;
}

OwnedRef LookupGlobal(BorrowedRef globals, BorrowedRef name) {
  OwnedRef value = DictItem(globals, name);
  if (value) {
    return value;
  }
  return LookupBuiltin(name);
}

}  // namespace tarnwick

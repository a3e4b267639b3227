#include "core/import.hpp"

#include "core/call.hpp"

#include <vector>

namespace tarnwick {

OwnedRef ImportModuleTwoTries(BorrowedRef name, BorrowedRef globals, BorrowedRef fromlist) {
  OwnedRef locals = Require(PyDict_New());
  OwnedRef module = OwnedRef::Steal(PyImport_ImportModuleLevelObject(
      name.get(), globals.get(), locals.get(), fromlist.get(), /*level=*/1));
  if (module) {
    return module;
  }
  if (!PendingErrorIs(PyExc_ImportError)) {
    ThrowPythonError();
  }
  PyErr_Clear();  // not inside the package: try the top-level module of that name
  return Require(PyImport_ImportModuleLevelObject(name.get(), globals.get(), locals.get(),
                                                  fromlist.get(), /*level=*/0));
}

void ImportAs(BorrowedRef globals, const char* module_name, const char* as_name) {
  OwnedRef name = Require(PyUnicode_FromString(module_name));
  OwnedRef fromlist = Require(PyList_New(0));
  OwnedRef module = ImportModuleTwoTries(name.borrow(), globals, fromlist.borrow());
  OwnedRef bound_name = NewInternedString(as_name);
  Require(PyDict_SetItem(globals.get(), bound_name.get(), module.get()));
}

void ImportFrom(BorrowedRef globals, const char* module_name,
                std::initializer_list<const char*> names) {
  OwnedRef name = Require(PyUnicode_FromString(module_name));
  std::vector<OwnedRef> imported_names;
  imported_names.reserve(names.size());
  OwnedRef fromlist = Require(PyList_New(0));
  for (const char* imported : names) {
    imported_names.push_back(NewInternedString(imported));
    Require(PyList_Append(fromlist.get(), imported_names.back().get()));
  }
  OwnedRef module = ImportModuleTwoTries(name.borrow(), globals, fromlist.borrow());
  for (const OwnedRef& imported : imported_names) {
    OwnedRef value = OwnedRef::Steal(PyObject_GetAttr(module.get(), imported.get()));
    if (!value) {
      if (!PendingErrorIs(PyExc_AttributeError)) {
        ThrowPythonError();
      }
      PyErr_Clear();
      PyErr_Format(PyExc_ImportError, "cannot import name %S", imported.get());
      ThrowPythonError();
    }
    Require(PyDict_SetItem(globals.get(), imported.get(), value.get()));
  }
}

}  // namespace tarnwick

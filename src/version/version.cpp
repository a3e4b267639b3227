// Tarnwick.version: publishes the package version as __version__.
//
// Sections, in the order a reader needs them: identity, module statements, slots, entry point.

#include "core/loader.hpp"

namespace {

using tarnwick::BorrowedRef;
using tarnwick::InternedString;
using tarnwick::OwnedRef;
using tarnwick::ProcessRef;
using tarnwick::Require;
using tarnwick::TraceScope;

// --- identity -------------------------------------------------------------------------------

constexpr const char kVersion[] = "0.2.9";

// --- module statements ----------------------------------------------------------------------

struct VersionNames {
  ProcessRef version_attribute;  // "__version__"
  ProcessRef test_attribute;     // "__test__"
  ProcessRef version_text;       // "0.2.9"
};
VersionNames names;

void VersionPrepare(BorrowedRef /*module*/) {
  if (!names.version_attribute) {
    names.version_attribute.set(InternedString("__version__"));
    names.test_attribute.set(InternedString("__test__"));
    names.version_text.set(Require(PyUnicode_FromString(kVersion)));
  }
}

void VersionBody(BorrowedRef module, TraceScope& scope) {
  scope.line = 1;
  Require(PyObject_SetAttr(module.get(), names.version_attribute.get(), names.version_text.get()));
  OwnedRef test_dict = Require(PyDict_New());
  Require(PyObject_SetAttr(module.get(), names.test_attribute.get(), test_dict.get()));
}

tarnwick::ModuleLoader loader({"version", "Tarnwick.version", "Tarnwick\\version",
                               "init Tarnwick.version"},
                              VersionPrepare, VersionBody);

// --- slots ----------------------------------------------------------------------------------

PyObject* version_create(PyObject* spec, PyModuleDef* /*definition*/) {
  return loader.Create(spec);
}

int version_exec(PyObject* module) { return loader.Exec(module); }

PyModuleDef_Slot version_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(version_create)},
    {Py_mod_exec, reinterpret_cast<void*>(version_exec)},
    {0, nullptr},
};

PyModuleDef version_definition = [] {
  PyModuleDef definition{};
  definition.m_base = PyModuleDef_HEAD_INIT;
  definition.m_name = "version";
  definition.m_doc = nullptr;
  definition.m_size = 0;
  definition.m_methods = nullptr;
  definition.m_slots = version_slots;
  return definition;
}();

}  // namespace

// --- entry point ----------------------------------------------------------------------------

TARNWICK_MODULE_ENTRY PyInit_version() { return PyModuleDef_Init(&version_definition); }

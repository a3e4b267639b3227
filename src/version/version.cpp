// Tarnwick.version: publishes the package version as __version__.
//
// Sections, in the order a reader needs them: identity, module statements, entry point.

#include "core/call.hpp"
#include "core/loader.hpp"

namespace {

using tarnwick::BorrowedRef;
using tarnwick::OwnedRef;
using tarnwick::ProcessRef;
using tarnwick::Require;
using tarnwick::TraceScope;

// --- identity -------------------------------------------------------------------------------

// The package version, passed in by the build from pyproject.toml.
constexpr const char kVersion[] = TARNWICK_VERSION;

// --- module statements ----------------------------------------------------------------------

struct VersionNames {
  ProcessRef version_attribute;  // "__version__"
  ProcessRef test_attribute;     // "__test__"
  ProcessRef version_text;       // the package version
};
VersionNames names;

void VersionPrepare(BorrowedRef /*module*/) {
  if (!names.version_attribute) {
    names.version_attribute.set(tarnwick::NewInternedString("__version__"));
    names.test_attribute.set(tarnwick::NewInternedString("__test__"));
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

}  // namespace

// --- entry point ----------------------------------------------------------------------------

TARNWICK_MODULE_ENTRY PyInit_version() {
  return PyModuleDef_Init(tarnwick::LoaderModule<loader>::Definition());
}

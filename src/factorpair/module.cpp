// Placeholder until the analysis module lands: an empty module so the tree builds.
#include "core/loader.hpp"

namespace {
PyModuleDef factorpair_definition = [] {
  PyModuleDef definition{};
  definition.m_base = PyModuleDef_HEAD_INIT;
  definition.m_name = "factorpair";
  return definition;
}();
}  // namespace

TARNWICK_MODULE_ENTRY PyInit_factorpair() { return PyModuleDef_Init(&factorpair_definition); }

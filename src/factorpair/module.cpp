// Tarnwick.bi.stats.factorpair: two-way analysis of variance over Spark data frames.
//
// Sections, in the order a reader needs them: identity, module statements, entry point.

#include "core/import.hpp"
#include "core/loader.hpp"
#include "factorpair/methods.hpp"
#include "factorpair/names.hpp"

namespace factorpair {
namespace {

using tarnwick::BorrowedRef;
using tarnwick::OwnedRef;
using tarnwick::Require;
using tarnwick::TraceScope;

// --- module statements ----------------------------------------------------------------------

void FactorpairPrepare(BorrowedRef /*module*/) { MakeNames(); }

void FactorpairBody(BorrowedRef /*module*/, TraceScope& scope) {
  const BorrowedRef globals = scope.globals;
  scope.line = 1;
  HoldRound();
  MakeMethodMetadata();

  scope.line = 1;
  tarnwick::ImportFrom(globals, "builtins", {"range"});
  scope.line = 2;
  tarnwick::ImportFrom(globals, "builtins", {"object"});
  scope.line = 3;
  tarnwick::ImportAs(globals, "pandas", "pd");
  scope.line = 4;
  tarnwick::ImportFrom(globals, "pyspark.sql", {"DataFrame"});
  scope.line = 5;
  tarnwick::ImportFrom(globals, "pyspark.sql.functions", {"mean", "sum", "col", "count"});
  scope.line = 7;
  tarnwick::ImportFrom(globals, "Tarnwick.bi.common", {"DataFrameHelper"});
  scope.line = 8;
  tarnwick::ImportFrom(globals, "Tarnwick.bi.common.decorators", {"accepts"});
  scope.line = 9;
  tarnwick::ImportFrom(globals, "Tarnwick.bi.common.results", {"DFTwoWayAnovaResult"});
  scope.line = 10;
  tarnwick::ImportFrom(globals, "Tarnwick.bi.common.results", {"MeasureAnovaResult"});

  scope.line = 19;
  OwnedRef two_way_anova = MakeTwoWayAnovaClass(globals);
  Require(PyDict_SetItem(globals.get(), names.two_way_anova.get(), two_way_anova.get()));

  scope.line = 1;
  OwnedRef test_dictionary = Require(PyDict_New());
  Require(PyDict_SetItem(globals.get(), names.test_dictionary.get(), test_dictionary.get()));
}

tarnwick::ModuleLoader loader({"factorpair", "Tarnwick.bi.stats.factorpair", kTraceFile,
                               "init Tarnwick.bi.stats.factorpair"},
                              FactorpairPrepare, FactorpairBody);

}  // namespace
}  // namespace factorpair

// --- entry point ----------------------------------------------------------------------------

TARNWICK_MODULE_ENTRY PyInit_factorpair() {
  return PyModuleDef_Init(tarnwick::LoaderModule<factorpair::loader>::Definition());
}

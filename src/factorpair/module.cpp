// Tarnwick.bi.stats.factorpair: two-way analysis of variance over Spark data frames.
//
// Sections, in the order a reader needs them: identity, module statements, entry point.

#include "core/import.hpp"
#include "core/loader.hpp"
#include "factorpair/methods.hpp"
#include "factorpair/names.hpp"
#include "factorpair/source_lines.hpp"

namespace factorpair {
namespace {

using tarnwick::BorrowedRef;
using tarnwick::OwnedRef;
using tarnwick::Require;
using tarnwick::TraceScope;

namespace module_lines = source_lines::module;

// --- module statements ----------------------------------------------------------------------

void FactorpairPrepare(BorrowedRef /*module*/) { MakeNames(); }

void FactorpairBody(BorrowedRef /*module*/, TraceScope& scope) {
  const BorrowedRef globals = scope.globals;
  scope.line = module_lines::kRange;
  HoldRound();
  MakeMethodMetadata();

  scope.line = module_lines::kRange;
  tarnwick::ImportFrom(globals, "builtins", {"range"});
  scope.line = module_lines::kObject;
  tarnwick::ImportFrom(globals, "builtins", {"object"});
  scope.line = module_lines::kPd;
  tarnwick::ImportAs(globals, "pandas", "pd");
  scope.line = module_lines::kDataFrame;
  tarnwick::ImportFrom(globals, "pyspark.sql", {"DataFrame"});
  scope.line = module_lines::kMean;
  tarnwick::ImportFrom(globals, "pyspark.sql.functions", {"mean", "sum", "col", "count"});
  scope.line = module_lines::kDataFrameHelper;
  tarnwick::ImportFrom(globals, "Tarnwick.bi.common", {"DataFrameHelper"});
  scope.line = module_lines::kAccepts;
  tarnwick::ImportFrom(globals, "Tarnwick.bi.common.decorators", {"accepts"});
  scope.line = module_lines::kDFTwoWayAnovaResult;
  tarnwick::ImportFrom(globals, "Tarnwick.bi.common.results", {"DFTwoWayAnovaResult"});
  scope.line = module_lines::kMeasureAnovaResult;
  tarnwick::ImportFrom(globals, "Tarnwick.bi.common.results", {"MeasureAnovaResult"});

  scope.line = module_lines::kTwoWayAnova;
  OwnedRef two_way_anova = MakeTwoWayAnovaClass(globals);
  Require(PyDict_SetItem(globals.get(), names.two_way_anova.get(), two_way_anova.get()));

  scope.line = module_lines::kTest;
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

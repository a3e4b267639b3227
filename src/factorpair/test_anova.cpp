// TwoWayAnova.test_anova(self, measure, dimension): the level table of one dimension.
#include "core/call.hpp"
#include "factorpair/group_table.hpp"
#include "factorpair/methods.hpp"
#include "factorpair/names.hpp"

namespace factorpair {
namespace {

using tarnwick::BorrowedRef;
using tarnwick::MethodCall;
using tarnwick::OwnedRef;

// The line of the def statement, and the number of parameters (self included).
constexpr int kDefinitionLine = 57;
constexpr int kParameterCount = 3;

constexpr const char* kVariables[] = {"self", "measure", "dimension", "var", nullptr};

OwnedRef TestAnova(MethodCall& call) {
  const BorrowedRef self = call.argument(0);
  const BorrowedRef measure = call.argument(1);
  const BorrowedRef dimension = call.argument(2);

  // var = self._data_frame.groupby(dimension).agg(count(col(measure)), mean(col(measure)))
  //       .collect()
  call.Line(58);
  OwnedRef var = CollectCountsAndMeans(call, self, measure, dimension);

  // var = pd.DataFrame(var, columns=['levels', 'counts', 'means'])
  call.Line(59);
  var = NewTable(
      call, var.borrow(),
      {names.levels_column.borrow(), names.counts_column.borrow(), names.means_column.borrow()});

  // var['total'] = var.means * var.counts
  call.Line(60);
  AddTotalColumn(var.borrow());

  // var['var3'] = var.counts * var.means * var.means
  call.Line(61);
  AddSquareColumn(var.borrow(), names.var3_column.borrow());

  // self._anova_result.set_OneWayAnovaResult(dimension, var)
  call.Line(62);
  {
    OwnedRef record = GetAttr(self, names.anova_result_attribute);
    CallMethod(record, names.set_one_way_result, dimension, var);
  }
  return tarnwick::NewNone();
}

}  // namespace

const tarnwick::MethodDefinition kTestAnovaMethod = {
    "test_anova",
    "TwoWayAnova.test_anova",
    "Tarnwick.bi.stats.factorpair.TwoWayAnova.test_anova",
    kTraceFile,
    kDefinitionLine,
    kParameterCount,
    kVariables,
    TestAnova};

}  // namespace factorpair

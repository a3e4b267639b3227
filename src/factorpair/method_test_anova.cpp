// TwoWayAnova.test_anova(self, measure, dimension): the level table of one dimension.
#include "core/call.hpp"
#include "factorpair/group_table.hpp"
#include "factorpair/methods.hpp"
#include "factorpair/names.hpp"
#include "factorpair/source_lines.hpp"

namespace factorpair {
namespace {

using tarnwick::BorrowedRef;
using tarnwick::MethodCall;
using tarnwick::OwnedRef;

namespace lines = source_lines::test_anova;

// The number of parameters, self included.
constexpr int kParameterCount = 3;

constexpr const char* kVariables[] = {"self", "measure", "dimension", "var", nullptr};

OwnedRef TestAnova(MethodCall& call) {
  const BorrowedRef self = call.argument(0);
  const BorrowedRef measure = call.argument(1);
  const BorrowedRef dimension = call.argument(2);

  // var = self._data_frame.groupby(dimension).agg(count(col(measure)), mean(col(measure)))
  //       .collect()
  call.Line(lines::kAggregate);
  OwnedRef var = CollectCountsAndMeans(call, self, measure, dimension);

  // var = pd.DataFrame(var, columns=['levels', 'counts', 'means'])
  call.Line(lines::kTable);
  var = NewTable(
      call, var.borrow(),
      {names.levels_column.borrow(), names.counts_column.borrow(), names.means_column.borrow()});

  // var['total'] = var.means * var.counts
  call.Line(lines::kTotal);
  AddTotalColumn(var.borrow());

  // var['var3'] = var.counts * var.means * var.means
  call.Line(lines::kSquare);
  AddSquareColumn(var.borrow(), names.var3_column.borrow());

  // self._anova_result.set_OneWayAnovaResult(dimension, var)
  call.Line(lines::kRecord);
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
    lines::kDefinition,
    kParameterCount,
    kVariables,
    TestAnova};

}  // namespace factorpair

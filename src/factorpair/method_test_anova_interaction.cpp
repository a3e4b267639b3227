// TwoWayAnova.test_anova_interaction(self, measure, dimension1, dimension2): the cell table of a
// pair of dimensions.
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

namespace lines = source_lines::test_anova_interaction;

// The number of parameters, self included.
constexpr int kParameterCount = 4;

constexpr const char* kVariables[] = {"self",       "measure", "dimension1",
                                      "dimension2", "var",     nullptr};

OwnedRef TestAnovaInteraction(MethodCall& call) {
  const BorrowedRef self = call.argument(0);
  const BorrowedRef measure = call.argument(1);
  const BorrowedRef dimension1 = call.argument(2);
  const BorrowedRef dimension2 = call.argument(3);

  // var = self._data_frame.groupby(dimension1, dimension2)
  //       .agg(count(col(measure)), mean(col(measure))).collect()
  call.Line(lines::kAggregate);
  OwnedRef var = CollectCountsAndMeans(call, self, measure, dimension1, dimension2);

  // var = pd.DataFrame(var, columns=['level1', 'level2', 'counts', 'means'])
  call.Line(lines::kTable);
  var = NewTable(call, var.borrow(),
                 {names.level1_column.borrow(), names.level2_column.borrow(),
                  names.counts_column.borrow(), names.means_column.borrow()});

  // var['total'] = var.means * var.counts
  call.Line(lines::kTotal);
  AddTotalColumn(var.borrow());

  // var['var5'] = var.counts * var.means * var.means
  call.Line(lines::kSquare);
  AddSquareColumn(var.borrow(), names.var5_column.borrow());

  // self._anova_result.set_TwoWayAnovaResult(dimension1, dimension2, var)
  call.Line(lines::kRecord);
  {
    OwnedRef record = GetAttr(self, names.anova_result_attribute);
    CallMethod(record, names.set_two_way_result, dimension1, dimension2, var);
  }
  return tarnwick::NewNone();
}

}  // namespace

const tarnwick::MethodDefinition kTestAnovaInteractionMethod = {
    "test_anova_interaction",
    "TwoWayAnova.test_anova_interaction",
    "Tarnwick.bi.stats.factorpair.TwoWayAnova.test_anova_interaction",
    kTraceFile,
    lines::kDefinition,
    kParameterCount,
    kVariables,
    TestAnovaInteraction};

}  // namespace factorpair

// TwoWayAnova.test_anova_interaction(self, measure, dimension1, dimension2): the cell table of a
// pair of dimensions.
#include "core/call.hpp"
#include "factorpair/methods.hpp"
#include "factorpair/names.hpp"

namespace factorpair {
namespace {

using tarnwick::BorrowedRef;
using tarnwick::MethodCall;
using tarnwick::OwnedRef;

constexpr const char* kVariables[] = {"self",       "measure", "dimension1",
                                      "dimension2", "var",     nullptr};

OwnedRef TestAnovaInteraction(MethodCall& call) {
  const BorrowedRef self = call.argument(0);
  const BorrowedRef measure = call.argument(1);
  const BorrowedRef dimension1 = call.argument(2);
  const BorrowedRef dimension2 = call.argument(3);

  // var = self._data_frame.groupby(dimension1, dimension2)
  //       .agg(count(col(measure)), mean(col(measure))).collect()
  call.Line(72);
  OwnedRef var;
  {
    OwnedRef data_frame = GetAttr(self, names.data_frame_attribute);
    OwnedRef grouped = CallMethod(data_frame, names.groupby, dimension1, dimension2);
    OwnedRef agg = GetAttr(grouped, names.agg);
    OwnedRef count = call.Global(names.count);
    OwnedRef col = call.Global(names.col);
    OwnedRef count_column = Call(col, measure);
    OwnedRef count_aggregate = Call(count, count_column);
    OwnedRef mean = call.Global(names.mean);
    col = call.Global(names.col);
    OwnedRef mean_column = Call(col, measure);
    OwnedRef mean_aggregate = Call(mean, mean_column);
    OwnedRef aggregated = Call(agg, count_aggregate, mean_aggregate);
    var = CallMethod(aggregated, names.collect);
  }

  // var = pd.DataFrame(var, columns=['level1', 'level2', 'counts', 'means'])
  call.Line(73);
  {
    OwnedRef pd = call.Global(names.pd);
    OwnedRef constructor = GetAttr(pd, names.data_frame_class);
    OwnedRef columns =
        tarnwick::NewList({names.level1_column.borrow(), names.level2_column.borrow(),
                           names.counts_column.borrow(), names.means_column.borrow()});
    var = CallWithKeywords(constructor.borrow(), {var.borrow()},
                           {{names.columns_keyword.borrow(), columns.borrow()}});
  }

  // var['total'] = var.means * var.counts
  call.Line(74);
  {
    OwnedRef means = GetAttr(var, names.means_column);
    OwnedRef counts = GetAttr(var, names.counts_column);
    OwnedRef total = Multiply(means, counts);
    SetItem(var, names.total_column, total);
  }

  // var['var5'] = var.counts * var.means * var.means
  call.Line(75);
  {
    OwnedRef counts = GetAttr(var, names.counts_column);
    OwnedRef means = GetAttr(var, names.means_column);
    OwnedRef product = Multiply(counts, means);
    means = GetAttr(var, names.means_column);
    OwnedRef var5 = Multiply(product, means);
    SetItem(var, names.var5_column, var5);
  }

  // self._anova_result.set_TwoWayAnovaResult(dimension1, dimension2, var)
  call.Line(76);
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
    71,
    4,
    kVariables,
    TestAnovaInteraction};

}  // namespace factorpair

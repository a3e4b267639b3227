// TwoWayAnova.test_anova(self, measure, dimension): the level table of one dimension.
#include "core/call.hpp"
#include "factorpair/methods.hpp"
#include "factorpair/names.hpp"

namespace factorpair {
namespace {

using tarnwick::BorrowedRef;
using tarnwick::MethodCall;
using tarnwick::OwnedRef;

constexpr const char* kVariables[] = {"self", "measure", "dimension", "var", nullptr};

OwnedRef TestAnova(MethodCall& call) {
  const BorrowedRef self = call.argument(0);
  const BorrowedRef measure = call.argument(1);
  const BorrowedRef dimension = call.argument(2);

  // var = self._data_frame.groupby(dimension).agg(count(col(measure)), mean(col(measure)))
  //       .collect()
  call.Line(58);
  OwnedRef var;
  {
    OwnedRef data_frame = GetAttr(self, names.data_frame_attribute);
    OwnedRef grouped = CallMethod(data_frame, names.groupby, dimension);
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

  // var = pd.DataFrame(var, columns=['levels', 'counts', 'means'])
  call.Line(59);
  {
    OwnedRef pd = call.Global(names.pd);
    OwnedRef constructor = GetAttr(pd, names.data_frame_class);
    OwnedRef columns = tarnwick::NewList(
        {names.levels_column.borrow(), names.counts_column.borrow(), names.means_column.borrow()});
    var = CallWithKeywords(constructor.borrow(), {var.borrow()},
                           {{names.columns_keyword.borrow(), columns.borrow()}});
  }

  // var['total'] = var.means * var.counts
  call.Line(60);
  {
    OwnedRef means = GetAttr(var, names.means_column);
    OwnedRef counts = GetAttr(var, names.counts_column);
    OwnedRef total = Multiply(means, counts);
    SetItem(var, names.total_column, total);
  }

  // var['var3'] = var.counts * var.means * var.means
  call.Line(61);
  {
    OwnedRef counts = GetAttr(var, names.counts_column);
    OwnedRef means = GetAttr(var, names.means_column);
    OwnedRef product = Multiply(counts, means);
    means = GetAttr(var, names.means_column);
    OwnedRef var3 = Multiply(product, means);
    SetItem(var, names.var3_column, var3);
  }

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
    57,
    3,
    kVariables,
    TestAnova};

}  // namespace factorpair

// TwoWayAnova.test_all(self, measure_columns=None, dimension_columns=None, max_num_levels=40):
// every measure against every dimension within the level bound, and every pair of them.
#include "core/call.hpp"
#include "factorpair/methods.hpp"
#include "factorpair/names.hpp"
#include "factorpair/source_lines.hpp"

namespace factorpair {
namespace {

using tarnwick::BorrowedRef;
using tarnwick::MethodCall;
using tarnwick::OwnedRef;
using tarnwick::Require;

namespace lines = source_lines::test_all;

// The number of parameters, self included.
constexpr int kParameterCount = 4;

constexpr const char* kVariables[] = {"self",
                                      "measure_columns",
                                      "dimension_columns",
                                      "max_num_levels",
                                      "measures",
                                      "dimensions",
                                      "DF_Anova_Result",
                                      "dimensions_to_test",
                                      "m",
                                      "var",
                                      "dim",
                                      nullptr};

// The one-row aggregation of measure `m`:
// self._data_frame.select(col(m).alias('x'), (col(m) ** 2).alias('x2'))
//     .agg(count(col('x')), mean(col('x')), sum(col('x2'))).collect()
OwnedRef AggregateMeasure(MethodCall& call, BorrowedRef self, BorrowedRef m) {
  OwnedRef data_frame = GetAttr(self, names.data_frame_attribute);
  tarnwick::LoadedMethod select = LoadMethod(data_frame, names.select);
  OwnedRef col = call.Global(names.col);
  OwnedRef x_column = Call(col, m);
  OwnedRef x = CallMethod(x_column, names.alias, names.x_column);
  col = call.Global(names.col);
  OwnedRef measure_column = Call(col, m);
  OwnedRef squared = Power(measure_column, names.two);
  OwnedRef x2 = CallMethod(squared, names.alias, names.x2_column);
  OwnedRef selected = Call(select, x, x2);

  tarnwick::LoadedMethod agg = LoadMethod(selected, names.agg);
  OwnedRef count = call.Global(names.count);
  col = call.Global(names.col);
  OwnedRef count_aggregate = Call(count, OwnedRef(Call(col, names.x_column)));
  OwnedRef mean = call.Global(names.mean);
  col = call.Global(names.col);
  OwnedRef mean_aggregate = Call(mean, OwnedRef(Call(col, names.x_column)));
  OwnedRef sum = call.Global(names.sum);
  col = call.Global(names.col);
  OwnedRef sum_aggregate = Call(sum, OwnedRef(Call(col, names.x2_column)));
  OwnedRef aggregated = Call(agg, count_aggregate, mean_aggregate, sum_aggregate);
  return CallMethod(aggregated, names.collect);
}

OwnedRef TestAll(MethodCall& call) {
  const BorrowedRef self = call.argument(0);
  const BorrowedRef measure_columns = call.argument(1);
  const BorrowedRef dimension_columns = call.argument(2);
  OwnedRef max_num_levels = OwnedRef::NewReference(call.argument(3));
  const BorrowedRef none(Py_None);

  // measures = self._measure_columns if measure_columns is None else measure_columns
  OwnedRef measures;
  if (measure_columns.is(none)) {
    call.Line(lines::kMeasures);
    measures = GetAttr(self, names.measure_columns_attribute);
  } else {
    measures = OwnedRef::NewReference(measure_columns);
  }

  // dimensions = self._dimension_columns if dimension_columns is None else dimension_columns
  OwnedRef dimensions;
  if (dimension_columns.is(none)) {
    call.Line(lines::kDimensions);
    dimensions = GetAttr(self, names.dimension_columns_attribute);
  } else {
    dimensions = OwnedRef::NewReference(dimension_columns);
  }

  // max_num_levels = min(round(self._dataframe_helper.get_num_rows() ** 0.35), max_num_levels),
  // the argument winning a tie
  call.Line(lines::kBound);
  {
    OwnedRef helper = GetAttr(self, names.dataframe_helper_attribute);
    OwnedRef row_count = CallMethod(helper, names.get_num_rows);
    OwnedRef powered = Power(row_count, names.level_exponent);
    OwnedRef rounded = Call(method_state.round, powered);
    if (Compare(rounded, max_num_levels, Py_LT)) {
      max_num_levels = std::move(rounded);
    }
  }

  // DF_Anova_Result = DFTwoWayAnovaResult()
  call.Line(lines::kCollection);
  OwnedRef df_anova_result = Call(OwnedRef(call.Global(names.result_collection_class)));

  // dimensions_to_test = [dim for dim in dimensions
  //                       if self._dataframe_helper.get_num_unique_values(dim) <= max_num_levels]
  call.Line(lines::kFilter);
  OwnedRef dimensions_to_test = Require(PyList_New(0));
  ForEach(call, lines::kFilter, dimensions.borrow(), [&](BorrowedRef dim) {
    OwnedRef helper = GetAttr(self, names.dataframe_helper_attribute);
    OwnedRef level_count = CallMethod(helper, names.get_num_unique_values, dim);
    if (Compare(level_count, max_num_levels, Py_LE)) {
      Require(PyList_Append(dimensions_to_test.get(), dim.get()));
    }
  });

  // for m in measures:
  ForEach(call, lines::kLoop, measures.borrow(), [&](BorrowedRef m) {
    call.Line(lines::kAggregate);
    OwnedRef var = AggregateMeasure(call, self, m);

    // self._anova_result = MeasureAnovaResult(var[0])
    call.Line(lines::kRecord);
    {
      OwnedRef record_class = call.Global(names.result_record_class);
      OwnedRef measure_row = GetItem(var, names.zero);
      OwnedRef record = Call(record_class, measure_row);
      SetAttr(self, names.anova_result_attribute, record);
    }

    // self.test_against(m, dimensions_to_test)
    call.Line(lines::kAgainst);
    CallMethod(self, names.test_against, m, dimensions_to_test);

    // DF_Anova_Result.add_measure_result(m, self._anova_result)
    call.Line(lines::kAdd);
    {
      tarnwick::LoadedMethod add_measure_result =
          LoadMethod(df_anova_result, names.add_measure_result);
      OwnedRef record = GetAttr(self, names.anova_result_attribute);
      Call(add_measure_result, m, record);
    }
  });
  return df_anova_result;
}

}  // namespace

const tarnwick::MethodDefinition kTestAllMethod = {
    "test_all",
    "TwoWayAnova.test_all",
    "Tarnwick.bi.stats.factorpair.TwoWayAnova.test_all",
    kTraceFile,
    lines::kDefinition,
    kParameterCount,
    kVariables,
    TestAll};

}  // namespace factorpair

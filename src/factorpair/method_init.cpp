// TwoWayAnova.__init__(self, data_frame, df_helper)
#include "core/call.hpp"
#include "factorpair/methods.hpp"
#include "factorpair/names.hpp"
#include "factorpair/source_lines.hpp"

namespace factorpair {
namespace {

using tarnwick::BorrowedRef;
using tarnwick::MethodCall;
using tarnwick::OwnedRef;

namespace lines = source_lines::init;

// The number of parameters, self included.
constexpr int kParameterCount = 3;

constexpr const char* kVariables[] = {"self", "data_frame", "df_helper", nullptr};

OwnedRef Init(MethodCall& call) {
  const BorrowedRef self = call.argument(0);
  const BorrowedRef data_frame = call.argument(1);
  const BorrowedRef df_helper = call.argument(2);

  // self._data_frame = data_frame
  call.Line(lines::kFrame);
  SetAttr(self, names.data_frame_attribute, data_frame);

  // self._dataframe_helper = df_helper
  call.Line(lines::kHelper);
  SetAttr(self, names.dataframe_helper_attribute, df_helper);

  // self._measure_columns = self._dataframe_helper.get_numeric_columns()
  call.Line(lines::kMeasures);
  {
    OwnedRef helper = GetAttr(self, names.dataframe_helper_attribute);
    OwnedRef numeric_columns = CallMethod(helper, names.get_numeric_columns);
    SetAttr(self, names.measure_columns_attribute, numeric_columns);
  }

  // self._dimension_columns = self._dataframe_helper.get_string_columns()
  call.Line(lines::kDimensions);
  {
    OwnedRef helper = GetAttr(self, names.dataframe_helper_attribute);
    OwnedRef string_columns = CallMethod(helper, names.get_string_columns);
    SetAttr(self, names.dimension_columns_attribute, string_columns);
  }

  // self._df = self._dataframe_helper.get_num_rows()
  call.Line(lines::kRows);
  {
    OwnedRef helper = GetAttr(self, names.dataframe_helper_attribute);
    OwnedRef row_count = CallMethod(helper, names.get_num_rows);
    SetAttr(self, names.df_attribute, row_count);
  }

  // self._mean = {}
  call.Line(lines::kMean);
  {
    OwnedRef mean = tarnwick::Require(PyDict_New());
    SetAttr(self, names.mean_attribute, mean);
  }
  return tarnwick::NewNone();
}

}  // namespace

const tarnwick::MethodDefinition kInitMethod = {"__init__",
                                                "TwoWayAnova.__init__",
                                                "Tarnwick.bi.stats.factorpair.TwoWayAnova.__init__",
                                                kTraceFile,
                                                lines::kDefinition,
                                                kParameterCount,
                                                kVariables,
                                                Init};

}  // namespace factorpair

// The names, texts and numbers the module uses, made once per process when the module is first
// initialised and kept for the life of the process.
#pragma once

#include "core/ref.hpp"

// X(member, text): interned strings (attribute names, global names, keywords, column names).
#define FACTORPAIR_NAMES(X)                            \
  /* analyser attributes */                            \
  X(data_frame_attribute, "_data_frame")               \
  X(dataframe_helper_attribute, "_dataframe_helper")   \
  X(measure_columns_attribute, "_measure_columns")     \
  X(dimension_columns_attribute, "_dimension_columns") \
  X(df_attribute, "_df")                               \
  X(mean_attribute, "_mean")                           \
  X(anova_result_attribute, "_anova_result")           \
  /* helper, Spark, pandas and result operations */    \
  X(get_numeric_columns, "get_numeric_columns")        \
  X(get_string_columns, "get_string_columns")          \
  X(get_num_rows, "get_num_rows")                      \
  X(get_num_unique_values, "get_num_unique_values")    \
  X(groupby, "groupby")                                \
  X(agg, "agg")                                        \
  X(collect, "collect")                                \
  X(select, "select")                                  \
  X(alias, "alias")                                    \
  X(set_one_way_result, "set_OneWayAnovaResult")       \
  X(set_two_way_result, "set_TwoWayAnovaResult")       \
  X(add_measure_result, "add_measure_result")          \
  X(init_method, "__init__")                           \
  X(test_all, "test_all")                              \
  X(test_against, "test_against")                      \
  X(test_anova, "test_anova")                          \
  X(test_anova_interaction, "test_anova_interaction")  \
  /* module globals */                                 \
  X(col, "col")                                        \
  X(count, "count")                                    \
  X(mean, "mean")                                      \
  X(sum, "sum")                                        \
  X(pd, "pd")                                          \
  X(range, "range")                                    \
  X(object, "object")                                  \
  X(accepts, "accepts")                                \
  X(data_frame_class, "DataFrame")                     \
  X(result_collection_class, "DFTwoWayAnovaResult")    \
  X(result_record_class, "MeasureAnovaResult")         \
  X(round, "round")                                    \
  X(two_way_anova, "TwoWayAnova")                      \
  X(test_dictionary, "__test__")                       \
  /* keywords */                                       \
  X(columns_keyword, "columns")                        \
  X(measure_columns_keyword, "measure_columns")        \
  X(dimension_columns_keyword, "dimension_columns")    \
  X(max_num_levels_keyword, "max_num_levels")          \
  /* column names */                                   \
  X(x_column, "x")                                     \
  X(x2_column, "x2")                                   \
  X(levels_column, "levels")                           \
  X(level1_column, "level1")                           \
  X(level2_column, "level2")                           \
  X(counts_column, "counts")                           \
  X(means_column, "means")                             \
  X(total_column, "total")                             \
  X(var3_column, "var3")                               \
  X(var5_column, "var5")                               \
  /* class statement */                                \
  X(module_key, "__module__")                          \
  X(qualname_key, "__qualname__")                      \
  X(doc_key, "__doc__")                                \
  X(prepare_attribute, "__prepare__")                  \
  X(metaclass_key, "__metaclass__")                    \
  X(module_name, "Tarnwick.bi.stats.factorpair")

namespace factorpair {

struct Names {
#define FACTORPAIR_DECLARE_NAME(member, text) tarnwick::ProcessRef member;
  FACTORPAIR_NAMES(FACTORPAIR_DECLARE_NAME)
#undef FACTORPAIR_DECLARE_NAME

  // Numbers: 0.35 (the exponent of the level bound), 0, 1, 2 and 40.
  tarnwick::ProcessRef level_exponent;
  tarnwick::ProcessRef zero;
  tarnwick::ProcessRef one;
  tarnwick::ProcessRef two;
  tarnwick::ProcessRef forty;
  // ("columns",): the keyword names of the table constructor's call.
  tarnwick::ProcessRef columns_keyword_names;
  // The class documentation.
  tarnwick::ProcessRef class_doc;
};

extern Names names;

// Makes every name and number once; later calls do nothing.
void MakeNames();

}  // namespace factorpair

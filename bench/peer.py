"""The analyser's five methods as plain interpreted Python: the benchmarks' comparison peer.

Every method makes the same calls on the same collaborators, with the same arguments and in the
same order, as ``Tarnwick.bi.stats.factorpair.TwoWayAnova``.  The collaborators are this
module's globals and are looked up at each use, so a benchmark can rebind them (``pd``, ``col``,
``count``, ``mean``, ``sum``, the two result classes) exactly as it rebinds the extension
module's.  ``accepts`` and ``DataFrame`` are used when the class is built, as in the extension
module; a benchmark that wants fakes for them puts fake modules into ``sys.modules`` before it
imports this one.

Argument-binding errors are Python's own here (their messages differ from the extension
module's); the benchmarks time successful calls only.
"""
from builtins import object, range

import pandas as pd
from pyspark.sql import DataFrame
from pyspark.sql.functions import col, count, mean, sum  # noqa: A004 - Spark's aggregate

from Tarnwick.bi.common.decorators import accepts
from Tarnwick.bi.common.results import DFTwoWayAnovaResult, MeasureAnovaResult

# The extension module binds the built-in round once at import; so does the peer.
_round = round


class TwoWayAnova(object):
    """
        var1 = n*mean2
        var2 = sum(x2)
        var5 = n*mean2 for each group(a,b)
        var3 = n*mean2 for each group a

    """

    @accepts(object, DataFrame)
    def __init__(self, data_frame, df_helper):
        self._data_frame = data_frame
        self._dataframe_helper = df_helper
        self._measure_columns = self._dataframe_helper.get_numeric_columns()
        self._dimension_columns = self._dataframe_helper.get_string_columns()
        self._df = self._dataframe_helper.get_num_rows()
        self._mean = {}

    @accepts(
        object,
        measure_columns=(list, tuple),
        dimension_columns=(list, tuple),
        max_num_levels=int,
    )
    def test_all(self, measure_columns=None, dimension_columns=None, max_num_levels=40):
        measures = measure_columns
        if measure_columns is None:
            measures = self._measure_columns
        dimensions = dimension_columns
        if dimension_columns is None:
            dimensions = self._dimension_columns
        max_num_levels = min(max_num_levels, _round(self._dataframe_helper.get_num_rows() ** 0.35))
        DF_Anova_Result = DFTwoWayAnovaResult()
        dimensions_to_test = [
            dim
            for dim in dimensions
            if self._dataframe_helper.get_num_unique_values(dim) <= max_num_levels
        ]
        for m in measures:
            var = (
                self._data_frame.select(col(m).alias("x"), (col(m) ** 2).alias("x2"))
                .agg(count(col("x")), mean(col("x")), sum(col("x2")))
                .collect()
            )
            self._anova_result = MeasureAnovaResult(var[0])
            self.test_against(m, dimensions_to_test)
            DF_Anova_Result.add_measure_result(m, self._anova_result)
        return DF_Anova_Result

    def test_anova(self, measure, dimension):
        var = (
            self._data_frame.groupby(dimension)
            .agg(count(col(measure)), mean(col(measure)))
            .collect()
        )
        var = pd.DataFrame(var, columns=["levels", "counts", "means"])
        var["total"] = var.means * var.counts
        var["var3"] = var.counts * var.means * var.means
        self._anova_result.set_OneWayAnovaResult(dimension, var)

    def test_against(self, measure, dimensions):
        for dimension in dimensions:
            self.test_anova(measure, dimension)
        for i in range(0, len(dimensions) - 1):
            for j in range(i + 1, len(dimensions)):
                self.test_anova_interaction(measure, dimensions[i], dimensions[j])

    def test_anova_interaction(self, measure, dimension1, dimension2):
        var = (
            self._data_frame.groupby(dimension1, dimension2)
            .agg(count(col(measure)), mean(col(measure)))
            .collect()
        )
        var = pd.DataFrame(var, columns=["level1", "level2", "counts", "means"])
        var["total"] = var.means * var.counts
        var["var5"] = var.counts * var.means * var.means
        self._anova_result.set_TwoWayAnovaResult(dimension1, dimension2, var)

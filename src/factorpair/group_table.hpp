// The steps test_anova and test_anova_interaction share: one grouped aggregation of a measure's
// count and mean, its rows as a pandas table, and the two product columns. The calling method sets
// the traceback line before each step; these helpers only perform it.
#pragma once

#include "core/call.hpp"
#include "core/method.hpp"
#include "factorpair/names.hpp"

#include <initializer_list>

namespace factorpair {

// self._data_frame.groupby(*keys).agg(count(col(measure)), mean(col(measure))).collect()
template <typename... Keys>
tarnwick::OwnedRef CollectCountsAndMeans(tarnwick::MethodCall& call, tarnwick::BorrowedRef self,
                                         tarnwick::BorrowedRef measure, const Keys&... keys) {
  using tarnwick::Call;
  using tarnwick::OwnedRef;
  OwnedRef data_frame = GetAttr(self, names.data_frame_attribute);
  OwnedRef grouped = CallMethod(data_frame, names.groupby, keys...);
  tarnwick::LoadedMethod agg = LoadMethod(grouped, names.agg);
  OwnedRef count = call.Global(names.count);
  OwnedRef col = call.Global(names.col);
  OwnedRef count_aggregate = Call(count, Call(col, measure));
  OwnedRef mean = call.Global(names.mean);
  col = call.Global(names.col);
  OwnedRef mean_aggregate = Call(mean, Call(col, measure));
  OwnedRef aggregated = Call(agg, count_aggregate, mean_aggregate);
  return CallMethod(aggregated, names.collect);
}

// pd.DataFrame(rows, columns=[*columns])
tarnwick::OwnedRef NewTable(tarnwick::MethodCall& call, tarnwick::BorrowedRef rows,
                            std::initializer_list<tarnwick::BorrowedRef> columns);

// table['total'] = table.means * table.counts
void AddTotalColumn(tarnwick::BorrowedRef table);

// table[name] = table.counts * table.means * table.means, multiplied left to right
void AddSquareColumn(tarnwick::BorrowedRef table, tarnwick::BorrowedRef name);

}  // namespace factorpair

#include "factorpair/group_table.hpp"

namespace factorpair {

using tarnwick::BorrowedRef;
using tarnwick::OwnedRef;

OwnedRef NewTable(tarnwick::MethodCall& call, BorrowedRef rows,
                  std::initializer_list<BorrowedRef> columns) {
  OwnedRef pd = call.Global(names.pd);
  OwnedRef constructor = GetAttr(pd, names.data_frame_class);
  OwnedRef column_list = tarnwick::NewList(columns);
  return tarnwick::CallWithKeywordNames(constructor, names.columns_keyword_names.borrow(), rows,
                                        column_list);
}

void AddTotalColumn(BorrowedRef table) {
  OwnedRef means = GetAttr(table, names.means_column);
  OwnedRef counts = GetAttr(table, names.counts_column);
  OwnedRef total = Multiply(means, counts);
  SetItem(table, names.total_column, total);
}

void AddSquareColumn(BorrowedRef table, BorrowedRef name) {
  OwnedRef counts = GetAttr(table, names.counts_column);
  OwnedRef means = GetAttr(table, names.means_column);
  OwnedRef product = Multiply(counts, means);
  means = GetAttr(table, names.means_column);
  OwnedRef square = Multiply(product, means);
  SetItem(table, name, square);
}

}  // namespace factorpair

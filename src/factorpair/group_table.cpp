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

namespace {

// table[key] = value, with the table referenced as often as the interpreter references it while
// it runs the same statement (the local variable and the operand on its stack). pandas counts
// the references to the frame to detect chained assignment, and with one reference fewer it
// warns that this assignment updates a copy.
void SetColumn(BorrowedRef table, BorrowedRef key, const OwnedRef& value) {
  OwnedRef operand = OwnedRef::NewReference(table);
  SetItem(operand, key, value);
}

}  // namespace

void AddTotalColumn(BorrowedRef table) {
  OwnedRef means = GetAttr(table, names.means_column);
  OwnedRef counts = GetAttr(table, names.counts_column);
  OwnedRef total = Multiply(means, counts);
  SetColumn(table, names.total_column.borrow(), total);
}

void AddSquareColumn(BorrowedRef table, BorrowedRef name) {
  OwnedRef counts = GetAttr(table, names.counts_column);
  OwnedRef means = GetAttr(table, names.means_column);
  OwnedRef product = Multiply(counts, means);
  means = GetAttr(table, names.means_column);
  OwnedRef square = Multiply(product, means);
  SetColumn(table, name, square);
}

}  // namespace factorpair

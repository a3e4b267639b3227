#include "core/call.hpp"

#include <vector>

namespace tarnwick {

OwnedRef CallWithKeywords(BorrowedRef callable, std::initializer_list<BorrowedRef> positional,
                          std::initializer_list<Keyword> keywords) {
  std::vector<PyObject*> arguments;
  arguments.reserve(1 + positional.size() + keywords.size());
  arguments.push_back(nullptr);  // the slot in front of the arguments
  for (BorrowedRef argument : positional) {
    arguments.push_back(argument.get());
  }
  OwnedRef names = Require(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
  Py_ssize_t index = 0;
  for (const Keyword& keyword : keywords) {
    PyTuple_SET_ITEM(names.get(), index++, OwnedRef::NewReference(keyword.name).release());
    arguments.push_back(keyword.value.get());
  }
  return Require(compat::Vectorcall(callable.get(), arguments.data() + 1,
                                    positional.size() | compat::kArgumentsOffset, names.get()));
}

OwnedRef NextItem(BorrowedRef iterator) {
  OwnedRef item = OwnedRef::Steal(PyIter_Next(iterator.get()));
  if (!item && PyErr_Occurred()) {
    ThrowPythonError();
  }
  return item;
}

Py_ssize_t Length(BorrowedRef object) {
  const Py_ssize_t length = PyObject_Size(object.get());
  if (length < 0) {
    ThrowPythonError();
  }
  return length;
}

namespace {

// A new list or tuple holding `items`: `make` creates it, `store` fills a slot with a new
// reference.
template <typename Make, typename Store>
OwnedRef NewSequence(std::initializer_list<BorrowedRef> items, Make make, Store store) {
  OwnedRef sequence = Require(make(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t index = 0;
  for (BorrowedRef item : items) {
    store(sequence.get(), index++, OwnedRef::NewReference(item).release());
  }
  return sequence;
}

}  // namespace

OwnedRef NewList(std::initializer_list<BorrowedRef> items) {
  return NewSequence(items, PyList_New, [](PyObject* list, Py_ssize_t index, PyObject* item) {
    PyList_SET_ITEM(list, index, item);
  });
}

OwnedRef NewTuple(std::initializer_list<BorrowedRef> items) {
  return NewSequence(items, PyTuple_New, [](PyObject* tuple, Py_ssize_t index, PyObject* item) {
    PyTuple_SET_ITEM(tuple, index, item);
  });
}

}  // namespace tarnwick

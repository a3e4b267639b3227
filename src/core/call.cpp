#include "core/call.hpp"

namespace tarnwick {

OwnedRef CallArray(BorrowedRef callable, PyObject* const* arguments, std::size_t count) {
#if TARNWICK_HAVE_VECTORCALL
  return Require(TARNWICK_OBJECT_VECTORCALL(callable.get(), arguments, count, nullptr));
#else
  OwnedRef tuple = Require(PyTuple_New(static_cast<Py_ssize_t>(count)));
  for (std::size_t index = 0; index < count; ++index) {
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(index),
                     OwnedRef::NewReference(BorrowedRef(arguments[index])).release());
  }
  return Require(PyObject_Call(callable.get(), tuple.get(), nullptr));
#endif
}

OwnedRef CallWithKeywords(BorrowedRef callable, std::initializer_list<BorrowedRef> positional,
                          std::initializer_list<Keyword> keywords) {
  OwnedRef arguments = NewTuple(positional);
  // A dict keeps insertion order, and the callee receives its keywords in that order.
  OwnedRef keyword_arguments = Require(PyDict_New());
  for (const Keyword& keyword : keywords) {
    Require(PyDict_SetItem(keyword_arguments.get(), keyword.name.get(), keyword.value.get()));
  }
  return Require(PyObject_Call(callable.get(), arguments.get(), keyword_arguments.get()));
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

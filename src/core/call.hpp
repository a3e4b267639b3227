// Small helpers for the operations a method body performs on Python objects: attribute reads and
// writes, calls with positional and keyword arguments, item access and arithmetic. Each one is a
// single step of the equivalent Python expression and throws PythonError when it fails, so a body
// reads as a list of its steps. Arguments are evaluated by the caller, in the caller's order.
#pragma once

#include "core/error.hpp"

#include <cstddef>
#include <initializer_list>

namespace tarnwick {

// Calls `callable` with `count` positional arguments and no keywords.
OwnedRef CallArray(BorrowedRef callable, PyObject* const* arguments, std::size_t count);

// One keyword argument of a call; the call passes them on in the order given.
struct Keyword {
  BorrowedRef name;
  BorrowedRef value;
};

// Calls `callable` with positional arguments and keyword arguments, keywords in the order given.
OwnedRef CallWithKeywords(BorrowedRef callable, std::initializer_list<BorrowedRef> positional,
                          std::initializer_list<Keyword> keywords);

// callable(arguments...)
template <typename Callable, typename... Arguments>
OwnedRef Call(const Callable& callable, const Arguments&... arguments) {
#if TARNWICK_HAVE_VECTORCALL
  // The leading slot lets a bound method put its self in front of the arguments without copying
  // them (PY_VECTORCALL_ARGUMENTS_OFFSET).
  PyObject* array[] = {nullptr, Borrow(arguments).get()...};
  return Require(TARNWICK_OBJECT_VECTORCALL(Borrow(callable).get(), array + 1,
                                            sizeof...(Arguments) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                            nullptr));
#else
  PyObject* const array[] = {Borrow(arguments).get()..., nullptr};
  return CallArray(Borrow(callable), array, sizeof...(Arguments));
#endif
}

// object.name(arguments...): the attribute is read first, then called.
template <typename Object, typename Name, typename... Arguments>
OwnedRef CallMethod(const Object& object, const Name& name, const Arguments&... arguments);

// object.name
template <typename Object, typename Name>
OwnedRef GetAttr(const Object& object, const Name& name) {
  return Require(PyObject_GetAttr(Borrow(object).get(), Borrow(name).get()));
}

template <typename Object, typename Name, typename... Arguments>
OwnedRef CallMethod(const Object& object, const Name& name, const Arguments&... arguments) {
#if TARNWICK_HAVE_VECTORCALL_METHOD
  // The same attribute lookup and call, without a bound method object in between.
  PyObject* array[] = {Borrow(object).get(), Borrow(arguments).get()...};
  return Require(
      PyObject_VectorcallMethod(Borrow(name).get(), array, 1 + sizeof...(Arguments), nullptr));
#else
  OwnedRef method = GetAttr(object, name);
  return Call(method, arguments...);
#endif
}

// object.name = value
template <typename Object, typename Name, typename Value>
void SetAttr(const Object& object, const Name& name, const Value& value) {
  Require(PyObject_SetAttr(Borrow(object).get(), Borrow(name).get(), Borrow(value).get()));
}

// object[key]
template <typename Object, typename Key>
OwnedRef GetItem(const Object& object, const Key& key) {
  return Require(PyObject_GetItem(Borrow(object).get(), Borrow(key).get()));
}

// object[key] = value
template <typename Object, typename Key, typename Value>
void SetItem(const Object& object, const Key& key, const Value& value) {
  Require(PyObject_SetItem(Borrow(object).get(), Borrow(key).get(), Borrow(value).get()));
}

// left * right
template <typename Left, typename Right>
OwnedRef Multiply(const Left& left, const Right& right) {
  return Require(PyNumber_Multiply(Borrow(left).get(), Borrow(right).get()));
}

// left + right
template <typename Left, typename Right>
OwnedRef Add(const Left& left, const Right& right) {
  return Require(PyNumber_Add(Borrow(left).get(), Borrow(right).get()));
}

// base ** exponent
template <typename Base, typename Exponent>
OwnedRef Power(const Base& base, const Exponent& exponent) {
  return Require(PyNumber_Power(Borrow(base).get(), Borrow(exponent).get(), Py_None));
}

// left < right, left <= right, ... as a C++ bool (`comparison` is Py_LT, Py_LE, ...).
template <typename Left, typename Right>
bool Compare(const Left& left, const Right& right, int comparison) {
  return Require(PyObject_RichCompareBool(Borrow(left).get(), Borrow(right).get(), comparison)) !=
         0;
}

// iter(object)
template <typename Object>
OwnedRef Iterate(const Object& object) {
  return Require(PyObject_GetIter(Borrow(object).get()));
}

// The next item of `iterator`, or an empty OwnedRef when it is exhausted.
OwnedRef NextItem(BorrowedRef iterator);

// len(object)
Py_ssize_t Length(BorrowedRef object);

// A new reference to None, the result of a method that returns nothing.
inline OwnedRef NewNone() { return OwnedRef::NewReference(BorrowedRef(Py_None)); }

// A new list holding the given items.
OwnedRef NewList(std::initializer_list<BorrowedRef> items);

// A new tuple holding the given items.
OwnedRef NewTuple(std::initializer_list<BorrowedRef> items);

}  // namespace tarnwick

// Small helpers for the operations a method body performs on Python objects: attribute reads and
// writes, calls with positional and keyword arguments, item access and arithmetic. Each one is a
// single step of the equivalent Python expression and throws PythonError when it fails, so a body
// reads as a list of its steps. Arguments are evaluated by the caller, in the caller's order.
#pragma once

#include "core/error.hpp"

#include <cstddef>
#include <initializer_list>
#include <utility>

namespace tarnwick {

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
  // The leading slot lets a bound method put its self in front of the arguments without copying
  // them.
  PyObject* array[] = {nullptr, Borrow(arguments).get()...};
  return Require(compat::Vectorcall(Borrow(callable).get(), array + 1,
                                    sizeof...(Arguments) | compat::kArgumentsOffset, nullptr));
}

// callable(arguments...) where the last len(keyword_names) arguments are passed by keyword, under
// the names in the tuple `keyword_names`, in its order.
template <typename Callable, typename... Arguments>
OwnedRef CallWithKeywordNames(const Callable& callable, BorrowedRef keyword_names,
                              const Arguments&... arguments) {
  PyObject* array[] = {nullptr, Borrow(arguments).get()...};
  const std::size_t positional =
      sizeof...(Arguments) - static_cast<std::size_t>(PyTuple_GET_SIZE(keyword_names.get()));
  return Require(compat::Vectorcall(Borrow(callable).get(), array + 1,
                                    positional | compat::kArgumentsOffset, keyword_names.get()));
}

// object.name, through the type's slot directly, as PyObject_GetAttr does after its checks. The
// names this project passes are interned str objects already; PyObject_SetAttr would intern them
// again on every write, so SetAttr calls the slot directly too.
template <typename Object, typename Name>
OwnedRef GetAttr(const Object& object, const Name& name) {
  PyObject* const target = Borrow(object).get();
  PyObject* const key = Borrow(name).get();
  const getattrofunc slot = Py_TYPE(target)->tp_getattro;
  if (slot != nullptr && PyUnicode_CheckExact(key)) {
    return Require(slot(target, key));
  }
  return Require(PyObject_GetAttr(target, key));
}

// object.name(arguments...): the attribute is looked up when the arguments are already evaluated,
// as the interpreter does for a method call, and a function found on the object's type is called
// with the object in front of the arguments, without a bound method object in between.
template <typename Object, typename Name, typename... Arguments>
OwnedRef CallMethod(const Object& object, const Name& name, const Arguments&... arguments) {
  // The leading slot is for the onward call when the attribute turns out to be bound already.
  PyObject* array[] = {nullptr, Borrow(object).get(), Borrow(arguments).get()...};
  return Require(compat::VectorcallMethod(Borrow(name).get(), array + 1,
                                          (1 + sizeof...(Arguments)) | compat::kArgumentsOffset,
                                          nullptr));
}

// A method read off an object before its arguments are evaluated, as `object.name` in
// `object.name(arguments...)`: a function found on the object's type is kept unbound beside the
// object, so that calling it makes no bound method object.
class LoadedMethod {
 public:
  LoadedMethod(OwnedRef callable, OwnedRef self) noexcept
      : callable_(std::move(callable)), self_(std::move(self)) {}

  BorrowedRef callable() const noexcept { return callable_.borrow(); }
  // The object to pass as the first argument, or empty when the callable is already bound.
  BorrowedRef self() const noexcept { return self_.borrow(); }

 private:
  OwnedRef callable_;
  OwnedRef self_;
};

// object.name, read as the callee of a call that follows.
template <typename Object, typename Name>
LoadedMethod LoadMethod(const Object& object, const Name& name) {
  PyObject* found = nullptr;
  const int unbound = compat::GetMethod(Borrow(object).get(), Borrow(name).get(), &found);
  OwnedRef callable = Require(found);
  return LoadedMethod(std::move(callable),
                      unbound != 0 ? OwnedRef::NewReference(Borrow(object)) : OwnedRef());
}

// method(arguments...) for a method read by LoadMethod.
template <typename... Arguments>
OwnedRef Call(const LoadedMethod& method, const Arguments&... arguments) {
  PyObject* array[] = {method.self().get(), Borrow(arguments).get()...};
  if (method.self()) {
    return Require(
        compat::Vectorcall(method.callable().get(), array, 1 + sizeof...(Arguments), nullptr));
  }
  return Require(compat::Vectorcall(method.callable().get(), array + 1,
                                    sizeof...(Arguments) | compat::kArgumentsOffset, nullptr));
}

// object.name = value (the type's slot called directly, as in GetAttr)
template <typename Object, typename Name, typename Value>
void SetAttr(const Object& object, const Name& name, const Value& value) {
  PyObject* const target = Borrow(object).get();
  PyObject* const key = Borrow(name).get();
  const setattrofunc slot = Py_TYPE(target)->tp_setattro;
  if (slot != nullptr && PyUnicode_CheckExact(key)) {
    Require(slot(target, key, Borrow(value).get()));
    return;
  }
  Require(PyObject_SetAttr(target, key, Borrow(value).get()));
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

// A new reference to the interned str with the UTF-8 text `text` (made on first use; the
// interpreter keeps one object per text).
inline OwnedRef NewInternedString(const char* text) {
  return Require(PyUnicode_InternFromString(text));
}

// A new list holding the given items.
OwnedRef NewList(std::initializer_list<BorrowedRef> items);

// A new tuple holding the given items.
OwnedRef NewTuple(std::initializer_list<BorrowedRef> items);

}  // namespace tarnwick

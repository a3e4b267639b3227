#include "core/binding.hpp"

#include <vector>

namespace tarnwick {
namespace {

[[noreturn]] void RaiseArgumentCount(const char* name, const char* quantity, Py_ssize_t expected,
                                     Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name,
               quantity, expected, expected == 1 ? "" : "s", given);
  ThrowPythonError();
}

bool SameName(PyObject* keyword, PyObject* parameter) noexcept {
  if (keyword == parameter) {
    return true;  // the usual case: both interned
  }
  return PyUnicode_Check(keyword) && PyUnicode_Compare(keyword, parameter) == 0;
}

// Index of the keyword naming `parameter`, or -1.
Py_ssize_t FindKeyword(const KeywordArguments& keywords, PyObject* parameter) noexcept {
  for (Py_ssize_t index = 0; index < keywords.count; ++index) {
    if (SameName(keywords.names[index], parameter)) {
      return index;
    }
  }
  return -1;
}

// A keyword that no parameter took: report why.
[[noreturn]] void RaiseLeftOverKeyword(const Signature& signature, PyObject* keyword) {
  if (!PyUnicode_Check(keyword)) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", signature.name);
    ThrowPythonError();
  }
  for (Py_ssize_t index = 0; index < signature.parameter_count; ++index) {
    if (SameName(keyword, PyTuple_GET_ITEM(signature.parameter_names.get(), index))) {
      // The parameter already has its value (by position, or from an earlier equal keyword).
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   signature.name, keyword);
      ThrowPythonError();
    }
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.name,
               keyword);
  ThrowPythonError();
}

}  // namespace

void BindArguments(const Signature& signature, PyObject* const* positional,
                   Py_ssize_t positional_count, const KeywordArguments& keywords,
                   BorrowedRef* bound) {
  const Py_ssize_t parameters = signature.parameter_count;
  const Py_ssize_t default_count =
      signature.defaults ? PyTuple_GET_SIZE(signature.defaults.get()) : 0;
  const Py_ssize_t required = parameters - default_count;
  const bool has_defaults = default_count > 0;

  if (positional_count > parameters) {
    RaiseArgumentCount(signature.name, has_defaults ? "at most" : "exactly", parameters,
                       positional_count);
  }
  if (keywords.count == 0 && positional_count < required) {
    RaiseArgumentCount(signature.name, has_defaults ? "at least" : "exactly", required,
                       positional_count);
  }

  for (Py_ssize_t index = 0; index < positional_count; ++index) {
    bound[index] = BorrowedRef(positional[index]);
  }

  std::vector<bool> taken(static_cast<std::size_t>(keywords.count), false);
  for (Py_ssize_t index = positional_count; index < parameters; ++index) {
    PyObject* parameter = PyTuple_GET_ITEM(signature.parameter_names.get(), index);
    const Py_ssize_t keyword = FindKeyword(keywords, parameter);
    if (keyword >= 0) {
      taken[static_cast<std::size_t>(keyword)] = true;
      bound[index] = BorrowedRef(keywords.values[keyword]);
    } else if (index >= required) {
      bound[index] = BorrowedRef(PyTuple_GET_ITEM(signature.defaults.get(), index - required));
    } else {
      // The first required parameter without a value: the count names its position.
      RaiseArgumentCount(signature.name, has_defaults ? "at least" : "exactly", required, index);
    }
  }

  for (Py_ssize_t keyword = 0; keyword < keywords.count; ++keyword) {
    if (!taken[static_cast<std::size_t>(keyword)]) {
      RaiseLeftOverKeyword(signature, keywords.names[keyword]);
    }
  }
}

}  // namespace tarnwick

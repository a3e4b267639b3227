// Binding a call's arguments to the positional-or-keyword parameters of a method, with the
// TypeError messages of the classic interpreter for every way it can fail.
#pragma once

#include "core/error.hpp"

namespace tarnwick {

struct Signature {
  const char* name;             // the plain method name, used in the messages
  Py_ssize_t parameter_count;   // self included
  BorrowedRef parameter_names;  // tuple of str, parameter_count long
  BorrowedRef defaults;         // tuple for the trailing parameters, or empty
};

// The keyword part of a call: `count` names with their values, in the order the caller gave them.
struct KeywordArguments {
  PyObject* const* names = nullptr;
  PyObject* const* values = nullptr;
  Py_ssize_t count = 0;
};

// Fills bound[0 .. parameter_count) with the values of the parameters (borrowed from the call's
// arguments and from `signature.defaults`), or
// throws PythonError with a TypeError:
//   "<name>() takes exactly|at least|at most N positional argument[s] (M given)" for a missing or
//     surplus argument (M: the positional count, or with keywords the position of the first
//     missing required parameter),
//   "<name>() got an unexpected keyword argument '<keyword>'",
//   "<name>() got multiple values for keyword argument '<keyword>'",
//   "<name>() keywords must be strings".
void BindArguments(const Signature& signature, PyObject* const* positional,
                   Py_ssize_t positional_count, const KeywordArguments& keywords,
                   BorrowedRef* bound);

}  // namespace tarnwick

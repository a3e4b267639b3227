#include "factorpair/names.hpp"

#include "core/call.hpp"

namespace factorpair {

using tarnwick::Require;

Names names;

namespace {

constexpr char kClassDoc[] =
    "\n"
    "        var1 = n*mean2\n"
    "        var2 = sum(x2)\n"
    "        var5 = n*mean2 for each group(a,b)\n"
    "        var3 = n*mean2 for each group a\n"
    "\n"
    "    ";
static_assert(sizeof(kClassDoc) - 1 == 135, "the class documentation is 135 characters");

}  // namespace

void MakeNames() {
  if (names.class_doc) {
    return;
  }
#define FACTORPAIR_MAKE_NAME(member, text) names.member.set(tarnwick::NewInternedString(text));
  FACTORPAIR_NAMES(FACTORPAIR_MAKE_NAME)
#undef FACTORPAIR_MAKE_NAME
  names.level_exponent.set(Require(PyFloat_FromDouble(0.35)));
  names.zero.set(Require(PyLong_FromLong(0)));
  names.one.set(Require(PyLong_FromLong(1)));
  names.two.set(Require(PyLong_FromLong(2)));
  names.forty.set(Require(PyLong_FromLong(40)));
  names.columns_keyword_names.set(tarnwick::NewTuple({names.columns_keyword.borrow()}));
  names.class_doc.set(Require(PyUnicode_FromString(kClassDoc)));
}

}  // namespace factorpair

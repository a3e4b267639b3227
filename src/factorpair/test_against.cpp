// TwoWayAnova.test_against(self, measure, dimensions): every dimension alone, then every pair.
#include "core/call.hpp"
#include "factorpair/methods.hpp"
#include "factorpair/names.hpp"

namespace factorpair {
namespace {

using tarnwick::BorrowedRef;
using tarnwick::MethodCall;
using tarnwick::OwnedRef;
using tarnwick::Require;

// The line of the def statement, and the number of parameters (self included).
constexpr int kDefinitionLine = 64;
constexpr int kParameterCount = 3;

constexpr const char* kVariables[] = {"self", "measure", "dimensions", "dimension",
                                      "i",    "j",       nullptr};

OwnedRef TestAgainst(MethodCall& call) {
  const BorrowedRef self = call.argument(0);
  const BorrowedRef measure = call.argument(1);
  const BorrowedRef dimensions = call.argument(2);

  // for dimension in dimensions:
  //     self.test_anova(measure, dimension)
  ForEach(call, 65, dimensions, [&](BorrowedRef dimension) {
    call.Line(66);
    CallMethod(self, names.test_anova, measure, dimension);
  });

  // for i in range(0, len(dimensions) - 1):
  call.Line(67);
  OwnedRef outer_range;
  {
    OwnedRef range = call.Global(names.range);
    OwnedRef last = Require(PyLong_FromSsize_t(tarnwick::Length(dimensions) - 1));
    outer_range = Call(range, names.zero, last);
  }
  ForEach(call, 67, outer_range.borrow(), [&](BorrowedRef i) {
    //     for j in range(i + 1, len(dimensions)):
    call.Line(68);
    OwnedRef inner_range;
    {
      OwnedRef range = call.Global(names.range);
      OwnedRef first = Add(i, names.one);
      OwnedRef length = Require(PyLong_FromSsize_t(tarnwick::Length(dimensions)));
      inner_range = Call(range, first, length);
    }
    ForEach(call, 68, inner_range.borrow(), [&](BorrowedRef j) {
      //         self.test_anova_interaction(measure, dimensions[i], dimensions[j])
      call.Line(69);
      tarnwick::LoadedMethod interaction = LoadMethod(self, names.test_anova_interaction);
      OwnedRef dimension1 = GetItem(dimensions, i);
      OwnedRef dimension2 = GetItem(dimensions, j);
      Call(interaction, measure, dimension1, dimension2);
    });
  });
  return tarnwick::NewNone();
}

}  // namespace

const tarnwick::MethodDefinition kTestAgainstMethod = {
    "test_against",
    "TwoWayAnova.test_against",
    "Tarnwick.bi.stats.factorpair.TwoWayAnova.test_against",
    kTraceFile,
    kDefinitionLine,
    kParameterCount,
    kVariables,
    TestAgainst};

}  // namespace factorpair

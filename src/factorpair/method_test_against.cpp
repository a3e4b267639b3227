// TwoWayAnova.test_against(self, measure, dimensions): every dimension alone, then every pair.
#include "core/call.hpp"
#include "factorpair/methods.hpp"
#include "factorpair/names.hpp"
#include "factorpair/source_lines.hpp"

namespace factorpair {
namespace {

using tarnwick::BorrowedRef;
using tarnwick::MethodCall;
using tarnwick::OwnedRef;
using tarnwick::Require;

namespace lines = source_lines::test_against;

// The number of parameters, self included.
constexpr int kParameterCount = 3;

constexpr const char* kVariables[] = {"self", "measure", "dimensions", "dimension",
                                      "i",    "j",       nullptr};

OwnedRef TestAgainst(MethodCall& call) {
  const BorrowedRef self = call.argument(0);
  const BorrowedRef measure = call.argument(1);
  const BorrowedRef dimensions = call.argument(2);

  // for dimension in dimensions:
  //     self.test_anova(measure, dimension)
  ForEach(call, lines::kLoop, dimensions, [&](BorrowedRef dimension) {
    call.Line(lines::kOne);
    CallMethod(self, names.test_anova, measure, dimension);
  });

  // for i in range(0, len(dimensions) - 1):
  call.Line(lines::kOuter);
  OwnedRef outer_range;
  {
    OwnedRef range = call.Global(names.range);
    OwnedRef last = Require(PyLong_FromSsize_t(tarnwick::Length(dimensions) - 1));
    outer_range = Call(range, names.zero, last);
  }
  ForEach(call, lines::kOuter, outer_range.borrow(), [&](BorrowedRef i) {
    //     for j in range(i + 1, len(dimensions)):
    call.Line(lines::kInner);
    OwnedRef inner_range;
    {
      OwnedRef range = call.Global(names.range);
      OwnedRef first = Add(i, names.one);
      OwnedRef length = Require(PyLong_FromSsize_t(tarnwick::Length(dimensions)));
      inner_range = Call(range, first, length);
    }
    ForEach(call, lines::kInner, inner_range.borrow(), [&](BorrowedRef j) {
      //         self.test_anova_interaction(measure, dimensions[i], dimensions[j])
      call.Line(lines::kTwo);
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
    lines::kDefinition,
    kParameterCount,
    kVariables,
    TestAgainst};

}  // namespace factorpair

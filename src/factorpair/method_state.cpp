#include "core/call.hpp"
#include "factorpair/methods.hpp"
#include "factorpair/names.hpp"

namespace factorpair {

using tarnwick::BorrowedRef;
using tarnwick::NewMethodCode;

MethodState method_state;

void HoldRound() { method_state.round.set(tarnwick::LookupBuiltin(names.round.borrow())); }

void MakeMethodMetadata() {
  method_state.init_code.set(NewMethodCode(kInitMethod));
  method_state.test_all_code.set(NewMethodCode(kTestAllMethod));
  method_state.test_anova_code.set(NewMethodCode(kTestAnovaMethod));
  method_state.test_against_code.set(NewMethodCode(kTestAgainstMethod));
  method_state.test_anova_interaction_code.set(NewMethodCode(kTestAnovaInteractionMethod));
  const BorrowedRef none(Py_None);
  method_state.test_all_defaults.set(tarnwick::NewTuple({none, none, names.forty.borrow()}));
}

}  // namespace factorpair

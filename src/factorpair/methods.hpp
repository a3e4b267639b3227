// The five methods of TwoWayAnova (one file each, method_*.cpp) and the process-wide state they
// share. Their source lines are in source_lines.json, read through factorpair/source_lines.hpp.
#pragma once

#include "core/method.hpp"

namespace factorpair {

// The file name of every traceback entry and code object of this module.
inline constexpr char kTraceFile[] = "Tarnwick\\bi\\stats\\factorpair";

extern const tarnwick::MethodDefinition kInitMethod;
extern const tarnwick::MethodDefinition kTestAllMethod;
extern const tarnwick::MethodDefinition kTestAnovaMethod;
extern const tarnwick::MethodDefinition kTestAgainstMethod;
extern const tarnwick::MethodDefinition kTestAnovaInteractionMethod;

// Made while the module initialises and only read afterwards.
struct MethodState {
  tarnwick::ProcessRef round;              // builtins.round as it was at import
  tarnwick::ProcessRef test_all_defaults;  // (None, None, 40)
  tarnwick::ProcessRef init_code;
  tarnwick::ProcessRef test_all_code;
  tarnwick::ProcessRef test_anova_code;
  tarnwick::ProcessRef test_against_code;
  tarnwick::ProcessRef test_anova_interaction_code;
};

extern MethodState method_state;

// Fetches round from builtins (NameError when it is missing) and holds it.
void HoldRound();

// Makes the code metadata of the five methods and the defaults of test_all.
void MakeMethodMetadata();

// The class statement: builds TwoWayAnova in the namespace `globals` and returns it.
tarnwick::OwnedRef MakeTwoWayAnovaClass(tarnwick::BorrowedRef globals);

}  // namespace factorpair

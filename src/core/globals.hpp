// Module globals resolved the way an interpreted function resolves them: in the module's
// namespace first, then in the builtins module, at every use.
#pragma once

#include "core/error.hpp"

namespace tarnwick {

// The dictionary of the `builtins` module, fetched on first use and kept for the process.
BorrowedRef BuiltinsDictBorrowed();

// globals[name], else builtins[name], else NameError "name '<name>' is not defined".
OwnedRef LookupGlobal(BorrowedRef globals, BorrowedRef name);

// builtins[name], else NameError "name '<name>' is not defined".
OwnedRef LookupBuiltin(BorrowedRef name);

}  // namespace tarnwick

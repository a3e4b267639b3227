// Traceback entries for code that has no Python frame of its own.
#pragma once

#include "core/ref.hpp"

namespace tarnwick {

// Appends an entry to the traceback of the pending exception, so that traceback.extract_tb reads
// back exactly `function`, `file` and `line`. `globals` is the namespace the entry's frame
// reports (the module dict). Never fails: if the entry cannot be made, the pending exception is
// kept as it was, without the entry.
void AddTracebackEntry(const char* function, const char* file, int line,
                       BorrowedRef globals) noexcept;

}  // namespace tarnwick

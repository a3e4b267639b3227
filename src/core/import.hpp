// Import statements of extension modules that live inside a package. Each import is tried first
// relative to the module's package (level 1), then, after an ImportError, as an absolute import;
// both go through the interpreter's own import machinery, not through builtins.__import__.
#pragma once

#include <initializer_list>

#include "core/error.hpp"

namespace tarnwick {

// The module `name` as the import machinery returns it for `fromlist` (the top-level package when
// `fromlist` is empty), by the two tries described above. `globals` is the importing module's
// namespace; it tells the machinery which package a relative import starts from.
OwnedRef ImportModuleTwoTries(BorrowedRef name, BorrowedRef globals, BorrowedRef fromlist);

// import <module_name> as <as_name>
void ImportAs(BorrowedRef globals, const char* module_name, const char* as_name);

// from <module_name> import <names...>: each name is read from the module as an attribute, in
// order, and stored in `globals`; a missing one is ImportError "cannot import name <name>".
void ImportFrom(BorrowedRef globals, const char* module_name,
                std::initializer_list<const char*> names);

}  // namespace tarnwick

// The loading procedure shared by the extension modules: multi-phase initialisation with a
// create slot and an exec slot, one interpreter per process, one initialised module object per
// process, registration in sys.modules under the full dotted name.
//
// Each module owns one ModuleLoader (a static object in its own shared library, so that the
// recorded state is per module) and forwards its two slots to it.
#pragma once

#include "core/traced.hpp"

namespace tarnwick {

struct ModuleIdentity {
  const char* short_name;      // "version": used in the re-initialisation message
  const char* full_name;       // "Tarnwick.version": sys.modules key and version warning
  const char* trace_file;      // file name of the exec step's traceback entries
  const char* trace_function;  // function name of the exec step's traceback entries
};

class ModuleLoader {
 public:
  // Runs once the module is recorded (exec step 3): makes the module's names and constants.
  using PrepareStep = void (*)(BorrowedRef module);
  // Runs the module's own statements after registration; sets scope.line before each statement.
  using BodyStep = void (*)(BorrowedRef module, TraceScope& scope);

  constexpr ModuleLoader(ModuleIdentity identity, PrepareStep prepare, BodyStep body) noexcept
      : identity_(identity), prepare_(prepare), body_(body) {}

  // Create slot: the interpreter check, then the recorded module or a new one made from `spec`.
  PyObject* Create(PyObject* spec) noexcept;
  // Exec slot: 0 on success, -1 with an exception set.
  int Exec(PyObject* module) noexcept;

  // The recorded module object, or null before initialisation.
  BorrowedRef module() const noexcept { return module_.borrow(); }
  const ModuleIdentity& identity() const noexcept { return identity_; }

 private:
  void CheckInterpreter();
  OwnedRef NewModuleFromSpec(BorrowedRef spec);
  void WarnOnVersionMismatch();
  void RecordAndRegister(BorrowedRef module);

  ModuleIdentity identity_;
  PrepareStep prepare_;
  BodyStep body_;
  ProcessRef module_;
  int64_t interpreter_id_ = -1;
};

// The module definition of a module loaded by `loader`: no docstring, no per-module state, the
// given module-level functions (none for the product modules), and two slots in this order, the
// create step and the exec step. Its entry point returns PyModuleDef_Init(&definition).
template <ModuleLoader& loader>
class LoaderModule {
 public:
  static PyModuleDef* Definition(PyMethodDef* functions = nullptr) noexcept {
    static PyModuleDef definition = [functions] {
      PyModuleDef made{};
      made.m_base = PyModuleDef_HEAD_INIT;
      made.m_name = loader.identity().short_name;
      made.m_doc = nullptr;
      made.m_size = 0;
      made.m_methods = functions;
      made.m_slots = slots_;
      return made;
    }();
    return &definition;
  }

 private:
  static PyObject* Create(PyObject* spec, PyModuleDef* /*definition*/) noexcept {
    return loader.Create(spec);
  }
  static int Exec(PyObject* module) noexcept { return loader.Exec(module); }

  static inline PyModuleDef_Slot slots_[] = {
      {Py_mod_create, reinterpret_cast<void*>(&Create)},
      {Py_mod_exec, reinterpret_cast<void*>(&Exec)},
      {0, nullptr},
  };
};

}  // namespace tarnwick

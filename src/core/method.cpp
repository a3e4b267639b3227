#include "core/method.hpp"

#include "core/binding.hpp"

#include <cstddef>
#include <new>

namespace tarnwick {
namespace {

// The owned fields of a method function object, constructed in place after allocation.
struct MethodFunctionFields {
  OwnedRef name;
  OwnedRef qualified_name;
  OwnedRef module;
  OwnedRef doc;
  OwnedRef defaults;  // None or a tuple
  OwnedRef globals;
  OwnedRef code;
  OwnedRef annotations;
  OwnedRef parameter_names;  // tuple of the parameters' names, for binding
};

struct MethodFunctionObject {
  PyObject ob_base;  // PyObject_HEAD
  compat::VectorcallFunction vectorcall;
  const MethodDefinition* definition;
  PyObject* weak_references;  // maintained by the runtime
  MethodFunctionFields fields;
};

MethodFunctionObject* AsMethod(PyObject* object) noexcept {
  return reinterpret_cast<MethodFunctionObject*>(object);
}

// Holds the interpreter's recursion limit for the duration of a call, as a Python function call
// does: a method reached through vectorcall is not counted by the caller.
class RecursionGuard {
 public:
  RecursionGuard() {
    if (Py_EnterRecursiveCall(" while calling a Python object") != 0) {
      ThrowPythonError();
    }
  }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
};

// The call of a method function object. The arguments are borrowed from the caller, who keeps
// them alive for the duration of the call; defaults are borrowed from the function object, which
// the caller keeps alive too.
PyObject* MethodVectorcall(PyObject* self, PyObject* const* arguments, std::size_t count_and_flags,
                           PyObject* keyword_names) noexcept {
  MethodFunctionObject* function = AsMethod(self);
  const MethodDefinition& definition = *function->definition;
  MethodCall call(definition, function->fields.globals.borrow());
  return RunTraced(call.scope(), static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    RecursionGuard guard;
    const Py_ssize_t positional_count = compat::PositionalCount(count_and_flags);
    if (keyword_names == nullptr && positional_count == definition.argument_count) {
      // The common call: every parameter by position.
      for (Py_ssize_t index = 0; index < positional_count; ++index) {
        call.arguments()[index] = BorrowedRef(arguments[index]);
      }
    } else {
      KeywordArguments keywords;
      if (keyword_names != nullptr) {
        keywords.names = &PyTuple_GET_ITEM(keyword_names, 0);
        keywords.values = arguments + positional_count;
        keywords.count = PyTuple_GET_SIZE(keyword_names);
      }
      const BorrowedRef defaults = function->fields.defaults.is(BorrowedRef(Py_None))
                                       ? BorrowedRef()
                                       : function->fields.defaults.borrow();
      const Signature signature{definition.name, definition.argument_count,
                                function->fields.parameter_names.borrow(), defaults};
      BindArguments(signature, arguments, positional_count, keywords, call.arguments());
    }
    return definition.body(call).release();
  });
}

PyObject* MethodDescriptorGet(PyObject* self, PyObject* instance, PyObject* /*owner*/) noexcept {
  if (instance == nullptr || instance == Py_None) {
    return OwnedRef::NewReference(BorrowedRef(self)).release();
  }
  return PyMethod_New(self, instance);
}

PyObject* MethodRepr(PyObject* self) noexcept {
  return PyUnicode_FromFormat("<function %U at %p>", AsMethod(self)->fields.qualified_name.get(),
                              static_cast<void*>(self));
}

int MethodTraverse(PyObject* self, visitproc visit, void* arg) noexcept {
  MethodFunctionFields& fields = AsMethod(self)->fields;
  Py_VISIT(fields.name.get());
  Py_VISIT(fields.qualified_name.get());
  Py_VISIT(fields.module.get());
  Py_VISIT(fields.doc.get());
  Py_VISIT(fields.defaults.get());
  Py_VISIT(fields.globals.get());
  Py_VISIT(fields.code.get());
  Py_VISIT(fields.annotations.get());
  Py_VISIT(fields.parameter_names.get());
  return 0;
}

int MethodClear(PyObject* self) noexcept {
  MethodFunctionFields& fields = AsMethod(self)->fields;
  fields.name.reset();
  fields.qualified_name.reset();
  fields.module.reset();
  fields.doc.reset();
  fields.defaults.reset();
  fields.globals.reset();
  fields.code.reset();
  fields.annotations.reset();
  fields.parameter_names.reset();
  return 0;
}

void MethodDealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  MethodFunctionObject* function = AsMethod(self);
  if (function->weak_references != nullptr) {
    PyObject_ClearWeakRefs(self);
  }
  function->fields.~MethodFunctionFields();
  PyObject_GC_Del(self);
}

// --- attributes -----------------------------------------------------------------------------

// Getter of a field; an empty field reads as None.
template <OwnedRef MethodFunctionFields::*field>
PyObject* GetField(PyObject* self, void* /*closure*/) noexcept {
  const OwnedRef& value = AsMethod(self)->fields.*field;
  return OwnedRef::NewReference(value ? value.borrow() : BorrowedRef(Py_None)).release();
}

PyObject* GetNone(PyObject* /*self*/, void* /*closure*/) noexcept {
  return OwnedRef::NewReference(BorrowedRef(Py_None)).release();
}

// Setter of a field that takes any object; deleting it stores None.
template <OwnedRef MethodFunctionFields::*field>
int SetAnyField(PyObject* self, PyObject* value, void* /*closure*/) noexcept {
  AsMethod(self)->fields.*field = OwnedRef::NewReference(BorrowedRef(value ? value : Py_None));
  return 0;
}

// Setter of a field that must hold a str, as __name__ and __qualname__ of a function.
template <OwnedRef MethodFunctionFields::*field>
int SetStringField(PyObject* self, PyObject* value, void* closure) noexcept {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object",
                 static_cast<const char*>(closure));
    return -1;
  }
  AsMethod(self)->fields.*field = OwnedRef::NewReference(BorrowedRef(value));
  return 0;
}

int SetAnnotations(PyObject* self, PyObject* value, void* /*closure*/) noexcept {
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  AsMethod(self)->fields.annotations = OwnedRef::NewReference(BorrowedRef(value));
  return 0;
}

PyObject* GetAnnotations(PyObject* self, void* /*closure*/) noexcept {
  OwnedRef& annotations = AsMethod(self)->fields.annotations;
  if (!annotations) {
    annotations = OwnedRef::Steal(PyDict_New());
  }
  return annotations.copy().release();
}

char kNameAttribute[] = "__name__";
char kQualnameAttribute[] = "__qualname__";

PyGetSetDef method_getset[] = {
    {"__name__", GetField<&MethodFunctionFields::name>, SetStringField<&MethodFunctionFields::name>,
     nullptr, kNameAttribute},
    {"__qualname__", GetField<&MethodFunctionFields::qualified_name>,
     SetStringField<&MethodFunctionFields::qualified_name>, nullptr, kQualnameAttribute},
    {"__module__", GetField<&MethodFunctionFields::module>,
     SetAnyField<&MethodFunctionFields::module>, nullptr, nullptr},
    {"__doc__", GetField<&MethodFunctionFields::doc>, SetAnyField<&MethodFunctionFields::doc>,
     nullptr, nullptr},
    {"__defaults__", GetField<&MethodFunctionFields::defaults>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", GetNone, nullptr, nullptr, nullptr},
    {"__globals__", GetField<&MethodFunctionFields::globals>, nullptr, nullptr, nullptr},
    {"__code__", GetField<&MethodFunctionFields::code>, nullptr, nullptr, nullptr},
    {"__annotations__", GetAnnotations, SetAnnotations, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject method_type = [] {
  PyTypeObject type{};
  const PyVarObject head = {PyObject_HEAD_INIT(nullptr) 0};
  type.ob_base = head;
  type.tp_name = "Tarnwick.function";
  type.tp_basicsize = sizeof(MethodFunctionObject);
  type.tp_dealloc = MethodDealloc;
  type.tp_repr = MethodRepr;
  type.tp_getattro = PyObject_GenericGetAttr;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  type.tp_traverse = MethodTraverse;
  type.tp_clear = MethodClear;
  type.tp_weaklistoffset = offsetof(MethodFunctionObject, weak_references);
  type.tp_getset = method_getset;
  type.tp_descr_get = MethodDescriptorGet;
  compat::EnableVectorcall(type, offsetof(MethodFunctionObject, vectorcall));
  return type;
}();

PyTypeObject* ReadyMethodType() {
  if (PyType_Ready(&method_type) < 0) {
    ThrowPythonError();
  }
  return &method_type;
}

}  // namespace

OwnedRef NewMethodFunction(const MethodDefinition& definition, BorrowedRef code,
                           BorrowedRef module_name, BorrowedRef globals, BorrowedRef defaults) {
  if (definition.argument_count > MethodCall::kMaxArguments) {
    Raise(PyExc_SystemError, "method has more parameters than a method call can bind");
  }
  PyTypeObject* type = ReadyMethodType();
  MethodFunctionObject* allocated = PyObject_GC_New(MethodFunctionObject, type);
  if (allocated == nullptr) {
    ThrowPythonError();
  }
  allocated->vectorcall = MethodVectorcall;
  allocated->definition = &definition;
  allocated->weak_references = nullptr;
  new (&allocated->fields) MethodFunctionFields();
  OwnedRef function = OwnedRef::Steal(reinterpret_cast<PyObject*>(allocated));

  MethodFunctionFields& fields = allocated->fields;
  fields.name = NewInternedString(definition.name);
  fields.qualified_name = NewInternedString(definition.qualified_name);
  fields.module = OwnedRef::NewReference(module_name);
  fields.doc = OwnedRef::NewReference(BorrowedRef(Py_None));
  fields.defaults = OwnedRef::NewReference(
      defaults && PyTuple_GET_SIZE(defaults.get()) > 0 ? defaults : BorrowedRef(Py_None));
  fields.globals = OwnedRef::NewReference(globals);
  fields.code = OwnedRef::NewReference(code);
  fields.annotations = Require(PyDict_New());
  fields.parameter_names = Require(PyTuple_New(definition.argument_count));
  for (int index = 0; index < definition.argument_count; ++index) {
    PyTuple_SET_ITEM(fields.parameter_names.get(), index,
                     NewInternedString(definition.variables[index]).release());
  }
  PyObject_GC_Track(function.get());
  return function;
}

}  // namespace tarnwick

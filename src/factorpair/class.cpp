// The class statement of TwoWayAnova, as the interpreter runs a class statement: bases, metaclass,
// __prepare__, the namespace filled in source order (two methods through the host's `accepts`
// decorator), then the metaclass called with the name, the bases and the namespace.
#include "core/call.hpp"
#include "factorpair/methods.hpp"
#include "factorpair/names.hpp"

namespace factorpair {
namespace {

using tarnwick::BorrowedRef;
using tarnwick::OwnedRef;
using tarnwick::Require;

OwnedRef NewMethod(const tarnwick::MethodDefinition& definition, const tarnwick::ProcessRef& code,
                   BorrowedRef globals, BorrowedRef defaults = BorrowedRef()) {
  return tarnwick::NewMethodFunction(definition, code.borrow(), names.module_name.borrow(), globals,
                                     defaults);
}

// type(bases[0]).__prepare__(name, bases), or a new dict when the metaclass has none.
OwnedRef PrepareNamespace(BorrowedRef metaclass, BorrowedRef bases) {
  OwnedRef prepare =
      OwnedRef::Steal(PyObject_GetAttr(metaclass.get(), names.prepare_attribute.get()));
  if (!prepare) {
    if (!tarnwick::PendingErrorIs(PyExc_AttributeError)) {
      tarnwick::ThrowPythonError();
    }
    PyErr_Clear();
    return Require(PyDict_New());
  }
  return Call(prepare, names.two_way_anova, bases);
}

// namespace['__metaclass__'] if the namespace has it, else `metaclass`.
OwnedRef ChooseMetaclass(BorrowedRef class_namespace, BorrowedRef metaclass) {
  OwnedRef declared =
      OwnedRef::Steal(PyObject_GetItem(class_namespace.get(), names.metaclass_key.get()));
  if (declared) {
    return declared;
  }
  if (!tarnwick::PendingErrorIs(PyExc_KeyError)) {
    tarnwick::ThrowPythonError();
  }
  PyErr_Clear();
  return OwnedRef::NewReference(metaclass);
}

}  // namespace

OwnedRef MakeTwoWayAnovaClass(BorrowedRef globals) {
  OwnedRef object = tarnwick::LookupGlobal(globals, names.object.borrow());
  OwnedRef bases = tarnwick::NewTuple({object.borrow()});
  const BorrowedRef metaclass(reinterpret_cast<PyObject*>(Py_TYPE(object.get())));
  OwnedRef class_namespace = PrepareNamespace(metaclass, bases.borrow());

  SetItem(class_namespace, names.module_key, names.module_name);
  SetItem(class_namespace, names.qualname_key, names.two_way_anova);
  SetItem(class_namespace, names.doc_key, names.class_doc);

  // @accepts(object, DataFrame)
  // def __init__(self, data_frame, df_helper): ...
  {
    OwnedRef accepts = tarnwick::LookupGlobal(globals, names.accepts.borrow());
    OwnedRef accepted_object = tarnwick::LookupGlobal(globals, names.object.borrow());
    OwnedRef data_frame = tarnwick::LookupGlobal(globals, names.data_frame_class.borrow());
    OwnedRef decorator = Call(accepts, accepted_object, data_frame);
    OwnedRef function = NewMethod(kInitMethod, method_state.init_code, globals);
    OwnedRef decorated = Call(decorator, function);
    SetItem(class_namespace, names.init_method, decorated);
  }

  // @accepts(object, measure_columns=(list, tuple), dimension_columns=(list, tuple),
  //          max_num_levels=int)
  // def test_all(self, measure_columns=None, dimension_columns=None, max_num_levels=40): ...
  {
    OwnedRef accepts = tarnwick::LookupGlobal(globals, names.accepts.borrow());
    OwnedRef accepted_object = tarnwick::LookupGlobal(globals, names.object.borrow());
    const BorrowedRef list_type(reinterpret_cast<PyObject*>(&PyList_Type));
    const BorrowedRef tuple_type(reinterpret_cast<PyObject*>(&PyTuple_Type));
    const BorrowedRef int_type(reinterpret_cast<PyObject*>(&PyLong_Type));
    OwnedRef measure_types = tarnwick::NewTuple({list_type, tuple_type});
    OwnedRef dimension_types = tarnwick::NewTuple({list_type, tuple_type});
    OwnedRef decorator = tarnwick::CallWithKeywords(
        accepts.borrow(), {accepted_object.borrow()},
        {{names.measure_columns_keyword.borrow(), measure_types.borrow()},
         {names.dimension_columns_keyword.borrow(), dimension_types.borrow()},
         {names.max_num_levels_keyword.borrow(), int_type}});
    OwnedRef function = NewMethod(kTestAllMethod, method_state.test_all_code, globals,
                                  method_state.test_all_defaults.borrow());
    OwnedRef decorated = Call(decorator, function);
    SetItem(class_namespace, names.test_all, decorated);
  }

  OwnedRef test_anova = NewMethod(kTestAnovaMethod, method_state.test_anova_code, globals);
  SetItem(class_namespace, names.test_anova, test_anova);
  OwnedRef test_against = NewMethod(kTestAgainstMethod, method_state.test_against_code, globals);
  SetItem(class_namespace, names.test_against, test_against);
  OwnedRef test_anova_interaction =
      NewMethod(kTestAnovaInteractionMethod, method_state.test_anova_interaction_code, globals);
  SetItem(class_namespace, names.test_anova_interaction, test_anova_interaction);

  OwnedRef chosen_metaclass = ChooseMetaclass(class_namespace.borrow(), metaclass);
  return Call(chosen_metaclass, names.two_way_anova, bases, class_namespace);
}

}  // namespace factorpair

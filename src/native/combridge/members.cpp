// Member access on a component object: name resolution without regard to case, property
// get/set, method and default-member calls, enumeration, and the conversion of values.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>

#include <cctype>
#include <cstring>

#include "bridge_names.h"
#include "dispatch.h"
#include "errors.h"
#include "guard.h"
#include "members.h"

namespace comsim {

using zt::Ref;

namespace {

PyObject* g_decimal_type = nullptr;  // decimal.Decimal, a simple value (COM currency)

bool is_simple(PyObject* v) {
  if (v == Py_None || PyBool_Check(v) || PyLong_Check(v) || PyFloat_Check(v) ||
      PyUnicode_Check(v) || PyBytes_Check(v) || PyComplex_Check(v))
    return true;
  if (PyDate_Check(v) || PyTime_Check(v) || PyDelta_Check(v)) return true;  // datetime too
  return g_decimal_type && PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(g_decimal_type));
}

bool same_ignoring_case(const char* a, Py_ssize_t na, const char* b, Py_ssize_t nb) {
  if (na != nb) return false;
  for (Py_ssize_t i = 0; i < na; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// With an error pending from the component's code: convert it and throw.
[[noreturn]] void component_failed() {
  convert_component_error();
  throw zt::PythonError{};
}

// The member of `target` whose name equals `name` without regard to case, or null.
Ref find_ignoring_case(PyObject* target, PyObject* name) {
  Py_ssize_t n = 0;
  const char* wanted = PyUnicode_AsUTF8AndSize(name, &n);
  if (!wanted) throw zt::PythonError{};
  Ref names = Ref::steal(PyObject_Dir(target));
  if (!names) component_failed();  // the component's own __dir__ failed
  Py_ssize_t count = PyList_GET_SIZE(names.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* candidate = PyList_GET_ITEM(names.get(), i);
    if (!PyUnicode_Check(candidate)) continue;
    Py_ssize_t m = 0;
    const char* text = PyUnicode_AsUTF8AndSize(candidate, &m);
    if (!text) throw zt::PythonError{};
    if (same_ignoring_case(text, m, wanted, n)) return Ref::borrow(candidate);
  }
  return Ref();
}

[[noreturn]] void raise_unknown_member(PyObject* name) {
  zt::raise_format(PyExc_AttributeError, "<unknown>.%U", name);
}

bool instance_dict_has(PyObject* target, PyObject* name) {
  Ref dict = Ref::steal(PyObject_GenericGetDict(target, nullptr));
  if (!dict) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw zt::PythonError{};
    PyErr_Clear();  // no instance dictionary: no such member there
    return false;
  }
  return zt::check_status(PyDict_Contains(dict.get(), name)) == 1;
}

// The callable behind a member name, resolving the name without regard to case.
Ref member_callable(PyObject* target, PyObject* name) {
  PyObject* fn = PyObject_GetAttr(target, name);
  if (fn) return Ref::steal(fn);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) component_failed();
  PyErr_Clear();
  Ref actual = find_ignoring_case(target, name);
  if (!actual || PyUnicode_Compare(actual.get(), name) == 0) raise_unknown_member(name);
  fn = PyObject_GetAttr(target, actual.get());
  if (!fn) component_failed();
  return Ref::steal(fn);
}

}  // namespace

Ref class_attribute(PyTypeObject* type, PyObject* name) {
  // Set once the type is ready, as every instance's type is; replaced if its bases change.
  const Ref mro = Ref::borrow(type->tp_mro);
  if (!mro) return Ref();
  for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro.get()); i < n; ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
#if PY_VERSION_HEX >= 0x030C0000
    // Built-in types keep their namespace per interpreter from 3.12 on (tp_dict is null).
    const Ref dict = Ref::steal(PyType_GetDict(base));
#else
    const Ref dict = Ref::borrow(base->tp_dict);
#endif
    if (!dict) continue;
    // Borrowed until the next Python code runs: taken at once.
    if (PyObject* found = PyDict_GetItemWithError(dict.get(), name)) return Ref::borrow(found);
    if (PyErr_Occurred()) throw zt::PythonError{};
  }
  return Ref();
}

bool is_method(PyObject* descr) noexcept {
  return PyFunction_Check(descr) || Py_IS_TYPE(descr, &PyMethodDescr_Type) ||
         Py_IS_TYPE(descr, &PyClassMethodDescr_Type) || Py_IS_TYPE(descr, &PyClassMethod_Type) ||
         Py_IS_TYPE(descr, &PyStaticMethod_Type);
}

void init_members() {
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) throw zt::PythonError{};
  Ref decimal = Ref::check(PyImport_ImportModule("decimal"));
  g_decimal_type = Ref::check(PyObject_GetAttrString(decimal.get(), "Decimal")).release();
}

Ref to_caller(PyObject* value, const std::shared_ptr<Apartment>& apartment, bool proxy) {
  if (is_simple(value) || is_dispatch(value)) return Ref::borrow(value);
  if (PyTuple_Check(value)) {
    Py_ssize_t n = PyTuple_GET_SIZE(value);
    Ref converted = Ref::check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i)
      PyTuple_SET_ITEM(converted.get(), i,
                       to_caller(PyTuple_GET_ITEM(value, i), apartment, proxy).release());
    return converted;
  }
  return new_dispatch(value, apartment, proxy);
}

PyObject* to_component(PyObject* value) noexcept {
  if (is_dispatch(value) || is_bare_interface(value)) return binding_of(value).target;
  return value;
}

Ref unwrap_args(PyObject* args) {
  if (!args) return Ref::check(PyTuple_New(0));
  Py_ssize_t n = PyTuple_GET_SIZE(args);
  bool any = false;
  for (Py_ssize_t i = 0; i < n && !any; ++i) any = to_component(PyTuple_GET_ITEM(args, i)) != PyTuple_GET_ITEM(args, i);
  if (!any) return Ref::borrow(args);
  Ref out = Ref::check(PyTuple_New(n));
  for (Py_ssize_t i = 0; i < n; ++i)
    PyTuple_SET_ITEM(out.get(), i, Ref::borrow(to_component(PyTuple_GET_ITEM(args, i))).release());
  return out;
}

Ref unwrap_kwargs(PyObject* kwargs) {
  if (!kwargs) return Ref();
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  bool any = false;
  while (!any && PyDict_Next(kwargs, &pos, &key, &value)) any = to_component(value) != value;
  if (!any) return Ref::borrow(kwargs);
  Ref out = Ref::check(PyDict_New());
  pos = 0;
  while (PyDict_Next(kwargs, &pos, &key, &value))
    zt::check_status(PyDict_SetItem(out.get(), key, to_component(value)));
  return out;
}

Ref get_member(PyObject* target, PyObject* name, const std::shared_ptr<Apartment>& apartment,
               bool proxy) {
  const Ref descr = class_attribute(Py_TYPE(target), name);
  if (descr && is_method(descr.get())) return new_bound_member(target, name, apartment, proxy);
  PyObject* value = PyObject_GetAttr(target, name);
  if (value) {
    Ref owned = Ref::steal(value);
    return to_caller(owned.get(), apartment, proxy);
  }
  if (descr || !PyErr_ExceptionMatches(PyExc_AttributeError)) component_failed();
  PyErr_Clear();
  Ref actual = find_ignoring_case(target, name);
  if (!actual || PyUnicode_Compare(actual.get(), name) == 0) raise_unknown_member(name);
  return get_member(target, actual.get(), apartment, proxy);
}

void set_member(PyObject* target, PyObject* name, PyObject* value) {
  Ref actual = Ref::borrow(name);
  if (!class_attribute(Py_TYPE(target), name) && !instance_dict_has(target, name)) {
    actual = find_ignoring_case(target, name);
    if (!actual) raise_com_error(DISP_E_MEMBERNOTFOUND);
  }
  if (PyObject_SetAttr(target, actual.get(), to_component(value)) < 0) component_failed();
}

Ref call_member(PyObject* target, PyObject* name, PyObject* args, PyObject* kwargs,
                const std::shared_ptr<Apartment>& apartment, bool proxy) {
  Ref fn = member_callable(target, name);
  Ref plain = unwrap_args(args);
  Ref plain_kwargs = unwrap_kwargs(kwargs);
  PyObject* result = PyObject_Call(fn.get(), plain.get(), plain_kwargs.get());
  if (!result) component_failed();
  Ref owned = Ref::steal(result);
  return to_caller(owned.get(), apartment, proxy);
}

Ref call_default(PyObject* target, PyObject* args, PyObject* kwargs,
                 const std::shared_ptr<Apartment>& apartment, bool proxy) {
  if (PyCallable_Check(target)) {
    Ref plain = unwrap_args(args);
    Ref plain_kwargs = unwrap_kwargs(kwargs);
    PyObject* result = PyObject_Call(target, plain.get(), plain_kwargs.get());
    if (!result) component_failed();
    Ref owned = Ref::steal(result);
    return to_caller(owned.get(), apartment, proxy);
  }
  // A collection's default member is its Item.
  if (!class_attribute(Py_TYPE(target), N.Item)) raise_com_error(DISP_E_MEMBERNOTFOUND);
  return call_member(target, N.Item, args, kwargs, apartment, proxy);
}

Ref length_of(PyObject* target) {
  PySequenceMethods* sq = Py_TYPE(target)->tp_as_sequence;
  PyMappingMethods* mp = Py_TYPE(target)->tp_as_mapping;
  if ((sq && sq->sq_length) || (mp && mp->mp_length)) {
    Py_ssize_t n = PyObject_Length(target);
    if (n < 0) component_failed();
    return Ref::check(PyLong_FromSsize_t(n));
  }
  // A COM collection's length is its Count.
  if (!class_attribute(Py_TYPE(target), N.Count) && !instance_dict_has(target, N.Count))
    zt::raise_format(PyExc_TypeError, "COM object %.200s has no length", Py_TYPE(target)->tp_name);
  Ref count = Ref::steal(PyObject_GetAttr(target, N.Count));
  if (!count) component_failed();
  return count;
}

Ref enumerate_items(PyObject* target, const std::shared_ptr<Apartment>& apartment, bool proxy) {
  Ref items;
  PyObject* it = PyObject_GetIter(target);
  if (it) {
    Ref iterator = Ref::steal(it);
    items = Ref::steal(PySequence_Tuple(iterator.get()));
    if (!items) component_failed();
  } else {
    // Not iterable: a collection that only offers Count and Item(i).
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) component_failed();
    PyErr_Clear();
    Ref count = Ref::steal(PyObject_GetAttr(target, N.Count));
    if (!count) component_failed();
    Py_ssize_t n = PyNumber_AsSsize_t(count.get(), PyExc_OverflowError);
    if (n < 0 && PyErr_Occurred()) component_failed();
    items = Ref::check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyObject_CallMethodObjArgs(target, N.Item, Ref::check(PyLong_FromSsize_t(i)).get(), nullptr);
      if (!item) component_failed();
      PyTuple_SET_ITEM(items.get(), i, item);
    }
  }
  return to_caller(items.get(), apartment, proxy);
}

}  // namespace comsim

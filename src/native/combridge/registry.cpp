// Registered type libraries and components, the constants table, and Dispatch.
#include "registry.h"

#include <cctype>
#include <string>

#include "connection.h"
#include "dispatch.h"
#include "errors.h"
#include "guard.h"
#include "thread_state.h"

namespace comsim {

using zt::Ref;

namespace {

// All guarded by the GIL; owned by the module, never freed.
PyObject* g_typelibs = nullptr;    // normalised id -> (major, minor, {name: value})
PyObject* g_components = nullptr;  // ProgID -> (factory, typelib id)
PyObject* g_constants = nullptr;   // the win32com.client.constants object

struct ConstantsObject {
  PyObject_HEAD
  PyObject* values;  // name -> value, filled by EnsureModule
};

// Constants are read by exact name; an unknown one is an AttributeError.
PyObject* constants_getattro(PyObject* self, PyObject* name) {
  PyObject* values = reinterpret_cast<ConstantsObject*>(self)->values;
  PyObject* value = PyDict_GetItemWithError(values, name);  // borrowed
  if (value) return Ref::borrow(value).release();
  if (PyErr_Occurred()) return nullptr;
  return PyObject_GenericGetAttr(self, name);
}

PyObject* constants_dir(PyObject* self, PyObject*) {
  return PyDict_Keys(reinterpret_cast<ConstantsObject*>(self)->values);
}

PyMethodDef constants_methods[] = {
    {"__dir__", constants_dir, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

Ref normalised_id(PyObject* typelib_id) {
  if (!PyUnicode_Check(typelib_id)) zt::raise(PyExc_TypeError, "a type library id must be a str");
  return Ref::check(PyObject_CallMethod(typelib_id, "upper", nullptr));
}

// A version number as an int (anything with __index__); TypeError otherwise.
Ref version_number(PyObject* value, const char* what) {
  if (!PyIndex_Check(value)) zt::raise_format(PyExc_TypeError, "%s must be an integer", what);
  return Ref::check(PyNumber_Index(value));
}

}  // namespace

void init_registry(PyObject* module) {
  g_typelibs = Ref::check(PyDict_New()).release();
  g_components = Ref::check(PyDict_New()).release();
  static PyType_Slot slots[] = {
      {Py_tp_getattro, reinterpret_cast<void*>(constants_getattro)},
      {Py_tp_methods, constants_methods},
      {Py_tp_doc, const_cast<char*>("Enumeration constants of the loaded type libraries, by name.")},
      {0, nullptr},
  };
  static PyType_Spec spec{"win32com.client.Constants", sizeof(ConstantsObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  Ref type = Ref::check(PyType_FromSpec(&spec));
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  Ref constants = Ref::check(tp->tp_alloc(tp, 0));
  reinterpret_cast<ConstantsObject*>(constants.get())->values = Ref::check(PyDict_New()).release();
  g_constants = constants.release();
  zt::check_status(PyModule_AddObjectRef(module, "constants", g_constants));
}

// register_typelib(typelib_id, major, minor, constants)
PyObject* py_register_typelib(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return zt::guarded([&] {
    if (nargs != 4) zt::raise(PyExc_TypeError, "register_typelib(typelib_id, major, minor, constants)");
    Ref id = normalised_id(args[0]);
    Ref major = version_number(args[1], "major");
    Ref minor = version_number(args[2], "minor");
    Ref values = Ref::check(PyDict_New());
    zt::check_status(PyDict_Merge(values.get(), args[3], 1));
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(values.get(), &pos, &key, &value))
      if (!PyUnicode_Check(key) || !PyLong_Check(value))
        zt::raise(PyExc_TypeError, "constants must map names (str) to integers");
    Ref entry = Ref::check(PyTuple_Pack(3, major.get(), minor.get(), values.get()));
    zt::check_status(PyDict_SetItem(g_typelibs, id.get(), entry.get()));
    return zt::none();
  });
}

// register_component(progid, factory, typelib_id)
PyObject* py_register_component(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return zt::guarded([&] {
    if (nargs != 3) zt::raise(PyExc_TypeError, "register_component(progid, factory, typelib_id)");
    if (!PyUnicode_Check(args[0])) zt::raise(PyExc_TypeError, "a ProgID must be a str");
    if (!PyCallable_Check(args[1])) zt::raise(PyExc_TypeError, "factory must be callable");
    Ref id = args[2] == Py_None ? Ref::borrow(Py_None) : normalised_id(args[2]);
    Ref entry = Ref::check(PyTuple_Pack(2, args[1], id.get()));
    zt::check_status(PyDict_SetItem(g_components, args[0], entry.get()));
    return zt::none();
  });
}

// ensure_typelib(typelib_id, lcid, major, minor) -> {name: value}; merges the constants.
PyObject* py_ensure_typelib(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return zt::guarded([&]() -> PyObject* {
    if (nargs != 4) zt::raise(PyExc_TypeError, "EnsureModule(typelibCLSID, lcid, major, minor)");
    Ref id = normalised_id(args[0]);
    Ref major = version_number(args[2], "major");  // may run Python code: before the lookup
    // Held: registering again would free the entry while it is used.
    Ref entry = Ref::borrow(PyDict_GetItemWithError(g_typelibs, id.get()));
    if (!entry) {
      if (PyErr_Occurred()) throw zt::PythonError{};
      raise_com_error(TYPE_E_LIBNOTREGISTERED);
    }
    // Both are ints: comparing them runs no Python code and cannot fail.
    if (PyObject_RichCompareBool(major.get(), PyTuple_GET_ITEM(entry.get(), 0), Py_EQ) != 1)
      raise_com_error(TYPE_E_LIBNOTREGISTERED);
    PyObject* values = PyTuple_GET_ITEM(entry.get(), 2);
    // The first library to define a name keeps it, as lookups in loading order would.
    PyObject* table = reinterpret_cast<ConstantsObject*>(g_constants)->values;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(values, &pos, &key, &value))
      if (!PyDict_SetDefault(table, key, value)) throw zt::PythonError{};
    return Ref::borrow(values).release();
  });
}

// Dispatch(obj, *ignored): a ProgID creates the component here; a wrapper is returned as
// it is; a bare interface or any other object is wrapped.
PyObject* py_dispatch(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return zt::guarded([&]() -> PyObject* {
    if (nargs < 1) zt::raise(PyExc_TypeError, "Dispatch() missing required argument 'dispatch'");
    PyObject* obj = args[0];
    if (is_dispatch(obj)) return Ref::borrow(obj).release();
    if (is_bare_interface(obj)) {
      Binding b = binding_of(obj);
      return new_dispatch(b.target, *b.apartment, b.proxy).release();
    }
    if (obj == Py_None) zt::raise(PyExc_TypeError, "None can not be converted to a COM object");
    ThreadState* thread = current_thread_state();
    std::shared_ptr<Apartment> here = thread ? thread->apartment : nullptr;
    if (!PyUnicode_Check(obj)) return new_dispatch(obj, here, false).release();

    if (!here) raise_com_error(CO_E_NOTINITIALIZED);
    // Held: the factory may register components and so free its own entry.
    Ref entry = Ref::borrow(PyDict_GetItemWithError(g_components, obj));
    if (!entry) {
      if (PyErr_Occurred()) throw zt::PythonError{};
      raise_com_error(CO_E_CLASSSTRING);
    }
    PyObject* component = PyObject_CallNoArgs(PyTuple_GET_ITEM(entry.get(), 0));
    if (!component) {
      convert_component_error();
      throw zt::PythonError{};
    }
    Ref owned = Ref::steal(component);
    add_component(owned.get(), here);
    return new_dispatch(owned.get(), here, false).release();
  });
}

}  // namespace comsim

// com_error and pywintypes.error, and the mapping of component exceptions to com_error.
#include "errors.h"

#include "guard.h"

namespace comsim {

using zt::Ref;

namespace {

PyObject* g_com_error = nullptr;    // owned by the module, never freed
PyObject* g_win32_error = nullptr;  // owned by the module, never freed

// The fields of com_error are its args, as in the real bridge.
PyObject* arg_at(PyObject* self, Py_ssize_t i) {
  Ref args = Ref::steal(PyObject_GetAttrString(self, "args"));
  if (!args) return nullptr;
  if (PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) > i)
    return Ref::borrow(PyTuple_GET_ITEM(args.get(), i)).release();
  Py_RETURN_NONE;
}

PyObject* get_hresult(PyObject* self, void*) { return arg_at(self, 0); }
PyObject* get_strerror(PyObject* self, void*) { return arg_at(self, 1); }
PyObject* get_excepinfo(PyObject* self, void*) { return arg_at(self, 2); }
PyObject* get_argerror(PyObject* self, void*) { return arg_at(self, 3); }
PyObject* get_winerror(PyObject* self, void*) { return arg_at(self, 0); }
PyObject* get_funcname(PyObject* self, void*) { return arg_at(self, 1); }

PyGetSetDef com_error_getset[] = {
    {"hresult", get_hresult, nullptr, nullptr, nullptr},
    {"strerror", get_strerror, nullptr, nullptr, nullptr},
    {"excepinfo", get_excepinfo, nullptr, nullptr, nullptr},
    {"argerror", get_argerror, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef win32_error_getset[] = {
    {"winerror", get_winerror, nullptr, nullptr, nullptr},
    {"funcname", get_funcname, nullptr, nullptr, nullptr},
    {"strerror", get_excepinfo, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* make_type(const char* name, PyGetSetDef* getset, const char* doc) {
  PyType_Slot slots[] = {
      {Py_tp_getset, getset},
      {Py_tp_doc, const_cast<char*>(doc)},
      {0, nullptr},
  };
  PyType_Spec spec{name, 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
  Ref bases = Ref::check(PyTuple_Pack(1, PyExc_Exception));
  return Ref::check(PyType_FromSpecWithBases(&spec, bases.get())).release();
}

}  // namespace

const char* hresult_text(HRESULT hr) noexcept {
  switch (hr) {
    case E_FAIL: return "Unspecified error";
    case E_INVALIDARG: return "The parameter is incorrect.";
    case CO_E_NOTINITIALIZED: return "CoInitialize has not been called.";
    case CO_E_CLASSSTRING: return "Invalid class string";
    case REGDB_E_CLASSNOTREG: return "Class not registered";
    case RPC_E_DISCONNECTED: return "The object invoked has disconnected from its clients.";
    case RPC_E_WRONG_THREAD:
      return "The application called an interface that was marshalled for a different thread.";
    case DISP_E_MEMBERNOTFOUND: return "Member not found.";
    case DISP_E_EXCEPTION: return "Exception occurred.";
    case TYPE_E_LIBNOTREGISTERED: return "Library not registered.";
    default: return nullptr;
  }
}

void init_error_types(PyObject* module) {
  g_com_error = make_type("pywintypes.com_error", com_error_getset,
                          "A COM call failed: args are (hresult, strerror, excepinfo, argerror).");
  g_win32_error = make_type("pywintypes.error", win32_error_getset,
                            "A Win32 call failed: args are (winerror, funcname, strerror).");
  zt::check_status(PyModule_AddObjectRef(module, "com_error", g_com_error));
  zt::check_status(PyModule_AddObjectRef(module, "error", g_win32_error));
}

PyObject* com_error_type() noexcept { return g_com_error; }
PyObject* win32_error_type() noexcept { return g_win32_error; }

void raise_com_error(HRESULT hr, PyObject* excepinfo) {
  const char* text = hresult_text(hr);
  Ref value = Ref::check(Py_BuildValue("(isOO)", static_cast<int>(hr), text ? text : "",
                                       excepinfo ? excepinfo : Py_None, Py_None));
  PyErr_SetObject(g_com_error, value.get());
  throw zt::PythonError{};
}

void raise_win32_error(long code, const char* function, const char* message) {
  Ref value = Ref::check(Py_BuildValue("(lss)", code, function, message));
  PyErr_SetObject(g_win32_error, value.get());
  throw zt::PythonError{};
}

void convert_component_error() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (!type || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type),
                                 reinterpret_cast<PyTypeObject*>(PyExc_Exception)) ||
      PyErr_GivenExceptionMatches(type, g_com_error)) {
    PyErr_Restore(type, value, tb);
    return;
  }
  if (tb) PyException_SetTraceback(value, tb);
  Ref message = Ref::steal(PyObject_Str(value));
  if (!message) {
    PyErr_Clear();
    message = Ref::steal(PyUnicode_FromString("<unprintable error>"));
  }
  Ref excepinfo = Ref::steal(
      Py_BuildValue("(isOOii)", 0, reinterpret_cast<PyTypeObject*>(type)->tp_name,
                    message ? message.get() : Py_None, Py_None, 0, static_cast<int>(E_FAIL)));
  Ref args = Ref::steal(Py_BuildValue("(isOO)", static_cast<int>(DISP_E_EXCEPTION),
                                      hresult_text(DISP_E_EXCEPTION),
                                      excepinfo ? excepinfo.get() : Py_None, Py_None));
  Ref error = args ? Ref::steal(PyObject_Call(g_com_error, args.get(), nullptr)) : Ref();
  if (!error) {  // could not even build the com_error: let the original through
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    return;
  }
  PyException_SetCause(error.get(), value);  // steals value
  Py_XDECREF(type);
  Py_XDECREF(tb);
  PyErr_SetObject(g_com_error, error.get());
}

void report_error(const char* headline) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
  // Held: a write() may replace sys.stderr and so drop the interpreter's reference.
  Ref err = Ref::borrow(PySys_GetObject("stderr"));
  if (err && err.get() != Py_None) {
    if (PyFile_WriteString(headline, err.get()) < 0 || PyFile_WriteString("\n", err.get()) < 0)
      PyErr_Clear();  // the traceback below still tries sys.stderr as it is then
  }
  Ref traceback = Ref::steal(PyImport_ImportModule("traceback"));
  Ref printed = traceback ? Ref::steal(PyObject_CallMethod(traceback.get(), "print_exception",
                                                            "OOO", t ? t.get() : Py_None,
                                                            v ? v.get() : Py_None,
                                                            b ? b.get() : Py_None))
                          : Ref();
  if (!printed) PyErr_Clear();  // stderr itself failed: nothing more can be said
}

}  // namespace comsim

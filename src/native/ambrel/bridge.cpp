// The COM bridge as this module reaches it: the three bridge modules and calls into them.
#include "bridge.h"

namespace ambrel::bridge {

namespace {

// Set once by import_modules (module init, GIL held), never released.
PyObject* g_pythoncom = nullptr;
PyObject* g_win32com_client = nullptr;
PyObject* g_win32event = nullptr;

constexpr const char kTypeLibrary[] = "{51F35562-AEB4-4AB3-99E8-AC9666344B64}";

}  // namespace

void import_modules() {
  PyObject* pythoncom = zt::Ref::check(PyImport_ImportModule("pythoncom")).release();
  Py_XSETREF(g_pythoncom, pythoncom);
  PyObject* client = zt::Ref::check(PyImport_ImportModule("win32com.client")).release();
  Py_XSETREF(g_win32com_client, client);
  PyObject* win32event = zt::Ref::check(PyImport_ImportModule("win32event")).release();
  Py_XSETREF(g_win32event, win32event);
}

void ensure_type_library() {
  zt::Ref gencache = attr(g_win32com_client, "gencache");
  zt::Ref id = zt::Ref::check(PyUnicode_FromString(kTypeLibrary));
  zt::Ref lcid = zt::Ref::check(PyLong_FromLong(0));
  zt::Ref major = zt::Ref::check(PyLong_FromLong(4));
  zt::Ref minor = zt::Ref::check(PyLong_FromLong(0));
  call(gencache.get(), "EnsureModule", {id.get(), lcid.get(), major.get(), minor.get()});
}

PyObject* pythoncom() { return g_pythoncom; }
PyObject* win32com_client() { return g_win32com_client; }
PyObject* win32event() { return g_win32event; }

zt::Ref attr(PyObject* module, const char* name) {
  return zt::Ref::check(PyObject_GetAttrString(module, name));
}

zt::Ref call(PyObject* module, const char* name, std::initializer_list<PyObject*> args) {
  zt::Ref fn = attr(module, name);
  return zt::Ref::check(PyObject_Vectorcall(fn.get(), args.begin(), args.size(), nullptr));
}

}  // namespace ambrel::bridge

// The COM bridge as this module reaches it: only through the Python modules pythoncom,
// win32com.client and win32event, so the same code runs on pywin32 and on the stand-in.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>

#include "py_ref.h"

namespace ambrel::bridge {

// Imports the three bridge modules; call once from the module's init.
void import_modules();

// Ensures the component's type library (its constants and event interface).
void ensure_type_library();

// The imported modules (borrowed; held for the life of the process).
PyObject* pythoncom();
PyObject* win32com_client();
PyObject* win32event();

// module.name, looked up at every use so the bridge may be patched at run time.
zt::Ref attr(PyObject* module, const char* name);
// module.name(*args)
zt::Ref call(PyObject* module, const char* name, std::initializer_list<PyObject*> args);

}  // namespace ambrel::bridge

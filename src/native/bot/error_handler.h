// The bot's error handler on its dispatcher: every error of a handler or of polling is one
// printed line instead of the client library's traceback.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zt::bot {

// Adds the module function `error_handler(update, context)` and keeps it for registration.
void add_error_handler_function(PyObject* module);
// The module function (borrowed; lives for the process).
PyObject* error_handler_function();

}  // namespace zt::bot

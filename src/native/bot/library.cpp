// Binding of the Telegram client library and reading of the host's settings at load.
#include "library.h"

#include "args.h"

namespace zt::bot {

namespace {

Library g_library;    // see Library: written once at load
Settings g_settings;  // see Settings: written once at load

// An int stays, another number becomes an int, None stays None; anything else fails the load.
Ref to_chat_id(PyObject* value) {
  if (value == Py_None || PyLong_CheckExact(value)) return Ref::borrow(value);
  if (PyLong_Check(value) || PyFloat_Check(value) ||
      (PyNumber_Check(value) && !PyComplex_Check(value)))
    return Ref::check(PyNumber_Long(value));
  raise_format(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(value)->tp_name);
}

}  // namespace

Ref import_name(const char* module, const char* name) {
  Ref mod = Ref::check(PyImport_ImportModule(module));
  PyObject* value = PyObject_GetAttrString(mod.get(), name);
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    raise_format(PyExc_ImportError, "cannot import name '%.200s' from '%.200s'", name, module);
  }
  return Ref::check(value);
}

void bind_library() {
  Library lib;
  lib.datetime = import_name("datetime", "datetime").release();
  lib.Update = import_name("telegram", "Update").release();
  lib.Updater = import_name("telegram.ext", "Updater").release();
  lib.ExtBot = import_name("telegram.ext", "ExtBot").release();
  lib.CallbackContext = import_name("telegram.ext", "CallbackContext").release();
  lib.CommandHandler = import_name("telegram.ext", "CommandHandler").release();
  lib.MessageHandler = import_name("telegram.ext", "MessageHandler").release();
  lib.TypeHandler = import_name("telegram.ext", "TypeHandler").release();
  lib.Filters = import_name("telegram.ext", "Filters").release();
  lib.DispatcherHandlerStop = import_name("telegram.ext", "DispatcherHandlerStop").release();
  lib.Request = import_name("telegram.utils.request", "Request").release();
  lib.RetryAfter = import_name("telegram.error", "RetryAfter").release();
  g_library = lib;
}

void read_settings() {
  Settings s;
  s.token = import_name("zandor_trader_config", "TELEGRAM_TOKEN").release();
  s.chat_id = import_name("zandor_trader_config", "TELEGRAM_CHAT_ID").release();
  // Optional: a host configuration without it means Telegram itself.
  Ref config = Ref::check(PyImport_ImportModule("zandor_trader_config"));
  PyObject* base_url = PyObject_GetAttrString(config.get(), "TELEGRAM_BASE_URL");
  if (!base_url) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    base_url = Py_NewRef(Py_None);
  }
  s.base_url = base_url;
  s.default_chat = to_chat_id(s.chat_id).release();
  g_settings = s;
}

const Library& library() { return g_library; }
const Settings& settings() { return g_settings; }

}  // namespace zt::bot

// The outside names the bot is built from: the Telegram client library's classes, the
// interpreter's date-time class and the host's settings.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.h"

namespace zt::bot {

// Every pointer is an owned reference bound once while the module loads (under the GIL)
// and never changed or freed afterwards, so any thread holding the GIL may read them.
struct Library {
  PyObject* datetime = nullptr;  // datetime.datetime
  PyObject* Update = nullptr;
  PyObject* Updater = nullptr;
  PyObject* ExtBot = nullptr;
  PyObject* CallbackContext = nullptr;
  PyObject* CommandHandler = nullptr;
  PyObject* MessageHandler = nullptr;
  PyObject* TypeHandler = nullptr;
  PyObject* Filters = nullptr;
  PyObject* DispatcherHandlerStop = nullptr;
  PyObject* Request = nullptr;
  PyObject* RetryAfter = nullptr;  // telegram.error.RetryAfter: a 429 from the Bot API
};

// The host's settings, read once at load; same lifetime rule as Library.
struct Settings {
  PyObject* token = nullptr;          // TELEGRAM_TOKEN as configured
  PyObject* chat_id = nullptr;        // TELEGRAM_CHAT_ID as configured
  PyObject* base_url = nullptr;       // TELEGRAM_BASE_URL, None: Telegram itself
  PyObject* default_chat = nullptr;   // chat_id as an int, or None: the operator's chat
};

// Binds the library (an ImportError when it is missing) and reads the settings.
void bind_library();
void read_settings();

const Library& library();
const Settings& settings();

// `from <module> import <name>`: a new reference, ImportError when the name is missing.
Ref import_name(const char* module, const char* name);

}  // namespace zt::bot

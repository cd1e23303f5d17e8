// Module zandor_trader.plugins.telegram.bot: loading builds the operator's bot and starts it.
#include "bot_names.h"
#include "customed_ext_bot.h"
#include "error_handler.h"
#include "fields.h"
#include "guard.h"
#include "handlers.h"
#include "library.h"
#include "module_gil.h"
#include "replies.h"
#include "error_state.h"
#include "telegram_bot.h"

namespace zt::bot {

namespace {

// The self-test a run as the main program performs (see the package's __main__): greet the
// operator's chat and close. The bot is closed even when the greeting fails, so that its
// threads do not keep the process alive.
PyObject* self_test(PyObject* module, PyObject*) {
  return guarded([&] {
    Ref bot = Ref::check(PyObject_GetAttrString(module, "bot"));
    Ref chat_id = Ref::check(PyObject_GetAttrString(module, "TELEGRAM_CHAT_ID"));
    check_status(PyObject_SetAttrString(module, "chat_id", chat_id.get()));
    Ref send = Ref::check(PyObject_GetAttrString(bot.get(), "send_message"));
    Ref greeting = Ref::check(PyUnicode_FromString("Yes I am here!"));
    Ref kwargs = Ref::check(
        Py_BuildValue("{sOsO}", "chat_id", chat_id.get(), "msg", greeting.get()));
    Ref no_args = Ref::check(PyTuple_New(0));
    Ref sent = Ref::steal(PyObject_Call(send.get(), no_args.get(), kwargs.get()));

    SavedError failure;
    Ref closed = Ref::check(PyObject_CallMethod(bot.get(), "close", nullptr));
    Ref done = Ref::check(PyUnicode_FromString("Closed."));
    print_line(done.get());
    if (!failure.empty()) {
      failure.restore();
      throw PythonError{};
    }
    return none();
  });
}

PyMethodDef g_module_methods[] = {
    {"_self_test", self_test, METH_NOARGS,
     "Send \"Yes I am here!\" to the operator's chat through `bot`, close it, print "
     "\"Closed.\"."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module{
    PyModuleDef_HEAD_INIT,
    "bot",
    "The operator's Telegram bot. Loading the module builds `bot` and starts polling.\n\n"
    "Command handlers raise request flags and leave their parameters on the bot object; the\n"
    "trading engine reads and lowers them through the TelegramBot properties and answers\n"
    "with TelegramBot.send_message. Only the configured chat is served.",
    -1,
    g_module_methods,
};

void add(PyObject* module, const char* name, PyObject* value) {
  check_status(PyModule_AddObjectRef(module, name, value));
}

PyObject* load() {
  intern_names();
  init_output();
  bind_library();
  read_settings();
  intern_field_names();
  Ref module = Ref::check(PyModule_Create(&g_module));
  zt::declare_gil_used(module.get());
  const Settings& config = settings();
  add(module.get(), "TELEGRAM_TOKEN", config.token);
  add(module.get(), "TELEGRAM_CHAT_ID", config.chat_id);
  add(module.get(), "TELEGRAM_BASE_URL", config.base_url);

  Ref ext_bot_type = make_customed_ext_bot_type();
  add(module.get(), "CustomedExtBot", ext_bot_type.get());
  add_handler_functions(module.get());
  add_error_handler_function(module.get());
  Ref bot_type = make_telegram_bot_type(ext_bot_type.get());
  add(module.get(), "TelegramBot", bot_type.get());

  Ref kwargs = Ref::check(Py_BuildValue("{sO}", "token", config.token));
  Ref no_args = Ref::check(PyTuple_New(0));
  Ref bot = Ref::check(PyObject_Call(bot_type.get(), no_args.get(), kwargs.get()));
  add(module.get(), "bot", bot.get());
  return module.release();
}

}  // namespace

}  // namespace zt::bot

PyMODINIT_FUNC PyInit_bot(void) {
  return zt::guarded([] { return zt::bot::load(); });
}

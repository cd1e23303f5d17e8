// TelegramBot: construction of the polling client, the field properties and the methods.
#include "telegram_bot.h"

#include <initializer_list>
#include <utility>
#include <vector>

#include "args.h"
#include "fields.h"
#include "guard.h"
#include "error_handler.h"
#include "handlers.h"
#include "library.h"
#include "paced_send.h"
#include "replies.h"
#include "reply_pacing.h"
#include "error_state.h"
#include "structmember.h"
#include "texts.h"

namespace zt::bot {

namespace {

PyObject* g_ext_bot_type = nullptr;  // CustomedExtBot; set at load, read-only afterwards

// Dispatcher worker threads; the bot's connection pool has room for them and four more
// (dispatcher, poller, job queue, caller).
constexpr long kWorkers = 4;

struct TelegramBotObject {
  PyObject_HEAD
  // Every member is read and written with the GIL held.
  PyObject* updater;   // the polling client, set once by __init__
  PyObject* bot;       // updater.bot, kept beside it so the properties skip one look-up
  PyObject* updates;   // the last get_updates result; NULL before the first call
  PyObject* dict;
  PyObject* weakrefs;
  // The engine's sends, paced; made with the object. Threads waiting in it are in a call of
  // the object's, whose caller holds it, so it outlives them.
  SendPacer* pacer;
};

TelegramBotObject* as_bot(PyObject* self) { return reinterpret_cast<TelegramBotObject*>(self); }

// The bot object of an initialised TelegramBot.
PyObject* bot_of(PyObject* self) {
  PyObject* bot = as_bot(self)->bot;
  if (!bot)
    raise_format(PyExc_AttributeError, "'%.100s' object has no attribute 'updater'",
                 Py_TYPE(self)->tp_name);
  return bot;
}

using Kwargs = std::initializer_list<std::pair<const char*, PyObject*>>;

// callable(**kwargs); a null value leaves that keyword out.
Ref call(PyObject* callable, Kwargs kwargs) {
  Ref dict = Ref::check(PyDict_New());
  for (const auto& [name, value] : kwargs)
    if (value) check_status(PyDict_SetItemString(dict.get(), name, value));
  Ref no_args = Ref::check(PyTuple_New(0));
  return Ref::check(PyObject_Call(callable, no_args.get(), dict.get()));
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
  std::vector<PyObject*> v(args);
  return Ref::check(PyObject_Vectorcall(callable, v.data(), v.size(), nullptr));
}

Ref method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args = {}) {
  Ref bound = Ref::check(PyObject_GetAttrString(obj, name));
  return call(bound.get(), args);
}

// Binds tp_init's tuple and dict like a vectorcall.
void bind_init_args(const Signature& sig, PyObject* args, PyObject* kwds, PyObject** out) {
  std::vector<PyObject*> flat;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
  Ref kwnames;
  if (kwds && PyDict_GET_SIZE(kwds) > 0) {
    kwnames = Ref::check(PyTuple_New(PyDict_GET_SIZE(kwds)));
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
      PyTuple_SET_ITEM(kwnames.get(), i++, Py_NewRef(key));
      flat.push_back(value);
    }
  }
  bind_args(sig, flat.data(), PyTuple_GET_SIZE(args), kwnames.get(), out);
}

// Starts polling, dropping what was sent while the bot was down. A failed start stops the
// parts already running before the error goes on.
void start_polling(PyObject* updater) {
  try {
    Ref start = Ref::check(PyObject_GetAttrString(updater, "start_polling"));
    call(start.get(), Kwargs{{"drop_pending_updates", Py_True}});
  } catch (const PythonError&) {
    SavedError failure;
    Ref stopped = Ref::steal(PyObject_CallMethod(updater, "stop", nullptr));
    if (!stopped) PyErr_WriteUnraisable(updater);
    failure.restore();
    throw;
  }
}

void register_handlers(PyObject* updater) {
  const Library& lib = library();
  Ref dispatcher = Ref::check(PyObject_GetAttrString(updater, "dispatcher"));
  Ref commands[kCommandHandlerCount];
  for (std::size_t i = 0; i < kCommandHandlerCount; ++i) {
    auto id = static_cast<HandlerId>(i);
    Ref name = Ref::check(PyUnicode_FromString(handler_name(id)));
    commands[i] = call(lib.CommandHandler, {name.get(), handler_function(id)});
  }
  Ref text = Ref::check(PyObject_GetAttrString(lib.Filters, "text"));
  Ref command = Ref::check(PyObject_GetAttrString(lib.Filters, "command"));
  Ref not_command = Ref::check(PyNumber_Invert(command.get()));
  Ref plain_text = Ref::check(PyNumber_And(text.get(), not_command.get()));
  Ref echo_handler = call(lib.MessageHandler, {plain_text.get(), handler_function(kEchoHandler)});
  Ref help_name = Ref::check(PyUnicode_FromString(handler_name(kHelpHandler)));
  Ref help_handler = call(lib.CommandHandler, {help_name.get(), handler_function(kHelpHandler)});
  Ref guard_handler = call(lib.TypeHandler, {lib.Update, handler_function(kGuardHandler)});

  method(dispatcher.get(), "add_handler", {echo_handler.get()});
  for (const Ref& handler : commands) method(dispatcher.get(), "add_handler", {handler.get()});
  method(dispatcher.get(), "add_handler", {help_handler.get()});
  // An earlier group: the guard sees every update before any handler does.
  Ref guard_group = Ref::check(PyLong_FromLong(-1));
  method(dispatcher.get(), "add_handler", {guard_handler.get(), guard_group.get()});
  // Errors of the handlers and of polling: one printed line each, no traceback.
  method(dispatcher.get(), "add_error_handler", {error_handler_function()});
}

int tb_init(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded_status([&] {
    static const char* const names[] = {"token"};
    static const Signature sig{"__init__", names, 1, 1};
    PyObject* token = nullptr;
    bind_init_args(sig, args, kwds, &token);
    require_str(token, "token");
    TelegramBotObject* tb = as_bot(self);
    if (tb->updater) raise(PyExc_RuntimeError, "this TelegramBot is already running");

    const Settings& config = settings();
    Ref pool_size = Ref::check(PyLong_FromLong(kWorkers + 4));
    Ref request = call(library().Request, Kwargs{{"con_pool_size", pool_size.get()}});
    PyObject* base_url = config.base_url == Py_None ? nullptr : config.base_url;
    Ref ext_bot = call(g_ext_bot_type, Kwargs{{"token", token},
                                              {"base_url", base_url},
                                              {"request", request.get()}});
    Ref workers = Ref::check(PyLong_FromLong(kWorkers));
    Ref updater = call(library().Updater, Kwargs{{"use_context", Py_True},
                                                 {"bot", ext_bot.get()},
                                                 {"workers", workers.get()}});
    Ref bot = Ref::check(PyObject_GetAttrString(updater.get(), "bot"));
    for (std::size_t i = 0; i < kFieldCount; ++i) {
      auto id = static_cast<FieldId>(i);
      set_field(bot.get(), id, initial_value(id).get());
    }
    register_handlers(updater.get());
    // Paced before the first update can be dispatched; forgotten if polling does not start,
    // as the client bot then goes and its address may be reused.
    pace_replies(bot.get(), self, tb->pacer);
    try {
      start_polling(updater.get());
    } catch (const PythonError&) {
      stop_pacing_replies(bot.get(), self);
      throw;
    }
    tb->updater = updater.release();
    tb->bot = bot.release();
    return 0;
  });
}

int tb_traverse(PyObject* self, visitproc visit, void* arg) {
  TelegramBotObject* tb = as_bot(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(tb->updater);
  Py_VISIT(tb->bot);
  Py_VISIT(tb->updates);
  Py_VISIT(tb->dict);
  return 0;
}

int tb_clear(PyObject* self) {
  TelegramBotObject* tb = as_bot(self);
  if (tb->bot) stop_pacing_replies(tb->bot, self);
  Py_CLEAR(tb->updater);
  Py_CLEAR(tb->bot);
  Py_CLEAR(tb->updates);
  Py_CLEAR(tb->dict);
  return 0;
}

PyObject* tb_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded([&] {
    Ref self = Ref::check(PyType_GenericNew(type, args, kwds));
    as_bot(self.get())->pacer = new SendPacer();
    return self.release();
  });
}

void tb_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (as_bot(self)->weakrefs) PyObject_ClearWeakRefs(self);
  tb_clear(self);
  delete as_bot(self)->pacer;
  type->tp_free(self);
  Py_DECREF(type);
}

// Properties: closure is the field's index.
FieldId field_of(void* closure) { return static_cast<FieldId>(reinterpret_cast<std::size_t>(closure)); }

PyObject* tb_get_field(PyObject* self, void* closure) {
  return guarded([&] { return get_field(bot_of(self), field_of(closure)).release(); });
}

int tb_set_field(PyObject* self, PyObject* val, void* closure) {
  return guarded_status([&] {
    FieldId id = field_of(closure);
    if (!val) raise_format(PyExc_AttributeError, "can't delete attribute '%s'", kFields[id].name);
    PyObject* bot = bot_of(self);
    switch (kFields[id].store) {
      case Store::Text:
        set_field(bot, id, require_str(val, "val"));
        break;
      case Store::Flag:
        set_field(bot, id, check_status(PyObject_IsTrue(val)) ? Py_True : Py_False);
        break;
      case Store::Value:
        set_field(bot, id, val);
        break;
    }
    return 0;
  });
}

PyGetSetDef g_getset[kFieldCount + 1];  // filled at load, read-only afterwards

void fill_getset() {
  for (std::size_t i = 0; i < kFieldCount; ++i)
    g_getset[i] = {kFields[i].name, tb_get_field, tb_set_field, nullptr,
                   reinterpret_cast<void*>(i)};
  g_getset[kFieldCount] = {nullptr, nullptr, nullptr, nullptr, nullptr};
}

// Methods.

PyObject* tb_close(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig{"close", nullptr, 0, 0};
    bind_args(sig, args, nargs, kwnames, nullptr);
    bot_of(self);
    as_bot(self)->pacer->close();  // every pacing wait ends now; later sends are not paced
    method(as_bot(self)->updater, "stop");
    return none();
  });
}

PyObject* tb_get_updates(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig{"get_updates", nullptr, 0, 0};
    bind_args(sig, args, nargs, kwnames, nullptr);
    Ref updates = method(bot_of(self), "get_updates");
    Py_XSETREF(as_bot(self)->updates, Py_NewRef(updates.get()));
    Ref first = Ref::check(PySequence_GetItem(updates.get(), 0));
    print_line(first.get());
    return none();
  });
}

PyObject* tb_get_chat_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig{"get_chat_id", nullptr, 0, 0};
    bind_args(sig, args, nargs, kwnames, nullptr);
    method(self, "get_updates");
    Ref updates = Ref::check(PyObject_GetAttrString(self, "updates"));
    Ref first = Ref::check(PySequence_GetItem(updates.get(), 0));
    Ref message = Ref::check(PyObject_GetAttrString(first.get(), "message"));
    Ref user = Ref::check(PyObject_GetAttrString(message.get(), "from_user"));
    return PyObject_GetAttrString(user.get(), "id");
  });
}

PyObject* tb_send_message(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&] {
    static const char* const names[] = {"msg", "chat_id"};
    static const Signature sig{"send_message", names, 2, 1};
    PyObject* bound[2];
    bind_args(sig, args, nargs, kwnames, bound);
    PyObject* chat_arg = bound[1] ? bound[1] : settings().default_chat;
    Ref chat_id = require_int(chat_arg, "chat_id");
    PyObject* msg = require_str(bound[0], "msg");
    PyObject* bot = bot_of(self);
    send_paced(*as_bot(self)->pacer, bot, chat_id.get(), msg);
    return none();
  });
}

PyObject* tb_send_paced(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&] {
    static const char* const names[] = {"send", "chat_id"};
    static const Signature sig{"send_paced", names, 2, 1};
    PyObject* bound[2];
    bind_args(sig, args, nargs, kwnames, bound);
    if (!PyCallable_Check(bound[0])) raise_arg_type("send", "callable", bound[0]);
    PyObject* chat_arg = bound[1] ? bound[1] : settings().default_chat;
    Ref chat_id = require_int(chat_arg, "chat_id");
    bot_of(self);
    return call_paced(*as_bot(self)->pacer, chat_id.get(), bound[0]).release();
  });
}

PyObject* tb_pace_sends(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&] { return pace_sends(*as_bot(self)->pacer, args, nargs, kwnames); });
}

PyMethodDef g_methods[] = {
    {"close", fastcall(tb_close), METH_FASTCALL | METH_KEYWORDS,
     "close($self)\n--\n\nStop polling and dispatching. Every wait of a paced send ends now "
     "and later sends\nare not paced. The fields keep their values."},
    {"get_updates", fastcall(tb_get_updates), METH_FASTCALL | METH_KEYWORDS,
     "get_updates($self)\n--\n\nFetch the pending updates into `updates` and print the first."},
    {"get_chat_id", fastcall(tb_get_chat_id), METH_FASTCALL | METH_KEYWORDS,
     "get_chat_id($self)\n--\n\nThe user id of the sender of the first pending update."},
    {"send_message", fastcall(tb_send_message), METH_FASTCALL | METH_KEYWORDS,
     // The default by its full name: inspect resolves it through sys.modules.
     "send_message($self, msg, chat_id=zandor_trader.plugins.telegram.bot.TELEGRAM_CHAT_ID)\n--\n\n"
     "Send `msg` to the chat `chat_id`, split at line breaks when it is longer than one "
     "message may be. The messages are paced\nto Telegram's flood limits (see pace_sends) and "
     "one answered \"retry after N\" is sent\nagain N seconds later; one given up is reported "
     "on a printed line and its error raised."},
    {"send_paced", fastcall(tb_send_paced), METH_FASTCALL | METH_KEYWORDS,
     "send_paced($self, send, chat_id=zandor_trader.plugins.telegram.bot.TELEGRAM_CHAT_ID)\n--\n\n"
     "Call `send()`, which sends one message of any kind to the chat `chat_id` through the\n"
     "client (updater.bot), in turn with send_message's messages and counted against the\n"
     "same flood limits; after a \"retry after N\" it is called again N seconds later. Returns\n"
     "what send() returned; a message given up is reported on a printed line and its error\n"
     "raised."},
    {"pace_sends", fastcall(tb_pace_sends), METH_FASTCALL | METH_KEYWORDS,
     "pace_sends($self, chat_rate=None, chat_burst=None, total_rate=None, total_burst=None)\n"
     "--\n\n"
     "Set how fast send_message sends: rate messages a second after a burst, to one chat\n"
     "and in all (a rate of 0: no limit; None keeps the current value). Returns the limits\n"
     "in force; by default 1 a second after 3 to a chat, and 30 a second in all."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef g_members[] = {
    {"updater", T_OBJECT_EX, offsetof(TelegramBotObject, updater), READONLY,
     "The polling client (telegram.ext.Updater)."},
    {"updates", T_OBJECT_EX, offsetof(TelegramBotObject, updates), 0,
     "The updates fetched by the last get_updates call."},
    {"__dictoffset__", T_PYSSIZET, offsetof(TelegramBotObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(TelegramBotObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

Ref make_telegram_bot_type(PyObject* customed_ext_bot_type) {
  g_ext_bot_type = Py_NewRef(customed_ext_bot_type);
  fill_getset();
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kHelpText)},
      {Py_tp_new, reinterpret_cast<void*>(tb_new)},
      {Py_tp_init, reinterpret_cast<void*>(tb_init)},
      {Py_tp_traverse, reinterpret_cast<void*>(tb_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(tb_clear)},
      {Py_tp_dealloc, reinterpret_cast<void*>(tb_dealloc)},
      {Py_tp_getset, g_getset},
      {Py_tp_methods, g_methods},
      {Py_tp_members, g_members},
      {0, nullptr},
  };
  static PyType_Spec spec{"zandor_trader.plugins.telegram.bot.TelegramBot",
                          sizeof(TelegramBotObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
  return Ref::check(PyType_FromSpec(&spec));
}

}  // namespace zt::bot

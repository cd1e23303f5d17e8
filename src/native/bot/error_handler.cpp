// error_handler: one printed line per error the dispatcher hands over.
#include "error_handler.h"

#include "args.h"
#include "guard.h"
#include "replies.h"

namespace zt::bot {

namespace {

// getattr(obj, name, None): an object the library hands over may lack any of these.
Ref attribute_or_none(PyObject* obj, const char* name) {
  if (obj == Py_None) return Ref::borrow(Py_None);
  PyObject* value = PyObject_GetAttrString(obj, name);
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return Ref::borrow(Py_None);
  }
  return Ref::check(value);
}

// " while handling '<text>'" for an update that carries a message text, "" otherwise.
Ref while_handling(PyObject* update) {
  Ref message = attribute_or_none(update, "effective_message");
  Ref text = attribute_or_none(message.get(), "text");
  if (!PyUnicode_Check(text.get()) || PyUnicode_GET_LENGTH(text.get()) == 0)
    return Ref::check(PyUnicode_FromString(""));
  return format(" while handling %R", text.get());
}

// The client library's errors may name the Bot API's address, which holds the bot's token.
Ref without_token(Ref line, PyObject* context) {
  Ref bot = attribute_or_none(context, "bot");
  Ref token = attribute_or_none(bot.get(), "token");
  if (!PyUnicode_Check(token.get()) || PyUnicode_GET_LENGTH(token.get()) == 0) return line;
  Ref blank = Ref::check(PyUnicode_FromString("***"));
  return Ref::check(PyUnicode_Replace(line.get(), token.get(), blank.get(), -1));
}

// "Bot error while handling '/orders 2': RetryAfter: Flood control exceeded. Retry in 5.0
// seconds"; polling errors have no update: "Bot error: NetworkError: ...".
void report(PyObject* update, PyObject* context) {
  Ref error = attribute_or_none(context, "error");
  if (error.get() == Py_None) return;
  Ref type_name = Ref::check(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), "__name__"));
  Ref line = format("Bot error%U: %S: %S", while_handling(update).get(), type_name.get(),
                    error.get());
  print_line(without_token(std::move(line), context).get());
}

PyObject* error_handler(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"update", "context"};
    static const Signature sig{"error_handler", names, 2, 2};
    PyObject* bound[2];
    bind_args(sig, args, nargs, kwnames, bound);
    try {
      report(bound[0], bound[1]);
    } catch (const PythonError&) {
      // An error handler that fails brings back the library's traceback: the line is lost.
      PyErr_Clear();
    }
    return none();
  });
}

PyMethodDef g_methods[] = {
    {"error_handler", fastcall(error_handler), METH_FASTCALL | METH_KEYWORDS,
     "error_handler($module, update, context)\n--\n\n"
     "The dispatcher's error handler: prints context.error on one line, naming its type and\n"
     "the message being handled (the bot's token blanked). Registered by TelegramBot; a host\n"
     "that wants its own takes it off with dispatcher.remove_error_handler(error_handler)."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* g_function = nullptr;  // owned, never freed; set at load

}  // namespace

void add_error_handler_function(PyObject* module) {
  check_status(PyModule_AddFunctions(module, g_methods));
  g_function = Ref::check(PyObject_GetAttrString(module, "error_handler")).release();
}

PyObject* error_handler_function() { return g_function; }

}  // namespace zt::bot

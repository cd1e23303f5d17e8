// The handlers the dispatcher runs for each operator message: argument checks, writes of
// the shared fields in their fixed order, and the replies.
#include "handlers.h"

#include "args.h"
#include "error_state.h"
#include "fields.h"
#include "guard.h"
#include "library.h"
#include "replies.h"
#include "reply_pacing.h"
#include "texts.h"

#include <string>

namespace zt::bot {

namespace {

// One incoming message as a handler sees it: where replies go, and the bot object that
// carries the shared fields. A reply that cannot be sent does not end the handler: its
// writes must still reach the engine. The replies after it are left out, and finish()
// raises the send's error once the handler is done.
class Incoming {
 public:
  Incoming(PyObject* update, PyObject* context) : update_(update), context_(context) {
    Ref chat = Ref::check(PyObject_GetAttrString(update, "effective_chat"));
    chat_id_ = Ref::check(PyObject_GetAttrString(chat.get(), "id"));
    bot_ = Ref::check(PyObject_GetAttrString(context, "bot"));
  }

  PyObject* update() const { return update_; }

  // context.args as a list (empty when the library gave none).
  Ref args() const {
    Ref args = Ref::check(PyObject_GetAttrString(context_, "args"));
    if (args.get() == Py_None) return Ref::check(PyList_New(0));
    return Ref::check(PySequence_List(args.get()));
  }

  Ref get(FieldId id) const { return get_field(bot_.get(), id); }
  void set(FieldId id, PyObject* value) const { set_field(bot_.get(), id, value); }
  void raise(FieldId id) const { set(id, Py_True); }

  void reply(PyObject* text) {
    if (failed_send_) return;
    try {
      send_reply(bot_.get(), chat_id_.get(), text);
    } catch (const PythonError&) {
      failed_send_ = take_error();
    }
  }
  void reply(const char* text) { reply(format("%s", text).get()); }
  // "[<time stamp>" + rest, where rest begins with "]".
  void reply_stamped(const Ref& rest) { reply(stamped(rest.get()).get()); }

  // Raises the error of the reply that failed, if one did.
  void finish() {
    if (!failed_send_) return;
    restore_error(std::move(failed_send_));
    throw PythonError{};
  }

 private:
  PyObject* update_;   // borrowed for the handler's call
  PyObject* context_;  // borrowed for the handler's call
  Ref chat_id_;
  Ref bot_;
  Ref failed_send_;  // the error of the reply that could not be sent
};

bool is_active_filter(PyObject* arg) {
  return PyUnicode_Check(arg) && PyUnicode_CompareWithASCIIString(arg, "-a") == 0;
}

// An optionally signed decimal integer of any size; an empty Ref when `arg` is not one.
Ref parse_count(PyObject* arg) {
  if (!PyUnicode_Check(arg)) return {};
  Py_ssize_t size = 0;
  const char* s = PyUnicode_AsUTF8AndSize(arg, &size);
  if (!s) throw PythonError{};
  Py_ssize_t i = (size > 0 && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
  if (i == size) return {};
  for (Py_ssize_t j = i; j < size; ++j)
    if (s[j] < '0' || s[j] > '9') return {};
  PyObject* value = PyLong_FromString(s, nullptr, 10);
  if (!value && PyErr_ExceptionMatches(PyExc_ValueError)) {  // beyond the digit limit
    PyErr_Clear();
    return {};
  }
  return Ref::check(value);
}

Ref text(const char* s) { return Ref::check(PyUnicode_FromString(s)); }

void stop(Incoming& in) {
  in.set(kStatus, text("Terminated").get());
  in.reply_stamped(text("] Terminating Zandor-Trader..."));
}

void balance(Incoming& in) {
  in.raise(kGetBalance);
  in.reply_stamped(text("] Fetching balance..."));
}

void positions(Incoming& in) {
  in.raise(kGetPositions);
  in.reply_stamped(text("] Fetching positions..."));
}

void orders(Incoming& in) {
  Ref args = in.args();
  Py_ssize_t n = PyList_GET_SIZE(args.get());
  in.reply_stamped(format("] %R...", args.get()));
  if (n > 2) return in.reply(kOrdersUsage);
  if (n == 2) {
    PyObject* first = PyList_GET_ITEM(args.get(), 0);
    PyObject* second = PyList_GET_ITEM(args.get(), 1);
    bool first_is_filter = is_active_filter(first), second_is_filter = is_active_filter(second);
    // Exactly one of the two must be the filter: two filters leave no count.
    if (first_is_filter == second_is_filter) return in.reply(kOrdersUsage);
    PyObject* count_arg = first_is_filter ? second : first;
    Ref count = parse_count(count_arg);
    if (!count) return in.reply(kOrdersUsage);
    in.raise(kActiveOrders);
    in.set(kNumOrdersDisplayed, count.get());
  } else if (n == 1) {
    PyObject* arg = PyList_GET_ITEM(args.get(), 0);
    if (is_active_filter(arg)) {
      in.raise(kActiveOrders);
    } else {
      Ref count = parse_count(arg);
      if (!count) return in.reply(kOrdersUsage);
      in.set(kNumOrdersDisplayed, count.get());
    }
  }
  in.raise(kGetOrders);
  in.reply_stamped(format("] Fetching orders (active_orders=%S, num_orders_displayed=%S)...",
                          in.get(kActiveOrders).get(), in.get(kNumOrdersDisplayed).get()));
}

void deals(Incoming& in) {
  Ref args = in.args();
  Py_ssize_t n = PyList_GET_SIZE(args.get());
  if (n > 1) return in.reply(kDealsUsage);
  if (n == 1) {
    Ref count = parse_count(PyList_GET_ITEM(args.get(), 0));
    if (!count) return in.reply(kDealsUsage);
    in.set(kNumDealsDisplayed, count.get());
  }
  in.raise(kGetDeals);
  in.reply_stamped(
      format("] Fetching deals (num_deals_displayed=%S)...", in.get(kNumDealsDisplayed).get()));
}

void cancel_orders(Incoming& in) {
  in.raise(kCancelOrders);
  in.reply_stamped(text("] Canceling all active orders..."));
}

void cancel_order(Incoming& in) {
  Ref args = in.args();
  if (PyList_GET_SIZE(args.get()) != 2) return in.reply(kCancelOrderUsage);
  Ref order_id = Ref::check(PyObject_Str(PyList_GET_ITEM(args.get(), 0)));
  Ref gateway = Ref::check(PyObject_Str(PyList_GET_ITEM(args.get(), 1)));
  in.raise(kCancelOrder);
  in.set(kCancelOrderId, order_id.get());
  in.set(kGatewayName, gateway.get());
  in.reply_stamped(format("] Canceling order: order_id=%U,gateway_name=%U...", order_id.get(),
                          gateway.get()));
}

void send_order(Incoming& in) {
  static constexpr Py_ssize_t kOrderFields = 8;
  Ref args = in.args();
  if (PyList_GET_SIZE(args.get()) != 1) return in.reply(kSendOrderUsage);
  PyObject* order = PyList_GET_ITEM(args.get(), 0);
  if (!PyUnicode_Check(order)) return in.reply(kSendOrderUsage);
  Ref comma = text(",");
  Py_ssize_t commas = PyUnicode_Count(order, comma.get(), 0, PY_SSIZE_T_MAX);
  if (commas < 0) throw PythonError{};
  if (commas != kOrderFields - 1) return in.reply(kSendOrderUsage);
  in.raise(kSendOrder);
  in.set(kOrderString, order);
  in.reply_stamped(format("] Send order (%R)...", args.get()));
}

void close_positions(Incoming& in) {
  Ref args = in.args();
  Py_ssize_t n = PyList_GET_SIZE(args.get());
  if (n > 1) return in.reply(kClosePositionsUsage);
  if (n == 1) in.set(kClosePositionsGatewayName, PyList_GET_ITEM(args.get(), 0));
  in.raise(kClosePositions);
  in.reply_stamped(text("] Closing positions..."));
}

void echo(Incoming& in) {
  Ref message = Ref::check(PyObject_GetAttrString(in.update(), "message"));
  Ref message_text = Ref::check(PyObject_GetAttrString(message.get(), "text"));
  in.reply(format("[ECHO] %S", message_text.get()).get());
}

void help(Incoming& in) { in.reply(kHelpText); }

[[noreturn]] void stop_dispatching() {
  PyErr_SetNone(library().DispatcherHandlerStop);
  throw PythonError{};
}

// Runs first for every update: lets the operator's new messages through and stops
// everything else with one printed line. With no operator chat configured nothing gets
// through. An edited message is not a new command: editing yesterday's /send_order must
// not send the order again.
void guard(PyObject* update) {
  Ref chat = Ref::check(PyObject_GetAttrString(update, "effective_chat"));
  Ref chat_id = chat.get() == Py_None ? Ref::borrow(Py_None)
                                      : Ref::check(PyObject_GetAttrString(chat.get(), "id"));
  PyObject* operator_chat = settings().default_chat;
  if (operator_chat == Py_None || chat_id.get() == Py_None ||
      !check_status(PyObject_RichCompareBool(chat_id.get(), operator_chat, Py_EQ))) {
    print_line(format("Refused an update from chat %S: not the operator's chat", chat_id.get()).get());
    stop_dispatching();
  }
  Ref message = Ref::check(PyObject_GetAttrString(update, "message"));
  if (message.get() == Py_None) {
    print_line(text("Ignored an update that is not a new message (an edit, for example)").get());
    stop_dispatching();
  }
}

struct HandlerDef {
  const char* name;
  const char* doc;
  void (*body)(Incoming&);  // null for the guard, which needs no reply channel
};

const HandlerDef kHandlers[kHandlerCount] = {
    {"stop", kStopDoc, stop},
    {"balance", kBalanceDoc, balance},
    {"positions", kPositionsDoc, positions},
    {"orders", kOrdersUsage, orders},
    {"deals", kDealsUsage, deals},
    {"cancel_order", kCancelOrderUsage, cancel_order},
    {"cancel_orders", kCancelOrdersDoc, cancel_orders},
    {"send_order", kSendOrderUsage, send_order},
    {"close_positions", kClosePositionsUsage, close_positions},
    {"echo", kEchoDoc, echo},
    {"help", kHelpDoc, help},
    {"_operator_chat_only", "Stops every update that does not come from the operator's chat.",
     nullptr},
};

template <HandlerId Id>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"update", "context"};
    const Signature sig{kHandlers[Id].name, names, 2, 2};
    PyObject* bound[2];
    bind_args(sig, args, nargs, kwnames, bound);
    if (kHandlers[Id].body) {
      Incoming in(bound[0], bound[1]);
      kHandlers[Id].body(in);
      in.finish();
    } else {
      guard(bound[0]);
    }
    return none();
  });
}

// The handler's text signature ahead of its doc text, so that inspect (and the stub check)
// sees its parameters; __doc__ stays the doc text alone.
std::string g_docs[kHandlerCount];  // filled at load; never changed afterwards

template <HandlerId Id>
PyMethodDef method() {
  g_docs[Id] = std::string(kHandlers[Id].name) + "($module, update, context)\n--\n\n" +
               kHandlers[Id].doc;
  return {kHandlers[Id].name, fastcall(entry<Id>), METH_FASTCALL | METH_KEYWORDS,
          g_docs[Id].c_str()};
}

// Filled at load; read-only afterwards.
PyMethodDef g_methods[kHandlerCount + 1];
PyObject* g_functions[kHandlerCount] = {};  // owned, never freed

}  // namespace

void add_handler_functions(PyObject* module) {
  PyMethodDef defs[] = {
      method<kStopHandler>(),         method<kBalanceHandler>(),
      method<kPositionsHandler>(),    method<kOrdersHandler>(),
      method<kDealsHandler>(),        method<kCancelOrderHandler>(),
      method<kCancelOrdersHandler>(), method<kSendOrderHandler>(),
      method<kClosePositionsHandler>(), method<kEchoHandler>(),
      method<kHelpHandler>(),         method<kGuardHandler>(),
  };
  static_assert(sizeof(defs) / sizeof(defs[0]) == kHandlerCount);
  for (std::size_t i = 0; i < kHandlerCount; ++i) g_methods[i] = defs[i];
  g_methods[kHandlerCount] = {nullptr, nullptr, 0, nullptr};
  check_status(PyModule_AddFunctions(module, g_methods));
  for (std::size_t i = 0; i < kHandlerCount; ++i)
    g_functions[i] = Ref::check(PyObject_GetAttrString(module, kHandlers[i].name)).release();
}

const char* handler_name(HandlerId id) { return kHandlers[id].name; }
PyObject* handler_function(HandlerId id) { return g_functions[id]; }

}  // namespace zt::bot

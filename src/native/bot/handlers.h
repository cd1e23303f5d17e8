// The operator's command handlers, the plain-text echo and the guard that keeps every chat
// but the operator's out.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace zt::bot {

// The first nine are the command handlers in the order they are registered; the command
// of each is its name.
enum HandlerId : std::size_t {
  kStopHandler,
  kBalanceHandler,
  kPositionsHandler,
  kOrdersHandler,
  kDealsHandler,
  kCancelOrderHandler,
  kCancelOrdersHandler,
  kSendOrderHandler,
  kClosePositionsHandler,
  kEchoHandler,
  kHelpHandler,
  kGuardHandler,
  kHandlerCount
};
constexpr std::size_t kCommandHandlerCount = kClosePositionsHandler + 1;

// Adds one module function per handler, then keeps the function objects for registration.
void add_handler_functions(PyObject* module);

const char* handler_name(HandlerId id);
// The module function of a handler (borrowed; lives for the process).
PyObject* handler_function(HandlerId id);

}  // namespace zt::bot

// TelegramBot: builds and runs the Telegram client, and gives the trading engine the shared
// fields (sixteen properties) and the chat (send_message).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.h"

namespace zt::bot {

// Creates the class; its instances build their bots from `customed_ext_bot_type`.
Ref make_telegram_bot_type(PyObject* customed_ext_bot_type);

}  // namespace zt::bot

// The bot module's interned names, made once while the module loads.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "names.h"

// clang-format off
#define BOT_NAMES(X) \
  X(now, "now") \
  X(send_message, "send_message")

#define BOT_KEYWORDS(X) \
  X(kw_send, "chat_id", "text")
// clang-format on

namespace zt::bot {

struct Names {
  BOT_NAMES(ZT_NAME_FIELD)
  BOT_KEYWORDS(ZT_NAME_FIELD)
};

// Filled by intern_names from the module's init, before anything else runs; read-only after.
extern Names N;
void intern_names();

}  // namespace zt::bot

// Building and sending the bot's chat messages, and its lines on standard output.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "output.h"
#include "py_ref.h"

namespace zt::bot {

// Telegram refuses longer messages; counted in UTF-16 code units as Telegram counts.
constexpr Py_ssize_t kMaxMessageUnits = 4096;

// str(datetime.now()): local time, microseconds left out when they are zero.
Ref timestamp();

// PyUnicode_FromFormat that throws on failure.
template <class... A>
Ref format(const char* fmt, A... args) {
  return Ref::check(PyUnicode_FromFormat(fmt, args...));
}

// "[<time stamp>" followed by `rest`, which starts with "]".
Ref stamped(PyObject* rest);

// The pieces of `text` that each fit in one message. A text that fits is one piece (even
// an empty one: Telegram's refusal then reaches the caller). A longer one is cut at the last
// line break that keeps a piece within the limit, the break itself not sent, or hard at the
// limit when one line alone is longer.
RefVector split_message(PyObject* text);

// bot.send_message(chat_id=chat_id, text=piece): the client's result, NULL when it failed.
Ref send_piece(PyObject* bot, PyObject* chat_id, PyObject* piece);

// send_piece for every piece of `text`, in order.
void send_text(PyObject* bot, PyObject* chat_id, PyObject* text);

// Writes str(obj) and a newline to sys.stdout and flushes (nothing when there is none).
using zt::print_line;

}  // namespace zt::bot

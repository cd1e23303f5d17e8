// The engine's sends through TelegramBot.send_message: paced to the flood limits, sent again
// after a 429, and the limits as Python sees them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.h"
#include "send_pacer.h"

namespace zt::bot {

// A piece answered 429 is sent again at most this often, and a retry_after longer than this
// many seconds is not waited for: the message is then given up.
constexpr int kMaxFloodRetries = 10;
constexpr double kMaxFloodWait = 60.0;

// Sends every piece of `text` to `chat_id` in order, one message at a time per bot, each piece
// when `pacer` lets it go. A piece answered 429 (RetryAfter) is sent again after the wait the
// answer asks for. A piece given up (too many or too long waits, or the bot closed meanwhile)
// is reported on one printed line and its error raised; the pieces after it are not sent.
// Any other error is raised unchanged, and so is the exception of a signal's handler that
// ends a wait (Ctrl-C). Called with the GIL, which every wait releases.
void send_paced(SendPacer& pacer, PyObject* bot, PyObject* chat_id, PyObject* text);

// Calls `send()` (a message to `chat_id` through the client, of any kind) in turn with
// send_paced's messages, counted against the same limits, and again after each 429 as a piece
// of send_paced is; returns what it returned. Called with the GIL, which every wait releases.
Ref call_paced(SendPacer& pacer, PyObject* chat_id, PyObject* send);

// pace_sends(chat_rate=None, chat_burst=None, total_rate=None, total_burst=None): the given
// limits replace the pacer's (None keeps one); returns the limits in force as a dict.
PyObject* pace_sends(SendPacer& pacer, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames);

}  // namespace zt::bot

// The command handlers reply through context.bot, the client bot of the TelegramBot that
// registered them: which pacer each client bot's replies go through.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "send_pacer.h"

namespace zt::bot {

// From now on replies through `client` are paced by `pacer`, which `owner` (the TelegramBot)
// holds. Called with the GIL, once the owner is built.
void pace_replies(PyObject* client, PyObject* owner, SendPacer* pacer);
// Before `owner` lets its client or its pacer go: replies through `client` are no longer
// paced by it. With the GIL.
void stop_pacing_replies(PyObject* client, PyObject* owner) noexcept;

// Sends `text` to `chat_id` as replies are sent, each message one client.send_message call:
// through the pacer of the TelegramBot that owns `client` (in turn, paced, sent again after
// a 429; see send_paced), or straight away when no TelegramBot owns it.
void send_reply(PyObject* client, PyObject* chat_id, PyObject* text);

}  // namespace zt::bot

// Paced sending with a retry after 429, and pace_sends' argument handling.
#include "paced_send.h"

#include <cmath>

#include "args.h"
#include "library.h"
#include "replies.h"
#include "error_state.h"

namespace zt::bot {

namespace {

// The retry_after of a pending RetryAfter, which stays pending; NaN for any other error.
double pending_retry_after() {
  if (!PyErr_ExceptionMatches(library().RetryAfter)) return NAN;
  SavedError failure;
  double seconds = NAN;
  Ref value = Ref::steal(PyObject_GetAttrString(failure.value(), "retry_after"));
  if (value) seconds = PyFloat_AsDouble(value.get());
  PyErr_Clear();  // an unreadable value: not retried
  failure.restore();
  return seconds;
}

// Reports the pending error's piece as lost on one printed line; the error stays pending.
void report_lost(PyObject* chat_id, std::size_t piece, std::size_t count) {
  SavedError failure;
  try {
    Ref line = format("Message to chat %S lost: piece %zu of %zu not sent (%S)", chat_id,
                      piece, count, failure.value());
    print_line(line.get());
  } catch (const PythonError&) {
    PyErr_Clear();  // no way to tell: the caller still gets the error
  }
  failure.restore();
}

double limit_value(PyObject* value, const char* name, double low, double high, bool zero_ok) {
  // A flag is no rate: True would pass for 1.
  if (PyBool_Check(value) || (!PyLong_Check(value) && !PyFloat_Check(value)))
    raise_arg_type(name, "float", value);
  double v = PyFloat_AsDouble(value);
  if (v == -1.0 && PyErr_Occurred()) throw PythonError{};
  if (!(std::isfinite(v) && ((zero_ok && v == 0.0) || (v >= low && v <= high)))) {
    // The bounds as Python writes them: the format functions have no floating-point code.
    Ref low_text = Ref::check(PyFloat_FromDouble(low));
    Ref high_text = Ref::check(PyFloat_FromDouble(high));
    raise_format(PyExc_ValueError, "%s must be %s%R to %R, not %R", name,
                 zero_ok ? "0 (no limit) or " : "", low_text.get(), high_text.get(), value);
  }
  return v;
}

}  // namespace

namespace {

// One message to `chat`: `attempt()` (a new reference, null with an error pending) is made
// when the pacer lets it go, and again after each 429, within the bounds above. A message
// given up is reported as piece `piece` of `count` and its error raised. The pacer's waits
// release the GIL themselves and end on Ctrl-C or close().
template <class Attempt>
Ref send_one(SendPacer& pacer, Py_hash_t chat, PyObject* chat_id, std::size_t piece,
             std::size_t count, Attempt attempt) {
  for (int retries = 0;; ++retries) {
    pacer.wait_for_slot(chat);
    Ref sent = attempt();
    pacer.send_ended(chat);
    if (sent) return sent;
    double wait = pending_retry_after();
    if (std::isnan(wait)) throw PythonError{};  // not a flood answer: the caller's to handle
    bool waited = false;
    if (retries < kMaxFloodRetries && wait >= 0 && wait <= kMaxFloodWait) {
      SavedError flood;  // set aside while the wait may run a signal's handler
      waited = pacer.hold_off(wait);
      if (!waited) flood.restore();
    }
    if (!waited) {
      report_lost(chat_id, piece, count);
      throw PythonError{};
    }
  }
}

Py_hash_t chat_key(PyObject* chat_id) {
  Py_hash_t chat = PyObject_Hash(chat_id);
  if (chat == -1 && PyErr_Occurred()) throw PythonError{};
  return chat;
}

}  // namespace

void send_paced(SendPacer& pacer, PyObject* bot, PyObject* chat_id, PyObject* text) {
  RefVector pieces = split_message(text);
  Py_hash_t chat = chat_key(chat_id);
  SendTurn turn(pacer);
  for (std::size_t i = 0; i < pieces.size(); ++i)
    send_one(pacer, chat, chat_id, i + 1, pieces.size(),
             [&] { return send_piece(bot, chat_id, pieces[i].get()); });
}

Ref call_paced(SendPacer& pacer, PyObject* chat_id, PyObject* send) {
  Py_hash_t chat = chat_key(chat_id);
  SendTurn turn(pacer);
  return send_one(pacer, chat, chat_id, 1, 1,
                  [&] { return Ref::steal(PyObject_CallNoArgs(send)); });
}

PyObject* pace_sends(SendPacer& pacer, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  static const char* const names[] = {"chat_rate", "chat_burst", "total_rate", "total_burst"};
  static const Signature sig{"pace_sends", names, 4, 0};
  PyObject* bound[4] = {};
  bind_args(sig, args, nargs, kwnames, bound);
  PaceLimits limits = pacer.limits();
  double* fields[] = {&limits.chat_rate, &limits.chat_burst, &limits.total_rate,
                      &limits.total_burst};
  for (int i = 0; i < 4; ++i) {
    if (!bound[i] || bound[i] == Py_None) continue;
    bool rate = i % 2 == 0;
    *fields[i] = rate ? limit_value(bound[i], names[i], kMinPaceRate, kMaxPaceBurst, true)
                      : limit_value(bound[i], names[i], 1.0, kMaxPaceBurst, false);
  }
  pacer.set_limits(limits);
  return Py_BuildValue("{sdsdsdsd}", names[0], limits.chat_rate, names[1], limits.chat_burst,
                       names[2], limits.total_rate, names[3], limits.total_burst);
}

}  // namespace zt::bot

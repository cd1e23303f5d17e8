// Chat messages: time stamps, splitting of long texts, sending; printed lines.
#include "replies.h"

#include "bot_names.h"
#include "library.h"

namespace zt::bot {

namespace {

Ref substring(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
  return Ref::check(PyUnicode_Substring(text, start, end));
}

}  // namespace

Ref timestamp() {
  Ref now = Ref::check(PyObject_CallMethodNoArgs(library().datetime, N.now));
  return Ref::check(PyObject_Str(now.get()));
}

Ref stamped(PyObject* rest) { return format("[%U%U", timestamp().get(), rest); }

RefVector split_message(PyObject* text) {
  RefVector pieces;
  Py_ssize_t n = PyUnicode_GetLength(text);
  if (n < 0) throw PythonError{};
  // Every code point takes at most two units, so short texts need no look.
  if (n <= kMaxMessageUnits / 2) {
    pieces.push_back(Ref::borrow(text));
    return pieces;
  }
  Py_UCS4* chars = PyUnicode_AsUCS4Copy(text);
  if (!chars) throw PythonError{};
  struct Free {
    Py_UCS4* p;
    ~Free() { PyMem_Free(p); }
  } owner{chars};

  Py_ssize_t start = 0;
  while (start < n) {
    Py_ssize_t end = start, units = 0;
    while (end < n) {
      Py_ssize_t width = chars[end] > 0xFFFF ? 2 : 1;
      if (units + width > kMaxMessageUnits) break;
      units += width;
      ++end;
    }
    if (end == n) {
      pieces.push_back(substring(text, start, n));
      break;
    }
    // A break inside the piece or right after it.
    Py_ssize_t cut = end;
    while (cut >= start && chars[cut] != '\n') --cut;
    if (cut > start) {
      pieces.push_back(substring(text, start, cut));
      start = cut + 1;
    } else if (cut == start) {
      start = cut + 1;  // an empty line between two pieces carries nothing
    } else {
      pieces.push_back(substring(text, start, end));
      start = end;
    }
  }
  return pieces;
}

Ref send_piece(PyObject* bot, PyObject* chat_id, PyObject* piece) {
  PyObject* args[] = {bot, chat_id, piece};
  return Ref::steal(PyObject_VectorcallMethod(N.send_message, args,
                                              1 | PY_VECTORCALL_ARGUMENTS_OFFSET, N.kw_send));
}

void send_text(PyObject* bot, PyObject* chat_id, PyObject* text) {
  for (const Ref& piece : split_message(text))
    if (!send_piece(bot, chat_id, piece.get())) throw PythonError{};
}

}  // namespace zt::bot

// Finding the component's instrument, ticks and timed-bars objects of a CQG symbol.
#include "calls.h"

namespace vantor {

using zt::Ref;

namespace {

// The first member of the component's collection `collection`, in its own order, whose name
// (read by `name_of`) contains `cqg_symbol`, or None. The empty text names no instrument:
// as a substring it would match the first member, and unsubscribing "" would then drop an
// arbitrary subscription.
template <class NameOf>
Ref first_containing(VantorObject* self, PyObject* collection, PyObject* cqg_symbol, NameOf name_of) {
  if (PyUnicode_Check(cqg_symbol) && PyUnicode_GET_LENGTH(cqg_symbol) == 0) return Ref::borrow(Py_None);
  Ref members = get(component(self).get(), collection);
  Ref it = Ref::check(PyObject_GetIter(members.get()));
  while (Ref member = Ref::steal(PyIter_Next(it.get()))) {
    Ref name = name_of(member.get());
    if (zt::check_status(PySequence_Contains(name.get(), cqg_symbol))) return member;
  }
  if (PyErr_Occurred()) throw zt::PythonError{};
  return Ref::borrow(Py_None);
}

}  // namespace

Ref request_symbol(PyObject* member) {
  static PyObject* request = zt::intern("Request");
  static PyObject* symbol = zt::intern("Symbol");
  return get(get(member, request).get(), symbol);
}

Ref find_instrument(VantorObject* self, PyObject* cqg_symbol) {
  static PyObject* instruments = zt::intern("Instruments");
  static PyObject* full_name = zt::intern("FullName");
  return first_containing(self, instruments, cqg_symbol,
                          [](PyObject* member) { return get(member, full_name); });
}

Ref find_ticks(VantorObject* self, PyObject* cqg_symbol) {
  static PyObject* all_ticks = zt::intern("AllTicks");
  return first_containing(self, all_ticks, cqg_symbol, request_symbol);
}

Ref find_timedbars(VantorObject* self, PyObject* cqg_symbol) {
  static PyObject* all_timed_bars = zt::intern("AllTimedBars");
  return first_containing(self, all_timed_bars, cqg_symbol, request_symbol);
}

}  // namespace vantor

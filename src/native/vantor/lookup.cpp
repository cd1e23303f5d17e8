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
  return get(get(member, N.Request).get(), N.Symbol);
}

Ref find_instrument(VantorObject* self, PyObject* cqg_symbol) {
  return first_containing(self, N.Instruments, cqg_symbol,
                          [](PyObject* member) { return get(member, N.FullName); });
}

Ref find_ticks(VantorObject* self, PyObject* cqg_symbol) {
  return first_containing(self, N.AllTicks, cqg_symbol, request_symbol);
}

Ref find_timedbars(VantorObject* self, PyObject* cqg_symbol) {
  return first_containing(self, N.AllTimedBars, cqg_symbol, request_symbol);
}

}  // namespace vantor

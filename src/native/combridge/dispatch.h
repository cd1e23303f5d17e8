// Late-bound wrappers (CDispatch), bound members, bare interfaces and value conversion.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "py_ref.h"
#include "thread_state.h"

namespace comsim {

// Creates the wrapper types and adds CDispatch and PyIDispatch to the module.
void init_dispatch_types(PyObject* module);

// A wrapper for `target` belonging to `apartment` (nullptr: a free object usable anywhere).
// A proxy's every use from another thread runs on the apartment's thread.
zt::Ref new_dispatch(PyObject* target, const std::shared_ptr<Apartment>& apartment, bool proxy);
// A bare interface (what a stream yields): no member access until wrapped with Dispatch.
// A member name bound to its object; calling it calls the member (marshalled for a proxy).
zt::Ref new_bound_member(PyObject* target, PyObject* name,
                         const std::shared_ptr<Apartment>& apartment, bool proxy);
zt::Ref new_bare_interface(PyObject* target, const std::shared_ptr<Apartment>& apartment,
                           bool proxy);

bool is_dispatch(PyObject* obj) noexcept;
bool is_bare_interface(PyObject* obj) noexcept;

// What a wrapper or a bare interface refers to. Both return borrowed references.
struct Binding {
  PyObject* target;
  const std::shared_ptr<Apartment>* apartment;
  bool proxy;
};
Binding binding_of(PyObject* wrapper_or_interface) noexcept;

long live_wrapper_count() noexcept;
long live_proxy_count() noexcept;

}  // namespace comsim

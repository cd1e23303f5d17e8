// Member access on a component object and the conversion of values crossing the wrapper.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "py_ref.h"
#include "thread_state.h"

namespace comsim {

void init_members();

// A class attribute that binds as a method: the member is called, not read.
bool is_method(PyObject* descr) noexcept;

// What `type` and its bases define as `name`, found along the method resolution order as
// attribute lookup finds it before the instance; empty when none does. The look-up hashes
// and compares `name` (and may compare other keys with it), which may run Python code: a
// name of a str subclass or a namespace with keys of other types. That code may change the
// classes, even their bases (a new MRO): the MRO walked and each namespace are held for the
// whole walk, and the value is returned as a reference of its own.
zt::Ref class_attribute(PyTypeObject* type, PyObject* name);

// The value a component member returns, as the caller sees it: simple values (None, numbers,
// text, bytes, date/time values, tuples of these) unchanged, objects wrapped.
zt::Ref to_caller(PyObject* value, const std::shared_ptr<Apartment>& apartment, bool proxy);
// The object a component receives for an argument: a wrapper is replaced by its target.
PyObject* to_component(PyObject* value) noexcept;  // borrowed

// Member access on the component's own thread (or on a free object). Raise AttributeError
// for an unknown member (get), com_error for one that cannot be set, and com_error for an
// error raised by the component's code.
zt::Ref get_member(PyObject* target, PyObject* name, const std::shared_ptr<Apartment>& apartment,
                   bool proxy);
void set_member(PyObject* target, PyObject* name, PyObject* value);
zt::Ref call_member(PyObject* target, PyObject* name, PyObject* args, PyObject* kwargs,
                    const std::shared_ptr<Apartment>& apartment, bool proxy);
zt::Ref call_default(PyObject* target, PyObject* args, PyObject* kwargs,
                     const std::shared_ptr<Apartment>& apartment, bool proxy);
// len() of a collection: its own length, or its Count; TypeError when it has neither.
zt::Ref length_of(PyObject* target);
zt::Ref enumerate_items(PyObject* target, const std::shared_ptr<Apartment>& apartment, bool proxy);

// A tuple of arguments with every wrapper replaced by its target (the same tuple if none).
zt::Ref unwrap_args(PyObject* args);
// The same for keyword arguments (a dict, or null).
zt::Ref unwrap_kwargs(PyObject* kwargs);

}  // namespace comsim

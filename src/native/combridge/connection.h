// Connection points: the sinks connected to a component, event firing and delivery, and
// callables posted to a component's thread.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <vector>

#include "py_ref.h"
#include "thread_state.h"

namespace comsim {

// Everything here is guarded by the GIL.
struct ConnectionPoint {
  zt::Ref component;                     // the component's own Python object
  std::shared_ptr<Apartment> apartment;  // where its events run
  std::vector<zt::Ref> sinks;            // in connection order
};

// Records a component created in `apartment` (idempotent).
void add_component(PyObject* component, const std::shared_ptr<Apartment>& apartment);

// The connection point of a component object (its own object or a wrapper of it), or null.
std::shared_ptr<ConnectionPoint> find_connection_point(PyObject* component_or_wrapper);

// Connects / disconnects an events instance to the component behind `wrapper`.
void connect_sink(PyObject* wrapper, PyObject* sink);
bool disconnect_sink(PyObject* sink);

// Queues an event for every connected sink; returns how many sinks were connected (0 when
// none, when the component is unknown or its apartment is gone).
long fire(PyObject* component, PyObject* name, PyObject* const* args, Py_ssize_t nargs);

// Runs on the component's thread, from the message pump: calls each sink's handler.
void deliver(Message& event);

// Drops the connection points of an apartment that is going away.
void disconnect_apartment(Apartment& apartment);

long connected_sink_count() noexcept;

}  // namespace comsim

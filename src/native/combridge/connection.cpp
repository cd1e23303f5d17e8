// Connection points: which sinks listen to which component, and event delivery.
#include "connection.h"

#include <algorithm>
#include <unordered_map>

#include "dispatch.h"
#include "errors.h"
#include "guard.h"
#include "members.h"

namespace comsim {

using zt::Ref;

namespace {

// Component object -> its connection point; guarded by the GIL. The point holds the
// component, so the key stays valid until the apartment goes away.
std::unordered_map<PyObject*, std::shared_ptr<ConnectionPoint>> g_points;
long g_connected_sinks = 0;  // guarded by the GIL

PyObject* component_of(PyObject* obj) {
  return (is_dispatch(obj) || is_bare_interface(obj)) ? binding_of(obj).target : obj;
}

}  // namespace

void add_component(PyObject* component, const std::shared_ptr<Apartment>& apartment) {
  auto& point = g_points[component];
  if (point) return;
  point = std::make_shared<ConnectionPoint>();
  point->component = Ref::borrow(component);
  point->apartment = apartment;
  apartment->connection_points.push_back(point);
}

std::shared_ptr<ConnectionPoint> find_connection_point(PyObject* component_or_wrapper) {
  auto it = g_points.find(component_of(component_or_wrapper));
  return it == g_points.end() ? nullptr : it->second;
}

void connect_sink(PyObject* wrapper, PyObject* sink) {
  PyObject* component = component_of(wrapper);
  std::shared_ptr<ConnectionPoint> point = find_connection_point(component);
  if (!point) {
    // An object that was not created from a ProgID gets its point in the wrapper's apartment.
    const std::shared_ptr<Apartment>* apartment =
        is_dispatch(wrapper) || is_bare_interface(wrapper) ? binding_of(wrapper).apartment : nullptr;
    if (!apartment || !*apartment) raise_com_error(CO_E_NOTINITIALIZED);
    add_component(component, *apartment);
    point = g_points[component];
  }
  if (!point->apartment->alive) raise_com_error(RPC_E_DISCONNECTED);
  point->sinks.push_back(Ref::borrow(sink));
  ++g_connected_sinks;
}

bool disconnect_sink(PyObject* sink) {
  for (auto& entry : g_points) {
    auto& sinks = entry.second->sinks;
    auto it = std::find_if(sinks.begin(), sinks.end(), [&](const Ref& s) { return s.get() == sink; });
    if (it != sinks.end()) {
      Ref dropped = std::move(*it);
      sinks.erase(it);
      --g_connected_sinks;
      return true;
    }
  }
  return false;
}

long fire(PyObject* component, PyObject* name, PyObject* const* args, Py_ssize_t nargs) {
  std::shared_ptr<ConnectionPoint> point = find_connection_point(component);
  if (!point || point->sinks.empty() || !point->apartment->alive) return 0;
  // Objects among the arguments reach the handlers wrapped, as the real event policy does.
  Ref wrapped = Ref::check(PyTuple_New(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i)
    PyTuple_SET_ITEM(wrapped.get(), i, to_caller(args[i], point->apartment, false).release());
  Message message;
  message.kind = Message::Kind::Event;
  message.source = point;
  message.name = Ref::borrow(name);
  message.args = std::move(wrapped);
  long sinks = static_cast<long>(point->sinks.size());
  return post(*point->apartment, message) ? sinks : 0;
}

void deliver(Message& event) {
  ConnectionPoint& point = *event.source;
  // Handlers may connect or disconnect sinks: deliver to those connected now.
  zt::RefVector sinks(point.sinks);
  PyObject* const* args = &PyTuple_GET_ITEM(event.args.get(), 0);
  Py_ssize_t nargs = PyTuple_GET_SIZE(event.args.get());
  for (const Ref& sink : sinks) {
    Ref handler = Ref::steal(PyObject_GetAttr(sink.get(), event.name.get()));
    if (!handler) {
      if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();  // no handler: the event is answered as "member not found"
        continue;
      }
      report_error("pythoncom error: Python error invoking COM method.");
      continue;
    }
    Ref result = Ref::steal(PyObject_Vectorcall(handler.get(), args, static_cast<size_t>(nargs), nullptr));
    if (!result) report_error("pythoncom error: Python error invoking COM method.");
  }
}

void disconnect_apartment(Apartment& apartment) {
  std::vector<std::shared_ptr<ConnectionPoint>> points;
  points.swap(apartment.connection_points);
  for (auto& point : points) {
    g_connected_sinks -= static_cast<long>(point->sinks.size());
    g_points.erase(point->component.get());
  }
  // Sinks and components are released here, with the GIL held; their finalizers may run
  // (not later, in whatever destructor lets the last share of the point go).
  for (auto& point : points) {
    zt::drop_each(point->sinks);
    point->sinks.clear();
    Ref component = std::move(point->component);
  }
}

long connected_sink_count() noexcept { return g_connected_sinks; }

}  // namespace comsim

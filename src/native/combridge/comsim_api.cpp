// What only the stand-in offers: firing events, running callables on a component's thread,
// connecting event sinks, and counters for leak checks.
#include "comsim_api.h"

#include "connection.h"
#include "dispatch.h"
#include "errors.h"
#include "guard.h"
#include "marshal.h"
#include "members.h"

namespace comsim {

using zt::Ref;

namespace {

// The apartment that runs a component's code: its connection point's, or the wrapper's.
std::shared_ptr<Apartment> apartment_of(PyObject* component) {
  if (auto point = find_connection_point(component)) return point->apartment;
  if (is_dispatch(component) || is_bare_interface(component)) {
    const std::shared_ptr<Apartment>& apartment = *binding_of(component).apartment;
    if (apartment) return apartment;
  }
  zt::raise_format(PyExc_ValueError, "%.200s object is not a component created through Dispatch",
                   Py_TYPE(component)->tp_name);
}

std::shared_ptr<CallPacket> invoke_packet(PyObject* const* args, Py_ssize_t nargs) {
  auto packet = std::make_shared<CallPacket>();
  packet->op = CallPacket::Op::Invoke;
  packet->value = Ref::borrow(args[1]);
  packet->args = Ref::check(PyTuple_New(nargs - 2));
  for (Py_ssize_t i = 2; i < nargs; ++i)
    PyTuple_SET_ITEM(packet->args.get(), i - 2, Ref::borrow(args[i]).release());
  return packet;
}

void expect_callable(const char* function, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 2) zt::raise_format(PyExc_TypeError, "%s(component, fn, *args): too few arguments", function);
  if (!PyCallable_Check(args[1])) zt::raise_format(PyExc_TypeError, "%s(): fn must be callable", function);
}

}  // namespace

// fire(component, event_name, *args) -> number of sinks the event was queued for
PyObject* py_fire(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return zt::guarded([&] {
    if (nargs < 2) zt::raise(PyExc_TypeError, "fire(component, event_name, *args): too few arguments");
    if (!PyUnicode_Check(args[1])) zt::raise(PyExc_TypeError, "fire(): event_name must be a str");
    return PyLong_FromLong(fire(args[0], args[1], args + 2, nargs - 2));
  });
}

// post(component, fn, *args) -> True when queued to the component's thread
PyObject* py_post(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return zt::guarded([&] {
    expect_callable("post", args, nargs);
    return PyBool_FromLong(post_packet(apartment_of(args[0]), invoke_packet(args, nargs)));
  });
}

// call(component, fn, *args) -> fn(*args), run on the component's thread
PyObject* py_call(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return zt::guarded([&]() -> PyObject* {
    expect_callable("call", args, nargs);
    std::shared_ptr<Apartment> apartment = apartment_of(args[0]);
    if (current_apartment() == apartment.get())
      return PyObject_Vectorcall(args[1], args + 2, static_cast<size_t>(nargs - 2), nullptr);
    if (!apartment->alive) raise_com_error(RPC_E_DISCONNECTED);
    return marshal(apartment, invoke_packet(args, nargs)).release();
  });
}

// connect(wrapper, sink): what the events class does when it is initialised
PyObject* py_connect(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return zt::guarded([&] {
    if (nargs != 2) zt::raise(PyExc_TypeError, "connect(wrapper, sink)");
    connect_sink(args[0], args[1]);
    return zt::none();
  });
}

PyObject* py_disconnect(PyObject*, PyObject* sink) {
  return zt::guarded([&] { return PyBool_FromLong(disconnect_sink(sink)); });
}

PyObject* py_stats(PyObject*, PyObject*) {
  return Py_BuildValue("{s:l,s:l,s:l,s:l}", "live_wrappers", live_wrapper_count(), "live_proxies",
                       live_proxy_count(), "connected_sinks", connected_sink_count(), "pending_calls",
                       pending_call_count());
}

}  // namespace comsim

// Module comsim._core: the COM-bridge stand-in's native core, re-exported by pythoncom,
// pywintypes, win32event, win32api, win32com.client and comsim.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "args.h"
#include "bridge_names.h"
#include "comsim_api.h"
#include "dispatch.h"
#include "errors.h"
#include "guard.h"
#include "members.h"
#include "module_gil.h"
#include "pump.h"
#include "registry.h"
#include "waitable.h"

namespace comsim {
namespace {

using zt::fastcall;

PyMethodDef methods[] = {
    // pythoncom
    {"CoInitialize", py_co_initialize, METH_NOARGS, "Enter a single-threaded apartment."},
    {"CoInitializeEx", py_co_initialize_ex, METH_O, "Enter an apartment (flags are accepted)."},
    {"CoUninitialize", py_co_uninitialize, METH_NOARGS, "Leave the apartment."},
    {"PumpWaitingMessages", py_pump_waiting_messages, METH_NOARGS,
     "Dispatch the waiting messages; 1 if a quit message was among them."},
    {"CoMarshalInterThreadInterfaceInStream", fastcall(py_marshal_in_stream), METH_FASTCALL,
     "Marshal an interface into a stream for another thread."},
    {"CoGetInterfaceAndReleaseStream", fastcall(py_get_interface_from_stream), METH_FASTCALL,
     "Take the interface out of a stream (once)."},
    // win32api
    {"GetCurrentThreadId", py_get_current_thread_id, METH_NOARGS, "The native thread id."},
    {"PostQuitMessage", py_post_quit_message, METH_O, "Post a quit message to this thread."},
    {"PostThreadMessage", fastcall(py_post_thread_message), METH_FASTCALL,
     "Post a message to another thread's queue."},
    // win32event
    {"CreateEvent", fastcall(py_create_event), METH_FASTCALL, "Create an event object."},
    {"SetEvent", py_set_event, METH_O, "Signal an event."},
    {"ResetEvent", py_reset_event, METH_O, "Reset an event."},
    {"WaitForSingleObject", fastcall(py_wait_for_single_object), METH_FASTCALL,
     "Wait for one handle."},
    {"WaitForMultipleObjects", fastcall(py_wait_for_multiple_objects), METH_FASTCALL,
     "Wait for handles."},
    {"MsgWaitForMultipleObjects", fastcall(py_msg_wait_for_multiple_objects), METH_FASTCALL,
     "Wait for handles or for messages in this thread's queue."},
    {"CloseHandle", py_close_handle, METH_O, "Close a handle."},
    // win32com.client
    {"Dispatch", fastcall(py_dispatch), METH_FASTCALL, "Create or wrap a COM object."},
    {"ensure_typelib", fastcall(py_ensure_typelib), METH_FASTCALL,
     "Load a registered type library's constants."},
    // comsim
    {"register_typelib", fastcall(py_register_typelib), METH_FASTCALL,
     "register_typelib(typelib_id, major, minor, constants, /)\n--\n\n"
     "Make a type library's constants loadable by gencache.EnsureModule."},
    {"register_component", fastcall(py_register_component), METH_FASTCALL,
     "register_component(progid, factory, typelib_id, /)\n--\n\n"
     "factory() makes the component that Dispatch(progid) creates."},
    {"fire", fastcall(py_fire), METH_FASTCALL, "fire(component, event_name, /, *args)\n--\n\n"
     "Queue the event to the component's sinks; the number of sinks."},
    {"post", fastcall(py_post), METH_FASTCALL, "post(component, fn, /, *args)\n--\n\n"
     "Run fn(*args) on the component's thread; whether it was queued."},
    {"call", fastcall(py_call), METH_FASTCALL, "call(component, fn, /, *args)\n--\n\n"
     "Run fn(*args) on the component's thread and wait for its result."},
    {"connect", fastcall(py_connect), METH_FASTCALL, "connect(wrapper, sink)"},
    {"disconnect", py_disconnect, METH_O, "disconnect(sink) -> whether it was connected"},
    {"stats", py_stats, METH_NOARGS,
     "stats($module)\n--\n\nCounters of live wrappers, proxies, sinks and calls."},
    {"pingpong_floor", py_pingpong_floor, METH_O,
     "pingpong_floor($module, n, /)\n--\n\n"
     "Seconds for n C++ condition-variable round trips (benchmark floor)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "comsim._core",
    "Native core of the COM-bridge stand-in.", -1, methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace comsim

PyMODINIT_FUNC PyInit__core() {
  return zt::guarded([]() -> PyObject* {
    comsim::intern_names();
    zt::Ref module = zt::Ref::check(PyModule_Create(&comsim::module_def));
    zt::declare_gil_used(module.get());
    comsim::init_members();
    comsim::init_error_types(module.get());
    comsim::init_dispatch_types(module.get());
    comsim::init_waitable_types(module.get());
    comsim::init_pump_types(module.get());
    comsim::init_registry(module.get());
    return module.release();
  });
}

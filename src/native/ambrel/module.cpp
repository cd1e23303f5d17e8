// Module init of zandor_trader.gateways.cqg.wrapper.Ambrel.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bridge.h"
#include "diagnostics.h"
#include "environment.h"
#include "environment_names.h"
#include "guard.h"
#include "module_gil.h"
#include "output.h"
#include "py_ref.h"
#include "sink_base.h"
#include "sink_internal.h"
#include "start.h"
#include "wait_event.h"

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "Ambrel",
    "The CQG CEL component's environment: worker thread, apartment and message pump, event "
    "sinks, Trace and AssertMessage.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

void add_object(PyObject* module, const char* name, PyObject* value) {
  zt::check_status(PyModule_AddObjectRef(module, name, value));
}

}  // namespace

PyMODINIT_FUNC PyInit_Ambrel(void) {
  return zt::guarded([]() -> PyObject* {
    using namespace ambrel;
    bridge::import_modules();
    // Before anything else: the constants and the event interface come from the library,
    // and a module that cannot reach them must not load.
    bridge::ensure_type_library();

    intern_names();
    zt::init_output();
    zt::Ref module = zt::Ref::check(PyModule_Create(&module_def));
    zt::declare_gil_used(module.get());
    zt::init_event_type("zandor_trader.gateways.cqg.wrapper.Ambrel.WaitEvent");

    static PyMethodDef diagnostics[] = {assert_message_def, trace_def,
                                        {nullptr, nullptr, 0, nullptr}};
    zt::check_status(PyModule_AddFunctions(module.get(), diagnostics));
    zt::Ref base = zt::Ref::steal(
        make_sink_base_type("zandor_trader.gateways.cqg.wrapper.Ambrel.CELSinkBase"));
    add_object(module.get(), "CELSinkBase", base.get());
    zt::Ref internal = zt::Ref::steal(make_sink_internal_type(
        "zandor_trader.gateways.cqg.wrapper.Ambrel.SinkInternal", base.get()));
    add_object(module.get(), "SinkInternal", internal.get());
    zt::Ref env = zt::Ref::steal(
        make_environment_type("zandor_trader.gateways.cqg.wrapper.Ambrel.Ambrel", internal.get()));
    add_object(module.get(), "Ambrel", env.get());
    // Private: what the adapter queues its requests to the worker through.
    zt::Ref api = zt::Ref::check(new_worker_api_capsule());
    add_object(module.get(), "_worker_api", api.get());
    static PyMethodDef start[] = {start_def, {nullptr, nullptr, 0, nullptr}};
    zt::check_status(PyModule_AddFunctions(module.get(), start));
    return module.release();
  });
}

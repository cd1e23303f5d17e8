// SinkInternal, the environment's own event sink, and the component's API configuration.
#include "sink_internal.h"

#include <cstddef>

#include <structmember.h>

#include "args.h"
#include "bridge.h"
#include "diagnostics.h"
#include "environment_names.h"
#include "guard.h"
#include "py_ref.h"
#include "sink_base.h"
#include "wait_event.h"

namespace ambrel {

namespace {

// Both fields are written by Init and read by the handlers, all on the worker with the GIL
// held; NULL until Init.
struct SinkInternalObject {
  PyObject_HEAD
  PyObject* eventCELStarted;
  PyObject* ambrel;
};

SinkInternalObject* as_sink(PyObject* self) { return reinterpret_cast<SinkInternalObject*>(self); }

PyObject* required_field(PyObject* self, PyObject* value, const char* name) {
  if (!value)
    zt::raise_format(PyExc_AttributeError, "'%.50s' object has no attribute '%.400s'",
                     Py_TYPE(self)->tp_name, name);
  return value;
}

int sink_init(PyObject*, PyObject* args, PyObject* kwargs) {
  return zt::guarded_status([&] {
    if (PyTuple_GET_SIZE(args) != 0)
      zt::raise_format(PyExc_TypeError, "__init__() takes exactly 0 positional arguments (%zd given)",
                       PyTuple_GET_SIZE(args));
    if (kwargs && PyDict_GET_SIZE(kwargs) != 0)
      zt::raise(PyExc_TypeError, "__init__() takes no keyword arguments");
    trace("Internal sink ctor");
    return 0;
  });
}

int sink_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_sink(self)->eventCELStarted);
  Py_VISIT(as_sink(self)->ambrel);
  return 0;
}

int sink_clear(PyObject* self) {
  Py_CLEAR(as_sink(self)->eventCELStarted);
  Py_CLEAR(as_sink(self)->ambrel);
  return 0;
}

void sink_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  sink_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* sink_Init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return zt::guarded([&]() -> PyObject* {
    static const char* const names[] = {"eventCELStarted", "ambrel"};
    static const zt::Signature sig{"Init", names, 2, 2};
    PyObject* in[2];
    zt::bind_args(sig, args, nargs, kwnames, in);
    Py_XSETREF(as_sink(self)->eventCELStarted, Py_NewRef(in[0]));
    Py_XSETREF(as_sink(self)->ambrel, Py_NewRef(in[1]));
    return zt::none();
  });
}

// Sets the start event, which wakes the environment's start-up wait.
void signal_started(PyObject* self) {
  zt::Ref event = zt::Ref::borrow(
      required_field(self, as_sink(self)->eventCELStarted, "eventCELStarted"));
  if (zt::is_event(event.get())) {
    zt::event_set(event.get());
  } else {
    zt::Ref::check(PyObject_CallMethodNoArgs(event.get(), N.set));
  }
}

PyObject* sink_OnCELStarted(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return zt::guarded([&]() -> PyObject* {
    static const zt::Signature& sig = handler_signature("OnCELStarted");
    zt::bind_args(sig, args, nargs, kwnames, nullptr);
    trace("SinkInternal: CELStarted!");
    signal_started(self);
    return zt::none();
  });
}

PyObject* sink_OnDataError(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return zt::guarded([&]() -> PyObject* {
    static const zt::Signature& sig = handler_signature("OnDataError");
    PyObject* in[2];  // cqgError, errorDescription (never shown)
    zt::bind_args(sig, args, nargs, kwnames, in);
    if (in[0] != Py_None) {
      zt::Ref error = bridge::call(bridge::win32com_client(), "Dispatch", {in[0]});
      zt::Ref code = zt::Ref::check(PyObject_GetAttrString(error.get(), "Code"));
      zt::Ref description = zt::Ref::check(PyObject_GetAttrString(error.get(), "Description"));
      zt::Ref line = zt::Ref::check(PyUnicode_FromFormat(
          "SinkInternal: OnDataError: Code: %S Description: %S", code.get(), description.get()));
      trace(line.get());
    }
    // The flag first: whoever the start event releases must already see it.
    zt::Ref ambrel = zt::Ref::borrow(required_field(self, as_sink(self)->ambrel, "ambrel"));
    zt::Ref::check(PyObject_CallMethodNoArgs(ambrel.get(), N.SetError));
    signal_started(self);
    return zt::none();
  });
}

PyMethodDef sink_methods[] = {
    {"Init", zt::fastcall(sink_Init), zt::kFastKeywords,
     "Init($self, eventCELStarted, ambrel)\n--\n\nKeep the start event and the environment."},
    {"OnCELStarted", zt::fastcall(sink_OnCELStarted), zt::kFastKeywords,
     "OnCELStarted($self)\n--\n\nThe component has started: set the start event."},
    {"OnDataError", zt::fastcall(sink_OnDataError), zt::kFastKeywords,
     "OnDataError($self, cqgError, errorDescription)\n--\n\n"
     "Report the error, flag it on the environment and set the start event."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef sink_members[] = {
    {"eventCELStarted", T_OBJECT_EX, offsetof(SinkInternalObject, eventCELStarted), 0, nullptr},
    {"ambrel", T_OBJECT_EX, offsetof(SinkInternalObject, ambrel), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// One write of the default configuration: a fresh read of APIConfiguration, then the set.
void write_default(PyObject* cqgCEL, const char* name, PyObject* value) {
  zt::Ref config = zt::Ref::check(PyObject_GetAttrString(cqgCEL, "APIConfiguration"));
  zt::check_status(PyObject_SetAttrString(config.get(), name, value));
}

}  // namespace

PyObject* make_sink_internal_type(const char* qualified_name, PyObject* sink_base) {
  static PyType_Slot slots[] = {
      {Py_tp_init, reinterpret_cast<void*>(sink_init)},
      {Py_tp_traverse, reinterpret_cast<void*>(sink_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(sink_clear)},
      {Py_tp_dealloc, reinterpret_cast<void*>(sink_dealloc)},
      {Py_tp_methods, sink_methods},
      {Py_tp_members, sink_members},
      {Py_tp_doc, const_cast<char*>("The environment's own sink: turns the component's start "
                                    "event and data errors into its start signal and error "
                                    "flag.")},
      {0, nullptr},
  };
  static PyType_Spec spec{qualified_name, static_cast<int>(sizeof(SinkInternalObject)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
  zt::Ref bases = zt::Ref::check(PyTuple_Pack(1, sink_base));
  return zt::Ref::check(PyType_FromSpecWithBases(&spec, bases.get())).release();
}

void api_configuration_set(PyObject* cqgCEL, PyObject* custom) {
  trace("CQGCEL default configuring...");
  write_default(cqgCEL, "CollectionsThrowException", Py_False);
  write_default(cqgCEL, "NewInstrumentChangeMode", Py_True);
  zt::Ref zero = zt::Ref::check(PyLong_FromLong(0));
  write_default(cqgCEL, "ReadyStatusCheck", zero.get());
  zt::Ref constants = bridge::attr(bridge::win32com_client(), "constants");
  zt::Ref tz_china = zt::Ref::check(PyObject_GetAttrString(constants.get(), "tzChina"));
  write_default(cqgCEL, "TimeZoneCode", tz_china.get());
  write_default(cqgCEL, "IncludeOrderTransactions", Py_True);
  write_default(cqgCEL, "UseOrderSide", Py_True);
  if (custom == Py_None) return;
  trace("CQGCEL custom configuring...");
  zt::Ref config = zt::Ref::check(PyObject_GetAttrString(cqgCEL, "APIConfiguration"));
  zt::Ref::check(PyObject_CallOneArg(custom, config.get()));
}

}  // namespace ambrel

// Module zandor_trader.gateways.cqg.wrapper.vantor: binds the environment's diagnostics and
// sink base, the host's records and the COM bridge at load; defines Vantor and its state.
#include "args.h"
#include "component_work.h"
#include "guard.h"
#include "module_gil.h"
#include "vantor.h"
#include "wait_event.h"

#include <structmember.h>

#include <vector>

namespace vantor {

using zt::Ref;

namespace {

PyObject* import_from(const char* module, const char* name) {
  Ref m = Ref::check(PyImport_ImportModule(module));
  return Ref::check(PyObject_GetAttrString(m.get(), name)).release();
}

// ---- construction and lifetime --------------------------------------------------------------

// State is made here rather than in __init__: the bridge's WithEvents creates the object
// through its events class (passing the component, which is ignored) and calls
// Vantor.__init__ afterwards, and a Python subclass may skip the base initialiser.
PyObject* vantor_new(PyTypeObject* type, PyObject*, PyObject*) {
  return zt::guarded([&]() -> PyObject* {
    Ref obj = Ref::check(type->tp_alloc(type, 0));
    VantorObject* self = self_of(obj.get());
    for (PyObject** event : {&self->eventGatewayIsUp, &self->eventGatewayIsDown, &self->eventAccountIsReady,
                             &self->eventOrderPlaced, &self->eventQuoteDone, &self->eventOrderbookDone,
                             &self->eventBarDone})
      *event = zt::new_event().release();
    self->subscribe_bars_data = Ref::check(PyDict_New()).release();
    self->account_balance = Ref::check(PyObject_CallNoArgs(M.AccountBalance)).release();
    self->positions = Ref::check(PyList_New(0)).release();
    self->order_id = Ref::borrow(Py_None).release();
    return obj.release();
  });
}

// The constructor takes no arguments; the state already exists.
int vantor_init(PyObject*, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) || (kwargs && PyDict_GET_SIZE(kwargs))) {
    PyErr_SetString(PyExc_TypeError, "Vantor() takes no arguments");
    return -1;
  }
  return 0;
}

#define VANTOR_FIELDS(X)                                                                     \
  X(dict) X(eventGatewayIsUp) X(eventGatewayIsDown) X(eventAccountIsReady) X(eventOrderPlaced) \
  X(eventQuoteDone) X(eventOrderbookDone) X(eventBarDone) X(subscribe_bars_data)             \
  X(account_balance) X(positions) X(order_id) X(ambrel) X(gateway) X(GWAccountID)  \
  X(awaited_guid)

int vantor_traverse(PyObject* obj, visitproc visit, void* arg) {
  VantorObject* self = self_of(obj);
  Py_VISIT(Py_TYPE(obj));
#define VISIT(f) Py_VISIT(self->f);
  VANTOR_FIELDS(VISIT)
#undef VISIT
  return 0;
}

int vantor_clear(PyObject* obj) {
  VantorObject* self = self_of(obj);
#define CLEAR(f) Py_CLEAR(self->f);
  VANTOR_FIELDS(CLEAR)
#undef CLEAR
  return 0;
}

void vantor_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  PyObject_GC_UnTrack(obj);
  if (self_of(obj)->weakrefs) PyObject_ClearWeakRefs(obj);
  vantor_clear(obj);
  type->tp_free(obj);
  Py_DECREF(type);
}

// ---- attributes -------------------------------------------------------------------------------

// Offsets of the attributes, for the generic getter and setter below.
template <PyObject* VantorObject::*Field>
PyObject* get_field(PyObject* obj, void* name) {
  PyObject* value = self_of(obj)->*Field;
  if (!value) {
    PyErr_Format(PyExc_AttributeError, "'Vantor' object has no attribute '%s'",
                 static_cast<const char*>(name));
    return nullptr;
  }
  return Ref::borrow(value).release();
}

template <PyObject* VantorObject::*Field>
int set_field(PyObject* obj, PyObject* value, void*) {
  PyObject* old = self_of(obj)->*Field;
  Py_XINCREF(value);
  self_of(obj)->*Field = value;  // null (del) makes the attribute unset again
  Py_XDECREF(old);
  return 0;
}

#define READ_ONLY(f) {#f, get_field<&VantorObject::f>, nullptr, nullptr, const_cast<char*>(#f)}
#define READ_WRITE(f) \
  {#f, get_field<&VantorObject::f>, set_field<&VantorObject::f>, nullptr, const_cast<char*>(#f)}

PyGetSetDef vantor_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    READ_ONLY(eventGatewayIsUp),
    READ_ONLY(eventGatewayIsDown),
    READ_ONLY(eventAccountIsReady),
    READ_ONLY(eventOrderPlaced),
    READ_ONLY(eventQuoteDone),
    READ_ONLY(eventOrderbookDone),
    READ_ONLY(eventBarDone),
    READ_ONLY(subscribe_bars_data),
    READ_WRITE(account_balance),
    READ_WRITE(positions),
    READ_WRITE(order_id),
    READ_WRITE(ambrel),
    READ_WRITE(gateway),
    READ_WRITE(GWAccountID),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef vantor_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(VantorObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(VantorObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Init(gateway): binds the adapter to the gateway and its environment.
PyObject* vantor_Init(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return zt::guarded([&] {
    static const char* const names[] = {"gateway"};
    static const zt::Signature sig{"Init", names, 1, 1};
    PyObject* gateway;
    zt::bind_args(sig, args, nargs, kwnames, &gateway);
    Ref ambrel = Ref::check(PyObject_GetAttr(gateway, N.ambrel));
    set_field<&VantorObject::ambrel>(obj, ambrel.get(), nullptr);
    set_field<&VantorObject::gateway>(obj, gateway, nullptr);
    return zt::none();
  });
}

std::vector<PyMethodDef> all_methods() {
  std::vector<PyMethodDef> methods;
  methods.push_back({"Init", zt::fastcall(vantor_Init), zt::kFastKeywords,
                     "Init($self, gateway)\n--\n\nBind the adapter to the gateway."});
  for (PyMethodDef* table : {connection_methods, quote_methods, tick_methods, bar_methods,
                             account_methods, order_methods})
    for (PyMethodDef* m = table; m->ml_name; ++m) methods.push_back(*m);
  methods.push_back({nullptr, nullptr, 0, nullptr});
  return methods;
}

PyObject* make_vantor_type() {
  static std::vector<PyMethodDef> methods = all_methods();
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(vantor_new)},
      {Py_tp_init, reinterpret_cast<void*>(vantor_init)},
      {Py_tp_dealloc, reinterpret_cast<void*>(vantor_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(vantor_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(vantor_clear)},
      {Py_tp_getset, vantor_getset},
      {Py_tp_members, vantor_members},
      {Py_tp_methods, methods.data()},
      {Py_tp_doc, const_cast<char*>("CQG Integrated Client API")},
      {0, nullptr},
  };
  static PyType_Spec spec{"zandor_trader.gateways.cqg.wrapper.vantor.Vantor", sizeof(VantorObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
  if (reinterpret_cast<PyTypeObject*>(M.CELSinkBase)->tp_basicsize != sizeof(PyObject))
    throw zt::InternalError("CELSinkBase must keep the instance layout of object");
  Ref bases = Ref::check(PyTuple_Pack(1, M.CELSinkBase));
  Ref type = Ref::check(PyType_FromSpecWithBases(&spec, bases.get()));
  // The host decides what an error inside unsubscribe_bar does.
  PyObject* raw = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(type.get())->tp_dict, N.unsubscribe_bar);
  if (raw) {
    Ref wrapped = Ref::check(PyObject_CallOneArg(M.safe_call, raw));
    zt::check_status(PyObject_SetAttr(type.get(), N.unsubscribe_bar, wrapped.get()));
  } else if (PyErr_Occurred()) {
    throw zt::PythonError{};
  }
  return type.release();
}

PyMethodDef functions[] = {
    {"QuoteType2String", zt::fastcall(QuoteType2String), zt::kFastKeywords,
     "QuoteType2String($module, quoteType)\n--\n\nThe quote type's name."},
    {"TickType2String", zt::fastcall(TickType2String), zt::kFastKeywords,
     "TickType2String($module, tickType)\n--\n\nThe tick price type's name."},
    {"convert_orderstatus_cqg2qt", zt::fastcall(convert_orderstatus_cqg2qt), zt::kFastKeywords,
     "convert_orderstatus_cqg2qt($module, status)\n--\n\n"
     "The host's OrderStatus for a component order status."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vantor", "The CQG gateway adapter.", -1, functions,
    nullptr, nullptr, nullptr, nullptr,
};

void add(PyObject* module, const char* name, PyObject* value) {
  zt::check_status(PyModule_AddObjectRef(module, name, value));
}

}  // namespace

}  // namespace vantor

PyMODINIT_FUNC PyInit_vantor() {
  using vantor::M;
  using zt::Ref;
  return zt::guarded([]() -> PyObject* {
    vantor::intern_names();
    zt::init_output();
    Ref module = Ref::check(PyModule_Create(&vantor::module_def));
    zt::declare_gil_used(module.get());
    M.module = module.get();  // borrowed: the module lives for the process
    const char* ambrel = "zandor_trader.gateways.cqg.wrapper.Ambrel";
    M.AssertMessage = vantor::import_from(ambrel, "AssertMessage");
    M.CELSinkBase = vantor::import_from(ambrel, "CELSinkBase");
    M.Trace = vantor::import_from(ambrel, "Trace");
    vantor::bind_worker_api();
    M.Order = vantor::import_from("zandor_trader.core.order", "Order");
    M.Direction = vantor::import_from("zandor_trader.core.constants", "Direction");
    M.OrderStatus = vantor::import_from("zandor_trader.core.constants", "OrderStatus");
    M.OrderType = vantor::import_from("zandor_trader.core.constants", "OrderType");
    M.PositionData = vantor::import_from("zandor_trader.core.position", "PositionData");
    M.AccountBalance = vantor::import_from("zandor_trader.core.balance", "AccountBalance");
    M.Quote = vantor::import_from("zandor_trader.core.data", "Quote");
    M.OrderBook = vantor::import_from("zandor_trader.core.data", "OrderBook");
    M.Bar = vantor::import_from("zandor_trader.core.data", "Bar");
    M.safe_call = vantor::import_from("zandor_trader.core.utility", "safe_call");
    M.BaseGateway = vantor::import_from("zandor_trader.gateways", "BaseGateway");
    M.replace = vantor::import_from("dataclasses", "replace");
    M.Dispatch = vantor::import_from("win32com.client", "Dispatch");
    M.constants = vantor::import_from("win32com.client", "constants");
    M.datetime_type = vantor::import_from("datetime", "datetime");
    zt::init_event_type("zandor_trader.gateways.cqg.wrapper.vantor.WaitEvent");
    vantor::make_values();

    PyObject* m = module.get();
    for (auto [name, value] : {std::pair{"AssertMessage", M.AssertMessage}, {"CELSinkBase", M.CELSinkBase},
                               {"Trace", M.Trace}, {"Order", M.Order}, {"Direction", M.Direction},
                               {"OrderStatus", M.OrderStatus}, {"OrderType", M.OrderType},
                               {"PositionData", M.PositionData}, {"AccountBalance", M.AccountBalance},
                               {"Quote", M.Quote}, {"OrderBook", M.OrderBook}, {"Bar", M.Bar},
                               {"safe_call", M.safe_call}, {"BaseGateway", M.BaseGateway}})
      vantor::add(m, name, value);

    Ref timeout = Ref::check(PyLong_FromLong(10));
    vantor::add(m, "TIMEOUT", timeout.get());
    Ref pytz = Ref::check(PyImport_ImportModule("pytz"));
    Ref zone = Ref::check(PyObject_CallMethod(pytz.get(), "timezone", "s", "Asia/Hong_Kong"));
    vantor::add(m, "TIMEZONE", zone.get());
    vantor::add(m, "INVALID_VALUE", M.invalid);
    Ref thread_module = Ref::check(PyImport_ImportModule("_thread"));
    M.lock = Ref::check(PyObject_CallMethod(thread_module.get(), "allocate_lock", nullptr)).release();
    vantor::add(m, "lock", M.lock);

    Ref type = Ref::steal(vantor::make_vantor_type());
    vantor::add(m, "Vantor", type.get());
    return module.release();
  });
}

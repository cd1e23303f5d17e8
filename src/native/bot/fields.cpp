// The shared request fields: the table and plain access on the bot object.
#include "fields.h"

#include "guard.h"

namespace zt::bot {

const Field kFields[kFieldCount] = {
    {"zandor_trader_status", Store::Text, Initial::Running},
    {"get_balance", Store::Flag, Initial::False},
    {"get_positions", Store::Flag, Initial::False},
    {"get_orders", Store::Flag, Initial::False},
    {"active_orders", Store::Flag, Initial::False},
    {"num_orders_displayed", Store::Value, Initial::One},
    {"get_deals", Store::Flag, Initial::False},
    {"num_deals_displayed", Store::Value, Initial::One},
    {"cancel_order", Store::Flag, Initial::False},
    {"cancel_order_id", Store::Value, Initial::None},
    {"gateway_name", Store::Value, Initial::None},
    {"cancel_orders", Store::Flag, Initial::False},
    {"send_order", Store::Flag, Initial::False},
    {"order_string", Store::Value, Initial::Empty},
    {"close_positions", Store::Flag, Initial::False},
    {"close_positions_gateway_name", Store::Value, Initial::None},
};

namespace {
// Interned once at load, never freed; read-only afterwards.
PyObject* g_names[kFieldCount] = {};
}  // namespace

void intern_field_names() {
  for (std::size_t i = 0; i < kFieldCount; ++i)
    if (!g_names[i]) g_names[i] = intern(kFields[i].name);
}

PyObject* field_name(FieldId id) { return g_names[id]; }

Ref initial_value(FieldId id) {
  switch (kFields[id].initial) {
    case Initial::Running:
      return Ref::check(PyUnicode_FromString("Running"));
    case Initial::False:
      return Ref::borrow(Py_False);
    case Initial::One:
      return Ref::check(PyLong_FromLong(1));
    case Initial::None:
      return Ref::borrow(Py_None);
    case Initial::Empty:
      return Ref::check(PyUnicode_FromString(""));
  }
  throw InternalError("unknown initial value");
}

Ref get_field(PyObject* bot, FieldId id) {
  return Ref::check(PyObject_GetAttr(bot, g_names[id]));
}

void set_field(PyObject* bot, FieldId id, PyObject* value) {
  check_status(PyObject_SetAttr(bot, g_names[id], value));
}

}  // namespace zt::bot

// The sixteen request fields that the command handlers and the trading engine share on the
// bot object: names, initial values and what a property setter stores.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "py_ref.h"

namespace zt::bot {

// Indices into kFields, in the order the fields are first written.
enum FieldId : std::size_t {
  kStatus,
  kGetBalance,
  kGetPositions,
  kGetOrders,
  kActiveOrders,
  kNumOrdersDisplayed,
  kGetDeals,
  kNumDealsDisplayed,
  kCancelOrder,
  kCancelOrderId,
  kGatewayName,
  kCancelOrders,
  kSendOrder,
  kOrderString,
  kClosePositions,
  kClosePositionsGatewayName,
  kFieldCount
};

enum class Store { Text, Flag, Value };  // exact str / truth value / as given
enum class Initial { Running, False, One, None, Empty };

struct Field {
  const char* name;
  Store store;
  Initial initial;
};

extern const Field kFields[kFieldCount];

// Interns the field names; call once at load.
void intern_field_names();
// The interned name of a field (borrowed, lives for the process).
PyObject* field_name(FieldId id);
Ref initial_value(FieldId id);

// Plain attribute access to a field on the bot object.
Ref get_field(PyObject* bot, FieldId id);
void set_field(PyObject* bot, FieldId id, PyObject* value);

}  // namespace zt::bot

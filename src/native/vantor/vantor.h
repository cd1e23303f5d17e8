// The adapter object (Vantor) and what its parts share: the instance layout, the names and
// host types bound at module load, and helpers for component calls.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "adapter_names.h"
#include "output.h"
#include "py_ref.h"

namespace vantor {

// Instance layout. Extends CELSinkBase's, which is that of `object`. Every member is an owned
// reference, written only with the GIL held; the adapter's handlers (worker thread) and
// request operations (gateway thread) both run with the GIL.
struct VantorObject {
  PyObject_HEAD
  PyObject* dict;      // instance __dict__: extra attributes a host may set
  PyObject* weakrefs;
  // Manual-reset wait events (zt::new_event); never replaced after construction.
  PyObject* eventGatewayIsUp;
  PyObject* eventGatewayIsDown;
  PyObject* eventAccountIsReady;
  PyObject* eventOrderPlaced;
  PyObject* eventQuoteDone;
  PyObject* eventOrderbookDone;
  PyObject* eventBarDone;
  PyObject* subscribe_bars_data;  // dict: security -> list of Bar, oldest first
  PyObject* account_balance;      // AccountBalance
  PyObject* positions;            // list of PositionData
  PyObject* order_id;             // hand-over slot: str or None
  PyObject* ambrel;               // the environment; null until Init
  PyObject* gateway;              // the host gateway; null until Init
  PyObject* GWAccountID;          // int; null until an account is subscribed
  PyObject* awaited_guid;         // str: GUID of the order place_order waits for; null when none
};

inline VantorObject* self_of(PyObject* o) { return reinterpret_cast<VantorObject*>(o); }

// Everything bound once at module load; owned by the module for the life of the process.
struct Module {
  PyObject* module;          // the vantor module itself (TIMEOUT is read from it at each use)
  PyObject* Trace;           // from the environment module
  PyObject* AssertMessage;
  PyObject* CELSinkBase;
  // Host records, enumerations and helpers.
  PyObject* Order;
  PyObject* PositionData;
  PyObject* AccountBalance;
  PyObject* Quote;
  PyObject* OrderBook;
  PyObject* Bar;
  PyObject* Direction;
  PyObject* OrderType;
  PyObject* OrderStatus;
  PyObject* safe_call;
  PyObject* BaseGateway;
  PyObject* replace;         // dataclasses.replace: the record-replace operation
  // The COM bridge.
  PyObject* Dispatch;        // win32com.client.Dispatch
  PyObject* constants;       // win32com.client.constants
  PyObject* datetime_type;   // datetime.datetime
  PyObject* lock;            // the module-wide lock
  // Values the parts pass, made once at load by make_values().
  PyObject* zero;            // 0
  PyObject* one;             // 1
  PyObject* all_sessions;    // 31: every session, a ticks request's SessionsFilter
  PyObject* tick_limit;      // 10: a ticks request's Limit
  PyObject* invalid;         // INVALID_VALUE: a bar field without a valid value
  PyObject* now;             // datetime.now, bound
  PyObject* LONG;            // the host's Direction and OrderType members
  PyObject* SHORT;
  PyObject* LIMIT;
  PyObject* MARKET;
  PyObject* STOP;
  PyObject* order_statuses[5];  // OrderStatus UNKNOWN, SUBMITTED, FILLED, CANCELLED, FAILED
  PyObject* quote_changes;   // quote type text -> keyword names of its replace()
};

extern Module M;

// Makes M's values (after the host's names and the environment's are bound); the quote
// part's own table with them.
void make_values();
void make_quote_changes();

// The component's enumeration constant `name`, looked up on win32com.client.constants.
zt::Ref constant(PyObject* name);
// win32com.client.Dispatch(obj): late-bound access to an object the component delivered.
zt::Ref dispatch(PyObject* obj);
// The environment's Trace with `text` (a str).
void trace(PyObject* text);
void trace(const char* text);
// The environment's AssertMessage(condition, message).
void assert_message(bool condition, PyObject* message);
// TIMEOUT as it is now, in seconds (read at each use, so a test may lower it).
double timeout_seconds();
// Waits on one of the adapter's events for at most TIMEOUT; GIL released.
bool wait_with_timeout(PyObject* event);
// The adapter's component object, ambrel.cqgCEL.
zt::Ref component(VantorObject* self);
// Plain print() of one line to sys.stdout (the adapter's few notices that are not traces).
using zt::print_line;
// The part of a dotted component name after its last "." (the whole name without a dot).
zt::Ref symbol_of(PyObject* full_name);
// A date-time without time zone from a component date-time, to whole seconds.
zt::Ref whole_seconds(PyObject* component_time);
// datetime.now(): local wall-clock time without time zone.
zt::Ref now();

// The component account whose GWAccountID equals `gw_account_id` (each visited account is
// traced), or None: get_account_from_gwaccountid without the argument check.
zt::Ref find_account(VantorObject* self, PyObject* gw_account_id);
// The first component instrument whose FullName contains `cqg_symbol` (a str), or None:
// get_instrument_from_cqg_symbol without the argument check.
zt::Ref find_instrument(VantorObject* self, PyObject* cqg_symbol);

// Method tables contributed by each part of the adapter; each ends with a null entry.
extern PyMethodDef connection_methods[];  // Logon, Logoff, accounts lookup, status handlers
extern PyMethodDef quote_methods[];       // instruments, quotes, order-book requests
extern PyMethodDef tick_methods[];        // ticks and order books
extern PyMethodDef bar_methods[];         // timed bars
extern PyMethodDef account_methods[];     // accounts and positions
extern PyMethodDef order_methods[];       // orders

// Module-level functions (METH_FASTCALL | METH_KEYWORDS), each in its part's file.
PyObject* QuoteType2String(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* TickType2String(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* convert_orderstatus_cqg2qt(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames);

}  // namespace vantor

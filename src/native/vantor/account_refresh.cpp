// Rebuilding the account balance and the open positions; each new record or list is built
// completely, without the module lock (reading goes through the component's thread, which
// may itself want the lock), and then published under it, so readers on other threads see
// either the previous value or the new one, never one half-built.
#include "account_refresh.h"

#include <utility>

#include "calls.h"

namespace vantor {

using zt::Ref;

Ref account_by_id(PyObject* self, PyObject* id, bool by_keyword) {
  PyObject* argv[] = {self, id};
  if (by_keyword)
    return Ref::check(PyObject_VectorcallMethod(N.get_account_from_gwaccountid, argv,
                                                1 | PY_VECTORCALL_ARGUMENTS_OFFSET, N.kw_GWAccountID));
  return Ref::check(PyObject_VectorcallMethod(N.get_account_from_gwaccountid, argv,
                                              2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

namespace {

// Replaces the adapter's `field` with `value` under the module's lock (a _thread lock, whose
// acquire() releases the GIL while it waits). Only the swap is done under it: the value
// replaced is dropped once the lock is free again, so no Python code (its finalizer) ever
// runs while this thread holds the lock, and nothing is left to a destructor to release.
void publish(PyObject*& field, Ref value) {
  // Held here, not by the caller: a thread ended while it waits for the lock then has this
  // frame's own clean-up to unwind first (see at_exit.md, on the sanitizer builds).
  Ref published = std::move(value);
  Ref::check(PyObject_CallMethodNoArgs(M.lock, N.acquire));
  Ref replaced = Ref::steal(std::exchange(field, published.release()));
  Ref::check(PyObject_CallMethodNoArgs(M.lock, N.release));
}

// "<local date-time with microseconds>: <error text>" on standard output.
void print_refresh_error(PyObject* error) {
  Ref stamp = call_method(now().get(), N.strftime, N.refresh_time_format);
  print_line(text("%U: %S", stamp.get(), error).get());
}

// A new AccountBalance with every field read from the account's summary.
Ref read_balance(PyObject* self) {
  PyObject* const reads[][2] = {
      {N.Balance, M.zero},         {N.Collaterals, M.one},
      {N.NLV, M.zero},             {N.MaintenanceMargin, M.one},
      {N.ProfitLoss, M.zero},      {N.UPL, M.zero},
  };
  PyObject* const fields[] = {
      N.cash,           N.cash_by_currency,   N.available_cash,
      N.max_power_short, N.net_cash_power,     N.maintenance_margin,
      N.realized_pnl,   N.unrealized_pnl,
  };

  Ref account = account_by_id(self, get(self, N.GWAccountID).get(), false);
  Ref record = Ref::check(PyObject_CallNoArgs(M.AccountBalance));
  Ref values[6];  // balance, collaterals, NLV, maintenance margin, profit/loss, UPL
  for (int i = 0; i < 6; ++i)
    values[i] = call_method(get(account.get(), N.Summary).get(), reads[i][0], reads[i][1]);
  Ref available = Ref::check(PyNumber_Subtract(values[0].get(), values[1].get()));
  PyObject* in_order[] = {values[0].get(), Py_None, available.get(), Py_None,
                          values[2].get(), values[3].get(), values[4].get(), values[5].get()};
  for (int i = 0; i < 8; ++i) put(record.get(), fields[i], in_order[i]);
  return record;
}

// The host's PositionData for one component position, or null when the position is flat or
// its symbol is not traded by the host.
Ref read_position(PyObject* gateway, PyObject* position) {
  Ref quantity = get(position, N.Quantity);
  if (!truthy(quantity.get())) return nullptr;
  Ref symbol = symbol_of(get(position, N.InstrumentName).get());
  Ref security = security_of(gateway, symbol.get());
  if (security.get() == Py_None) return nullptr;
  Ref side = get(position, N.Side);
  PyObject* direction;
  if (equal(side.get(), constant(N.osdBuy).get()))
    direction = M.LONG;
  else if (equal(side.get(), constant(N.osdSell).get()))
    direction = M.SHORT;
  else
    zt::raise_format(PyExc_ValueError, "Return CQG Position Side %S is invalid!", side.get());
  Ref price = get(position, N.AveragePrice);
  Ref size = Ref::check(PyNumber_Absolute(quantity.get()));
  Ref stamp = now();
  PyObject* argv[] = {nullptr, security.get(), direction, price.get(), size.get(), stamp.get()};
  return Ref::check(
      PyObject_Vectorcall(M.PositionData, argv + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, N.kw_position));
}

// A new list of the account's open positions, in the component's order.
Ref read_positions(PyObject* self) {

  Ref list = Ref::check(PyList_New(0));
  Ref account = account_by_id(self, get(self, N.GWAccountID).get(), true);
  Ref gateway = gateway_of(self_of(self));
  long long count = as_count(get(get(account.get(), N.Positions).get(), N.Count).get());
  for (long long n = 0; n < count; ++n) {
    Ref index = Ref::check(PyLong_FromLongLong(n));
    Ref collection = get(account.get(), N.Positions);
    Ref position = call_method(collection.get(), N.ItemByIndex, index.get());
    Ref record = read_position(gateway.get(), position.get());
    if (record) zt::check_status(PyList_Append(list.get(), record.get()));
  }
  return list;
}

}  // namespace

PyObject* update_account_balance(PyObject* obj, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return run_method(obj, "update_account_balance", args, nargs, kwnames, [&](VantorObject* self) {
    try {
      publish(self->account_balance, read_balance(obj));
    } catch (const zt::PythonError&) {
      // A failed refresh is reported and leaves the last complete record in place.
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
      Ref error = zt::take_error();
      print_refresh_error(error.get());
    }
    return zt::none();
  });
}

PyObject* update_positions(PyObject* obj, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return run_method(obj, "update_positions", args, nargs, kwnames, [&](VantorObject* self) {
    publish(self->positions, read_positions(obj));  // an error keeps the previous list
    return zt::none();
  });
}

}  // namespace vantor

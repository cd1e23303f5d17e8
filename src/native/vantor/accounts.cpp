// Accounts: subscribing and unsubscribing an account and its positions, and the
// account-change handler.
#include "account_refresh.h"
#include "calls.h"
#include "wait_flag.h"
#include "wait_event.h"

namespace vantor {

using zt::Ref;

namespace {

// The component's accounts take this long to settle after their subscription is switched off.
constexpr double kResubscribePause = 2.0;  // seconds

const char* const kAccountParam[1] = {"GWAccountID"};

// The component account for `id`; a value error when there is none.
Ref existing_account(PyObject* self, PyObject* id) {
  Ref account = account_by_id(self, id, false);
  if (account.get() == Py_None)
    zt::raise_format(PyExc_ValueError, "GWAccountID %S can not be found!", id);
  return account;
}

PyObject* subscribe_account_and_positions(PyObject* obj, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
  return run_method(obj, "subscribe_account_and_positions", kAccountParam, 1, args, nargs, kwnames,
                    [&](VantorObject* self, PyObject** in) {
    Ref id = zt::require_int(in[0], "GWAccountID");

    Ref cel = component(self);
    put(cel.get(), N.AccountSubscriptionLevel, constant(N.aslNone).get());
    // A wait on a flag nobody sets: the pause with the GIL released, which Ctrl-C ends.
    zt::WaitFlag().wait(kResubscribePause);
    put(cel.get(), N.AccountSubscriptionLevel, constant(N.aslAccountUpdatesAndOrders).get());
    trace("Waiting for accounts coming...");
    assert_message(wait_with_timeout(self->eventAccountIsReady), N.accounts_timeout);
    trace(text("Select account %S, subscribe to open positions.", id.get()).get());
    Py_XSETREF(self->GWAccountID, id.new_ref());

    Ref account = existing_account(obj, id.get());
    put(account.get(), N.AutoSubscribeInstruments, Py_True);
    put(account.get(), N.PositionSubcriptionLevel, constant(N.pslSnapshotAndUpdates).get());

    call_method(obj, N.update_account_balance);
    call_method(obj, N.update_positions);
    return zt::none();
  });
}

PyObject* unsubscribe_account_and_positions(PyObject* obj, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
  return run_method(obj, "unsubscribe_account_and_positions", kAccountParam, 1, args, nargs, kwnames,
                    [&](VantorObject* self, PyObject** in) {
    Ref id = zt::require_int(in[0], "GWAccountID");

    put(component(self).get(), N.AccountSubscriptionLevel, constant(N.aslNone).get());
    Ref account = existing_account(obj, id.get());
    put(account.get(), N.AutoSubscribeInstruments, Py_False);
    put(account.get(), N.PositionSubcriptionLevel, constant(N.pslNoPositions).get());
    trace(text("Unsubscribe account %S.", id.get()).get());
    return zt::none();
  });
}

// One trace line for a position event: `format` takes the account name and five position
// properties.
void trace_position(const char* format, PyObject* cqgAccount, PyObject* cqgPosition) {
  PyObject* const names[] = {N.InstrumentName, N.AveragePrice,
                              N.Quantity, N.OTE, N.ProfitLoss};
  Ref account = dispatch(cqgAccount);
  Ref position = dispatch(cqgPosition);
  Ref name = get(account.get(), N.GWAccountName);
  Ref values[5];
  for (int i = 0; i < 5; ++i) values[i] = get(position.get(), names[i]);
  trace(text(format, name.get(), values[0].get(), values[1].get(), values[2].get(), values[3].get(),
             values[4].get()).get());
}

PyObject* OnAccountChanged(PyObject* obj, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const char* const names[] = {"change", "cqgAccount", "cqgPosition"};
  return run_method(obj, "OnAccountChanged", names, 3, args, nargs, kwnames,
                    [&](VantorObject* self, PyObject** a) {
    PyObject* change = a[0];

    if (equal(change, constant(N.actPositionAdded).get()))
      trace_position("OnAccountChanged - open position is added for %S account - instrument: %S "
                     "average price: %S quantity: %S OTE: %S PL: %S",
                     a[1], a[2]);
    if (equal(change, constant(N.actPositionChanged).get()))
      trace_position("OnAccountChanged - open position is changed for %S account - instrument: %S "
                     "average price: %S quantity: %S OTE: %S PL: %S",
                     a[1], a[2]);
    if (equal(change, constant(N.actAccountsReloaded).get())) {
      trace("OnAccountChanged - Accounts are ready!");
      zt::event_set(self->eventAccountIsReady);
    }
    return zt::none();
  });
}

}  // namespace

PyMethodDef account_methods[] = {
    VANTOR_METHOD("subscribe_account_and_positions", subscribe_account_and_positions,
                  "subscribe_account_and_positions($self, GWAccountID)\n--\n\n"
                  "Follow the account's balance and positions."),
    VANTOR_METHOD("unsubscribe_account_and_positions", unsubscribe_account_and_positions,
                  "unsubscribe_account_and_positions($self, GWAccountID)\n--\n\n"
                  "Stop following the account."),
    VANTOR_METHOD("update_account_balance", update_account_balance,
                  "update_account_balance($self)\n--\n\n"
                  "Refresh account_balance from the component."),
    VANTOR_METHOD("update_positions", update_positions,
                  "update_positions($self)\n--\n\n"
                  "Refresh positions from the component."),
    VANTOR_METHOD("OnAccountChanged", OnAccountChanged,
                  "OnAccountChanged($self, change, cqgAccount, cqgPosition)\n--\n\n"
                  "Component event."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantor

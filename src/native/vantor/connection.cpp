// Logon, logoff, the account lookup and the connection-status and data-error handlers.
#include "calls.h"
#include "wait_event.h"

namespace vantor {

using zt::Ref;

namespace {

// Logon(user_name, password)
PyObject* Logon(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"user_name", "password"};
  return run_method(obj, "Logon", names, 2, args, nargs, kwnames, [](VantorObject* self, PyObject** in) {
    zt::require_str(in[0], "user_name");
    zt::require_str(in[1], "password");
    trace("Connecting to GW");
    call_method(component(self).get(), N.GWLogon, in[0], in[1]);
    trace("Waiting for GW connection...");
    // The up event is never cleared: once connected, a later Logon returns at once.
    bool up = wait_with_timeout(self->eventGatewayIsUp);
    assert_message(up, N.gw_connection_timeout);
    return zt::none();
  });
}

// Logoff(): logs off whenever the gateway reports the connection down, with or without a
// subscribed account; the account's name is traced when there is one.
PyObject* Logoff(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_method(obj, "Logoff", args, nargs, kwnames, [](VantorObject* self) {
    trace("Logoff from GW");
    Ref account;
    if (self->GWAccountID) {
      Ref id = Ref::borrow(self->GWAccountID);
      account = find_account(self, id.get());
    }
    zt::event_clear(self->eventGatewayIsDown);
    call_method(component(self).get(), N.GWLogoff);
    bool down = wait_with_timeout(self->eventGatewayIsDown);
    assert_message(down, N.gw_disconnection_timeout);
    if (account && account.get() != Py_None) {
      Ref name = get(account.get(), N.GWAccountName);
      trace(text("Successfully logoff account %S", name.get()).get());
    }
    return zt::none();
  });
}

// get_account_from_gwaccountid(GWAccountID)
PyObject* get_account_from_gwaccountid(PyObject* obj, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  static const char* const names[] = {"GWAccountID"};
  return run_method(obj, "get_account_from_gwaccountid", names, 1, args, nargs, kwnames,
                    [](VantorObject* self, PyObject** in) {
                      Ref id = zt::require_int(in[0], "GWAccountID");
                      return find_account(self, id.get()).release();
                    });
}

// OnGWConnectionStatusChanged(connectionStatus)
PyObject* OnGWConnectionStatusChanged(PyObject* obj, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  static const char* const names[] = {"connectionStatus"};
  return run_method(obj, "OnGWConnectionStatusChanged", names, 1, args, nargs, kwnames,
                    [](VantorObject* self, PyObject** in) {
                      if (equal(in[0], constant(N.csConnectionUp).get())) {
                        trace("GW connection is UP!");
                        zt::event_set(self->eventGatewayIsUp);
                      }
                      if (equal(in[0], constant(N.csConnectionDown).get())) {
                        trace("GW connection is DOWN!");
                        zt::event_set(self->eventGatewayIsDown);
                      }
                      return zt::none();
                    });
}

// OnDataConnectionStatusChanged(newStatus): a plain printed line; no wait event changes.
PyObject* OnDataConnectionStatusChanged(PyObject* obj, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  static const char* const names[] = {"newStatus"};
  return run_method(obj, "OnDataConnectionStatusChanged", names, 1, args, nargs, kwnames,
                    [](VantorObject*, PyObject** in) {
                      print_line(text("DataConnectionStatus=%S", in[0]).get());
                      return zt::none();
                    });
}

// OnDataError(cqgError, errorDescription): traced only; a waiting request is not released.
PyObject* OnDataError(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"cqgError", "errorDescription"};
  return run_method(obj, "OnDataError", names, 2, args, nargs, kwnames, [](VantorObject*, PyObject** in) {
    if (in[0] == Py_None) return zt::none();
    Ref error = dispatch(in[0]);
    Ref code = get(error.get(), N.Code);
    Ref description = get(error.get(), N.Description);
    trace(text("OnDataError: Code: %S Description: %S", code.get(), description.get()).get());
    return zt::none();
  });
}

}  // namespace

Ref find_account(VantorObject* self, PyObject* gw_account_id) {
  Ref accounts = dispatch(get(component(self).get(), N.Accounts).get());
  Ref it = Ref::check(PyObject_GetIter(accounts.get()));
  while (Ref account = Ref::steal(PyIter_Next(it.get()))) {
    Ref id = get(account.get(), N.GWAccountID);
    Ref name = get(account.get(), N.GWAccountName);
    trace(text("GW Account id: %S name: %S", id.get(), name.get()).get());
    if (zt::check_status(PyObject_RichCompareBool(id.get(), gw_account_id, Py_EQ))) {
      trace(text("[Found] GW Account id: %S name: %S", id.get(), name.get()).get());
      return account;
    }
  }
  if (PyErr_Occurred()) throw zt::PythonError{};
  return Ref::borrow(Py_None);
}

PyMethodDef connection_methods[] = {
    VANTOR_METHOD("Logon", Logon,
                  "Logon($self, user_name, password)\n--\n\n"
                  "Connect to the CQG gateway."),
    VANTOR_METHOD("Logoff", Logoff,
                  "Logoff($self)\n--\n\n"
                  "Disconnect from the CQG gateway."),
    VANTOR_METHOD("get_account_from_gwaccountid", get_account_from_gwaccountid,
                  "get_account_from_gwaccountid($self, GWAccountID)\n--\n\n"
                  "Return the component account, or None"),
    VANTOR_METHOD("OnGWConnectionStatusChanged", OnGWConnectionStatusChanged,
                  "OnGWConnectionStatusChanged($self, connectionStatus)\n--\n\n"
                  "Component event."),
    VANTOR_METHOD("OnDataConnectionStatusChanged", OnDataConnectionStatusChanged,
                  "OnDataConnectionStatusChanged($self, newStatus)\n--\n\n"
                  "Component event."),
    VANTOR_METHOD("OnDataError", OnDataError,
                  "OnDataError($self, cqgError, errorDescription)\n--\n\n"
                  "Component event."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantor

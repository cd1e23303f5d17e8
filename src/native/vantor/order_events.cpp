// The order-change handler (order updates, deals and the placement hand-over) and the order
// status conversion.
#include "order_events.h"

#include "calls.h"
#include "wait_event.h"

namespace vantor {

using zt::Ref;

Ref host_order_status(PyObject* status) {
  enum { UNKNOWN, SUBMITTED, FILLED, CANCELLED, FAILED };
  static PyObject* host[] = {
      get(M.OrderStatus, zt::intern("UNKNOWN")).release(),
      get(M.OrderStatus, zt::intern("SUBMITTED")).release(),
      get(M.OrderStatus, zt::intern("FILLED")).release(),
      get(M.OrderStatus, zt::intern("CANCELLED")).release(),
      get(M.OrderStatus, zt::intern("FAILED")).release(),
  };
  struct Row {
    PyObject* constant_name;
    int host;
  };
  // Compared in this order, each constant read afresh.
  static const Row rows[] = {
      {zt::intern("osActiveAt"), UNKNOWN},     {zt::intern("osContingent"), UNKNOWN},
      {zt::intern("osInCancel"), UNKNOWN},     {zt::intern("osInClient"), UNKNOWN},
      {zt::intern("osInModify"), UNKNOWN},     {zt::intern("osInTransit"), UNKNOWN},
      {zt::intern("osNotSent"), UNKNOWN},      {zt::intern("osParked"), UNKNOWN},
      {zt::intern("osInOrderBook"), SUBMITTED}, {zt::intern("osFilled"), FILLED},
      {zt::intern("osBusted"), FILLED},        {zt::intern("osCanceled"), CANCELLED},
      {zt::intern("osRejectFCM"), FAILED},     {zt::intern("osRejectGW"), FAILED},
      {zt::intern("osDisconnected"), FAILED},  {zt::intern("osExpired"), FAILED},
      {zt::intern("osInTransitTimeout"), FAILED},
  };
  for (const Row& row : rows)
    if (equal(status, constant(row.constant_name).get())) return Ref::borrow(host[row.host]);
  zt::raise_format(PyExc_ValueError, "Order status %S is not valid to be handled by zandor_trader.",
                   status);
}

PyObject* convert_orderstatus_cqg2qt(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return zt::guarded([&] {
    static const char* const names[] = {"status"};
    static const zt::Signature sig{"convert_orderstatus_cqg2qt", names, 1, 1};
    PyObject* status;
    zt::bind_args(sig, args, nargs, kwnames, &status);
    return host_order_status(status).release();
  });
}

namespace {

// property(id).Value of an order's property collection.
Ref property_value(PyObject* properties, PyObject* id_name) {
  static PyObject* value = zt::intern("Value");
  return get(call(properties, constant(id_name).get()).get(), value);
}

// A dict with `keys` (interned, in order) mapped to `values`.
template <size_t N>
Ref ordered_map(PyObject* const (&keys)[N], PyObject* const (&values)[N]) {
  Ref map = Ref::check(PyDict_New());
  for (size_t i = 0; i < N; ++i) zt::check_status(PyDict_SetItem(map.get(), keys[i], values[i]));
  return map;
}

// An added order: the one a placement waits for is handed over; any other was not placed here.
// Returns whether the event goes on to its fill.
bool hand_over(VantorObject* self, PyObject* order_id) {
  if (self->awaited_guid && equal(order_id, self->awaited_guid)) {
    // The slot is written before the event is set: the woken placement finds its GUID.
    Py_INCREF(order_id);
    Py_XSETREF(self->order_id, order_id);
    Py_CLEAR(self->awaited_guid);
    zt::event_set(self->eventOrderPlaced);
    return true;
  }
  print_line(text("orderid %S is not placed by algo", order_id).get());
  return false;
}

}  // namespace

PyObject* OnOrderChanged(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"changeType", "cqgOrder", "oldProperties", "cqgFill", "cqgError"};
  return run_method(obj, "OnOrderChanged", names, 5, args, nargs, kwnames,
                    [&](VantorObject* self, PyObject** a) {
    PyObject *change_type = a[0], *cqg_order = a[1], *cqg_fill = a[3], *cqg_error = a[4];
    if (cqg_error != Py_None) return zt::none();

    static PyObject* properties_name = zt::intern("Properties");
    static PyObject* value = zt::intern("Value");
    static PyObject* op_gw_status = zt::intern("opGWStatus");
    static PyObject* op_guid = zt::intern("opGUID");
    static PyObject* op_server_time = zt::intern("opEventServerTimestamp");
    static PyObject* op_avg_price = zt::intern("opAverageFillPrice");
    static PyObject* op_filled = zt::intern("opFilledQuantity");
    static PyObject* ct_added = zt::intern("ctAdded");
    static PyObject* ct_changed = zt::intern("ctChanged");
    static PyObject* ct_removed = zt::intern("ctRemoved");
    static PyObject* process_order = zt::intern("process_order");
    static PyObject* process_deal = zt::intern("process_deal");
    static PyObject* update_keys[] = {zt::intern("order_id"), zt::intern("updated_time"),
                                      zt::intern("filled_avg_price"), zt::intern("filled_quantity"),
                                      zt::intern("status")};
    Ref order = dispatch(cqg_order);
    Ref properties = dispatch(get(order.get(), properties_name).get());
    Ref status_property = call(properties.get(), constant(op_gw_status).get());
    Ref guid_property = call(properties.get(), constant(op_guid).get());
    Ref updated_time = whole_seconds(property_value(properties.get(), op_server_time).get());
    Ref avg_price = property_value(properties.get(), op_avg_price);
    Ref filled = property_value(properties.get(), op_filled);
    Ref status = host_order_status(get(status_property.get(), value).get());
    Ref order_id = get(guid_property.get(), value);

    if (equal(change_type, constant(ct_added).get())) {
      if (!hand_over(self, order_id.get())) return zt::none();
    } else if (equal(change_type, constant(ct_changed).get()) ||
               equal(change_type, constant(ct_removed).get())) {
      Ref update = ordered_map(update_keys, {order_id.get(), updated_time.get(), avg_price.get(),
                                             filled.get(), status.get()});
      call_method(gateway_of(self).get(), process_order, update.get());
    }

    if (!truthy(cqg_fill)) return zt::none();
    static PyObject* status_name = zt::intern("Status");
    static PyObject* fs_normal = zt::intern("fsNormal");
    Ref fill = dispatch(cqg_fill);
    if (!equal(get(fill.get(), status_name).get(), constant(fs_normal).get())) return zt::none();

    static PyObject* timestamp = zt::intern("Timestamp");
    static PyObject* price = zt::intern("Price");
    static PyObject* quantity = zt::intern("Quantity");
    static PyObject* order_name = zt::intern("Order");
    static PyObject* guid = zt::intern("GUID");
    static PyObject* id = zt::intern("Id");
    static PyObject* deal_keys[] = {zt::intern("deal_id"), zt::intern("order_id"),
                                    zt::intern("updated_time"), zt::intern("filled_avg_price"),
                                    zt::intern("filled_quantity")};
    Ref fill_time = whole_seconds(get(fill.get(), timestamp).get());
    Ref fill_price = get(fill.get(), price);
    Ref fill_quantity = get(fill.get(), quantity);
    Ref fill_order_id = get(get(fill.get(), order_name).get(), guid);
    Ref deal_id = get(fill.get(), id);
    Ref deal = ordered_map(deal_keys, {deal_id.get(), fill_order_id.get(), fill_time.get(),
                                       fill_price.get(), fill_quantity.get()});
    call_method(gateway_of(self).get(), process_deal, deal.get());
    return zt::none();
  });
}

}  // namespace vantor

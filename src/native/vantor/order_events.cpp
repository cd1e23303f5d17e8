// The order-change handler (order updates, deals and the placement hand-over) and the order
// status conversion.
#include "order_events.h"

#include "calls.h"
#include "wait_event.h"

namespace vantor {

using zt::Ref;

Ref host_order_status(PyObject* status) {
  enum { UNKNOWN, SUBMITTED, FILLED, CANCELLED, FAILED };
  struct Row {
    PyObject* constant_name;
    int host;
  };
  // Compared in this order, each constant read afresh.
  const Row rows[] = {
      {N.osActiveAt, UNKNOWN},     {N.osContingent, UNKNOWN},
      {N.osInCancel, UNKNOWN},     {N.osInClient, UNKNOWN},
      {N.osInModify, UNKNOWN},     {N.osInTransit, UNKNOWN},
      {N.osNotSent, UNKNOWN},      {N.osParked, UNKNOWN},
      {N.osInOrderBook, SUBMITTED}, {N.osFilled, FILLED},
      {N.osBusted, FILLED},        {N.osCanceled, CANCELLED},
      {N.osRejectFCM, FAILED},     {N.osRejectGW, FAILED},
      {N.osDisconnected, FAILED},  {N.osExpired, FAILED},
      {N.osInTransitTimeout, FAILED},
  };
  for (const Row& row : rows)
    if (equal(status, constant(row.constant_name).get())) return Ref::borrow(M.order_statuses[row.host]);
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
  return get(call(properties, constant(id_name).get()).get(), N.Value);
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

    PyObject* const update_keys[] = {N.order_id, N.updated_time,
                                      N.filled_avg_price, N.filled_quantity,
                                      N.status};
    Ref order = dispatch(cqg_order);
    Ref properties = dispatch(get(order.get(), N.Properties).get());
    Ref status_property = call(properties.get(), constant(N.opGWStatus).get());
    Ref guid_property = call(properties.get(), constant(N.opGUID).get());
    Ref updated_time = whole_seconds(property_value(properties.get(), N.opEventServerTimestamp).get());
    Ref avg_price = property_value(properties.get(), N.opAverageFillPrice);
    Ref filled = property_value(properties.get(), N.opFilledQuantity);
    Ref status = host_order_status(get(status_property.get(), N.Value).get());
    Ref order_id = get(guid_property.get(), N.Value);

    if (equal(change_type, constant(N.ctAdded).get())) {
      if (!hand_over(self, order_id.get())) return zt::none();
    } else if (equal(change_type, constant(N.ctChanged).get()) ||
               equal(change_type, constant(N.ctRemoved).get())) {
      Ref update = ordered_map(update_keys, {order_id.get(), updated_time.get(), avg_price.get(),
                                             filled.get(), status.get()});
      call_method(gateway_of(self).get(), N.process_order, update.get());
    }

    if (!truthy(cqg_fill)) return zt::none();
    Ref fill = dispatch(cqg_fill);
    if (!equal(get(fill.get(), N.Status).get(), constant(N.fsNormal).get())) return zt::none();

    PyObject* const deal_keys[] = {N.deal_id, N.order_id,
                                    N.updated_time, N.filled_avg_price,
                                    N.filled_quantity};
    Ref fill_time = whole_seconds(get(fill.get(), N.Timestamp).get());
    Ref fill_price = get(fill.get(), N.Price);
    Ref fill_quantity = get(fill.get(), N.Quantity);
    Ref fill_order_id = get(get(fill.get(), N.Order).get(), N.GUID);
    Ref deal_id = get(fill.get(), N.Id);
    Ref deal = ordered_map(deal_keys, {deal_id.get(), fill_order_id.get(), fill_time.get(),
                                       fill_price.get(), fill_quantity.get()});
    call_method(gateway_of(self).get(), N.process_deal, deal.get());
    return zt::none();
  });
}

}  // namespace vantor

// Orders: placing an order and waiting for the component to report it added, cancelling.
#include "account_refresh.h"
#include "calls.h"
#include "component_work.h"
#include "order_events.h"
#include "wait_event.h"

#include <utility>

namespace vantor {

using zt::Ref;

namespace {

// Which of the three supported types the host's order type is (0 limit, 1 market, 2 stop);
// a value error for any other type.
int order_kind(PyObject* order_type) {
  PyObject* const host[] = {M.LIMIT, M.MARKET, M.STOP};
  for (int i = 0; i < 3; ++i)
    if (equal(order_type, host[i])) return i;
  zt::raise_format(PyExc_ValueError, "Unsupported order type %S", order_type);
}

// The component side for the host's direction; a value error for any other direction.
Ref side_of(PyObject* direction) {
  PyObject* const host[] = {M.LONG, M.SHORT};
  PyObject* const cqg[] = {N.osdBuy, N.osdSell};
  for (int i = 0; i < 2; ++i)
    if (equal(direction, host[i])) return constant(cqg[i]);
  zt::raise_format(PyExc_ValueError, "Unsupported order side %S", direction);
}

// A placement's component calls, on the worker: the look-ups, CreateOrder and Place. Its
// inputs are the order and the CQG symbol the gateway gave for its security.
Ref create_and_place(WorkObject* work) {
  PyObject* obj = work->adapter;
  VantorObject* self = self_of(obj);
  PyObject* order = work->input[0];
  PyObject* symbol = work->input[1];
  PyObject* const field_names[] = {N.quantity, N.price, N.stop_price};

  Ref instrument = call_method(obj, N.get_instrument_from_cqg_symbol, symbol);
  if (instrument.get() == Py_None)
    zt::raise_format(PyExc_ValueError, "cqg_symbol %S has not been subscribed.", symbol);
  PyObject* const cqg_types[] = {N.otLimit, N.otMarket, N.otStop};
  // CreateOrder takes the price after the side for a limit order, then the stop price for a
  // stop order.
  constexpr Py_ssize_t arities[] = {6, 5, 7};
  int kind = order_kind(get(order, N.order_type).get());
  Ref cqg_type = constant(cqg_types[kind]);
  Ref side = side_of(get(order, N.direction).get());
  Ref account = account_by_id(obj, get(obj, N.GWAccountID).get(), true);

  Py_ssize_t arity = arities[kind];
  Ref fields[3];
  fields[0] = get(order, field_names[0]);
  for (Py_ssize_t i = 1; i < arity - 4; ++i) fields[i] = get(order, field_names[i]);
  PyObject* argv[] = {nullptr, cqg_type.get(), instrument.get(), account.get(),
                      fields[0].get(), side.get(), fields[1].get(), fields[2].get()};
  Ref cel = component(self);
  Ref create = get(cel.get(), N.CreateOrder);
  Ref created = Ref::check(
      PyObject_Vectorcall(create.get(), argv + 1, arity | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  Ref placed = dispatch(created.get());
  put(placed.get(), N.Manual, M.zero);

  // The component names the order before it is placed: its added event is matched by that.
  Ref guid = get(placed.get(), N.GUID);
  // A caller that has given up meanwhile is told of no order: none is placed for it. From
  // the check to Place nothing gives up the GIL, so the caller either sees the mark or
  // nothing was placed.
  if (work->abandoned) return Ref::borrow(Py_None);
  Py_XSETREF(work->guid, guid.new_ref());
  Py_XSETREF(self->awaited_guid, guid.new_ref());
  zt::event_clear(self->eventOrderPlaced);
  call_method(placed.get(), N.Place);
  return guid;
}

// The mark of the GUID a placement waits for goes when the placement ends however it ends,
// so a late answer is not taken for a later placement; so does the work item's chance to
// place (an item still queued is taken out).
class PlacementEnd {
 public:
  PlacementEnd(VantorObject* self, WorkObject* work) : self_(self), work_(work) {}
  // A thread that the interpreter ends while it waits leaves the mark (and the adapter) alone:
  // it no longer holds the GIL.
  ~PlacementEnd() noexcept(false) {
    if (!zt::thread_is_attached()) return;
    abandon_work(work_);
    if (work_->guid && self_->awaited_guid == work_->guid)
      zt::drop_reference(std::exchange(self_->awaited_guid, nullptr));
  }
  PlacementEnd(const PlacementEnd&) = delete;
  PlacementEnd& operator=(const PlacementEnd&) = delete;

 private:
  VantorObject* self_;
  WorkObject* work_;
};

// The placement's wait: its work item has failed, or it has placed and the added event came.
bool placement_answered(bool event_set, const void* work) noexcept {
  const WorkObject* item = static_cast<const WorkObject*>(work);
  int state = item->state.load();
  return state == WorkObject::kFailed || (state == WorkObject::kDone && event_set);
}

PyObject* place_order(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"order"};
  return run_method(obj, "place_order", names, 1, args, nargs, kwnames,
                    [&](VantorObject* self, PyObject** in) -> PyObject* {
    PyObject* order = in[0];
    Ref symbol = call_method(gateway_of(self).get(), N.get_cqg_symbol_from_qt_security,
                             get(order, N.security).get());
    Ref item = start_work(self, "place_order", create_and_place, order, symbol.get(),
                          self->eventOrderPlaced);
    WorkObject* work = as_work(item.get());
    bool answered;
    {
      PlacementEnd end(self, work);
      // The whole placement, queued work item included, gets the time-out.
      answered = zt::event_wait_until(self->eventOrderPlaced, timeout_seconds(),
                                      placement_answered, work);
      if (work->state.load() == WorkObject::kFailed) work_outcome(work);  // raises its error
    }
    if (!answered)
      assert_message(false, text("Order placing timeout!\n%S ", order).get());

    Ref taken = Ref::steal(self->order_id);
    self->order_id = Ref::borrow(Py_None).release();
    if (!taken || taken.get() == Py_None)
      zt::raise_format(PyExc_ValueError, "Order id can not be obtained!\n%S", order);
    if (!PyUnicode_CheckExact(taken.get()))
      zt::raise_format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(taken.get())->tp_name);
    return taken.release();
  });
}

// A cancel's component calls, on the worker: the order by its GUID, then Cancel.
Ref find_and_cancel(WorkObject* work) {
  Ref cel = component(self_of(work->adapter));
  Ref order = call_method(get(cel.get(), N.Orders).get(), N.ItemByGuid, work->input[0]);
  call_method(order.get(), N.Cancel);
  return Ref::borrow(Py_None);
}

PyObject* cancel_order(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"orderid"};
  return run_method(obj, "cancel_order", names, 1, args, nargs, kwnames,
                    [&](VantorObject* self, PyObject** in) {
    PyObject* orderid = zt::require_str(in[0], "orderid");
    Ref item = start_work(self, "cancel_order", find_and_cancel, orderid, nullptr, nullptr);
    WorkObject* work = as_work(item.get());
    {
      WorkEnd end(work);
      // Ended by the item's end or its refusal, whichever comes; never by time.
      work->finished.wait(-1);
    }
    return work_outcome(work).release();
  });
}

}  // namespace

PyMethodDef order_methods[] = {
    VANTOR_METHOD("place_order", place_order,
                  "place_order($self, order)\n--\n\n"
                  "Place the order and return its CQG GUID."),
    VANTOR_METHOD("cancel_order", cancel_order,
                  "cancel_order($self, orderid)\n--\n\n"
                  "Ask the component to cancel the order with that GUID."),
    VANTOR_METHOD("OnOrderChanged", OnOrderChanged,
                  "OnOrderChanged($self, changeType, cqgOrder, oldProperties, cqgFill, cqgError)\n--\n\n"
                  "Component event."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantor

// Ticks and level-1 order books.
#include <optional>

#include "calls.h"
#include "type_names.h"
#include "wait_event.h"

namespace vantor {

using zt::Ref;

namespace {

const TypeName kTickTypes[] = {
    {"tptAsk", "Ask price"},
    {"tptBid", "Bid price"},
    {"tptSettlement", "Settlement price"},
    {"tptTrade", "Trade price"},
};

TypeNameTable tick_names(kTickTypes);

// A book is handed on once both sides have a non-zero price and volume.
bool book_complete(PyObject* book) {
  PyObject* const fields[] = {N.bid_price_1, N.ask_price_1,
                               N.bid_volume_1, N.ask_volume_1};
  for (PyObject* field : fields)
    if (!nonzero(get(book, field).get())) return false;
  return true;
}

// get_ticks_from_cqg_symbol(cqg_symbol)
PyObject* get_ticks_from_cqg_symbol(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"cqg_symbol"};
  return run_method(obj, "get_ticks_from_cqg_symbol", names, 1, args, nargs, kwnames,
                    [](VantorObject* self, PyObject** in) {
                      return find_ticks(self, zt::require_str(in[0], "cqg_symbol")).release();
                    });
}

// OnTicksResolved(cqgTicks, cqgError): a failed request releases subscribe_orderbook too.
PyObject* OnTicksResolved(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"cqgTicks", "cqgError"};
  return run_method(obj, "OnTicksResolved", names, 2, args, nargs, kwnames, [](VantorObject* self, PyObject**) {
    zt::event_set(self->eventOrderbookDone);
    return zt::none();
  });
}

// OnTicksAdded(cqgTicks, addedTicksCount): each ask or bid tick moves its side of the
// security's book; every tick of a known type stores the book and hands a complete one on.
// A tick of a type outside the table is skipped alone; the rest of the batch still counts.
PyObject* OnTicksAdded(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"cqgTicks", "addedTicksCount"};
  return run_method(obj, "OnTicksAdded", names, 2, args, nargs, kwnames, [](VantorObject* self, PyObject** in) {
    Ref ticks = dispatch(in[0]);
    long long count = as_count(get(ticks.get(), N.Count).get());
    long long first = count - as_count(in[1]);
    Ref gateway = gateway_of(self);
    PyObject* type_texts = tick_names.cached();
    PyObject* ask_text = tick_names.text("Ask price");
    PyObject* bid_text = tick_names.text("Bid price");
    // The request's security and the gateway's map, read at the first tick: the same for
    // every tick of the batch.
    Ref security, books;
    std::optional<Key> key;
    for (long long i = first; i < count; ++i) {
      Ref index = Ref::check(PyLong_FromLongLong(i));
      Ref tick = call_method(ticks.get(), N.Item, index.get());
      if (!security) {
        security = security_of(gateway.get(), request_symbol(ticks.get()).get());
        books = get(gateway.get(), N.cqg_orderbooks);
        key.emplace(security.get());
      }
      Ref book = get_item(books.get(), *key);
      PyObject* type_text = PyDict_GetItemWithError(type_texts, get(tick.get(), N.PriceType).get());
      if (!type_text) {
        if (PyErr_Occurred()) throw zt::PythonError{};
        continue;
      }
      if (book.get() == Py_None) book = new_record(M.OrderBook, security.get());
      if (type_text == ask_text || type_text == bid_text) {
        Ref volume = get(tick.get(), N.Volume);
        Ref price = get(tick.get(), N.Price);
        Ref stamp = now();
        PyObject* argv[] = {book.get(), volume.get(), price.get(), stamp.get()};
        PyObject* change = type_text == ask_text ? N.kw_ask_change : N.kw_bid_change;
        book = Ref::check(PyObject_Vectorcall(M.replace, argv, 1, change));
      }
      set_item(books.get(), *key, book.get());
      if (book_complete(book.get())) call_method(gateway.get(), N.process_orderbook, book.get());
    }
    return zt::none();
  });
}

// OnTicksRemoved(cqgTicks, removedTickIndex): nothing to do.
PyObject* OnTicksRemoved(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"cqgTicks", "removedTickIndex"};
  return run_method(obj, "OnTicksRemoved", names, 2, args, nargs, kwnames,
                    [](VantorObject*, PyObject**) { return zt::none(); });
}

}  // namespace

PyObject* TickType2String(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tick_names.to_string("TickType2String", "tickType", args, nargs, kwnames);
}

PyMethodDef tick_methods[] = {
    VANTOR_METHOD("get_ticks_from_cqg_symbol", get_ticks_from_cqg_symbol,
                  "get_ticks_from_cqg_symbol($self, cqg_symbol)\n--\n\n"
                  "Return the component ticks object, or None"),
    VANTOR_METHOD("OnTicksResolved", OnTicksResolved,
                  "OnTicksResolved($self, cqgTicks, cqgError)\n--\n\n"
                  "Component event."),
    VANTOR_METHOD("OnTicksAdded", OnTicksAdded,
                  "OnTicksAdded($self, cqgTicks, addedTicksCount)\n--\n\n"
                  "Component event."),
    VANTOR_METHOD("OnTicksRemoved", OnTicksRemoved,
                  "OnTicksRemoved($self, cqgTicks, removedTickIndex)\n--\n\n"
                  "Component event."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantor

// Instruments, quote subscriptions and order-book requests.
#include <optional>

#include "calls.h"
#include "type_names.h"
#include "wait_event.h"

namespace vantor {

using zt::Ref;

namespace {

const TypeName kQuoteTypes[] = {
    {"qtAsk", "Best ask"},
    {"qtBid", "Best bid"},
    {"qtCohUndAsk", "Coherent underlying price for the best ask"},
    {"qtCohUndBid", "Coherent underlying price for the best bid"},
    {"qtDayHigh", "Current day high price"},
    {"qtDayLow", "Current day low price"},
    {"qtDayOpen", "Day open price"},
    {"qtImpliedAsk", "Implied best ask"},
    {"qtImpliedBid", "Implied best bid"},
    {"qtIndicativeOpen", "Indicative open"},
    {"qtMarker", "Marker price"},
    {"qtOutrightAsk", "Outright best ask"},
    {"qtOutrightBid", "Outright best bid"},
    {"qtSettlement", "Settlement price"},
    {"qtTodayMarker", "Marker price"},
    {"qtTrade", "Last trade price"},
    {"qtYesterdaySettlement", "Yesterday's settlement price"},
};

TypeNameTable quote_names(kQuoteTypes);

}  // namespace

// The Quote field each type text moves: text -> keyword names of the replace call,
// (field, "datetime").
void make_quote_changes() {
  const std::pair<const char*, const char*> rows[] = {
      {"Last trade price", "last_price"},   {"Best bid", "bid_price"},
      {"Best ask", "ask_price"},            {"Day open price", "open_price"},
      {"Current day high price", "high_price"}, {"Current day low price", "low_price"},
      {"Yesterday's settlement price", "prev_close_price"},
  };
  Ref table = Ref::check(PyDict_New());
  for (auto [type_text, field] : rows) {
    Ref kwnames = Ref::check(PyTuple_Pack(2, Ref::steal(zt::intern(field)).get(), N.datetime));
    zt::check_status(PyDict_SetItem(table.get(), quote_names.text(type_text), kwnames.get()));
  }
  M.quote_changes = table.release();
}

namespace {

bool quote_usable(PyObject* quote) {
  if (nonzero(get(quote, N.last_price).get())) return true;
  return nonzero(get(quote, N.bid_price).get()) && nonzero(get(quote, N.ask_price).get());
}

// get_instrument_from_cqg_symbol(cqg_symbol)
PyObject* get_instrument_from_cqg_symbol(PyObject* obj, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  static const char* const names[] = {"cqg_symbol"};
  return run_method(obj, "get_instrument_from_cqg_symbol", names, 1, args, nargs, kwnames,
                    [](VantorObject* self, PyObject** in) {
                      return find_instrument(self, zt::require_str(in[0], "cqg_symbol")).release();
                    });
}

// subscribe_quote(cqg_symbol): a time-out is a normal return.
PyObject* subscribe_quote(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"cqg_symbol"};
  return run_method(obj, "subscribe_quote", names, 1, args, nargs, kwnames, [](VantorObject* self, PyObject** in) {
    PyObject* symbol = zt::require_str(in[0], "cqg_symbol");
    zt::event_clear(self->eventQuoteDone);
    call_method(component(self).get(), N.NewInstrument, symbol);
    trace(text("Waiting for eventQuoteDone in subscribe_quote(%U)...", symbol).get());
    wait_with_timeout(self->eventQuoteDone);
    trace("eventQuoteDone is done.");
    return zt::none();
  });
}

// unsubscribe_quote(cqg_symbol): silent when no instrument matches.
PyObject* unsubscribe_quote(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"cqg_symbol"};
  return run_method(obj, "unsubscribe_quote", names, 1, args, nargs, kwnames, [](VantorObject* self, PyObject** in) {
    PyObject* symbol = zt::require_str(in[0], "cqg_symbol");
    Ref instrument = find_instrument(self, symbol);
    if (instrument.get() == Py_None) return zt::none();
    call_method(component(self).get(), N.RemoveInstrument, instrument.get());
    zt::event_clear(self->eventQuoteDone);
    trace(text("Successfully unsubscribe quote for %U", symbol).get());
    return zt::none();
  });
}

// subscribe_orderbook(cqg_symbol): a request for current ticks; a time-out is a normal return.
PyObject* subscribe_orderbook(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"cqg_symbol"};
  return run_method(obj, "subscribe_orderbook", names, 1, args, nargs, kwnames, [](VantorObject* self, PyObject** in) {
    PyObject* symbol = zt::require_str(in[0], "cqg_symbol");
    Ref cel = component(self);
    Ref request = dispatch(call_method(cel.get(), N.CreateTicksRequest).get());
    put(request.get(), N.Symbol, symbol);
    put(request.get(), N.Type, constant(N.trtCurrentNotify).get());
    put(request.get(), N.TickFilter, constant(N.tfAll).get());
    put(request.get(), N.SessionsFilter, M.all_sessions);
    put(request.get(), N.Limit, M.tick_limit);
    trace(text("Limit: %S", get(request.get(), N.Limit).get()).get());
    zt::event_clear(self->eventOrderbookDone);
    call_method(cel.get(), N.RequestTicks, request.get());
    trace(text("Waiting for eventOrderbookDone in subscribe_orderbook(%U)...", symbol).get());
    wait_with_timeout(self->eventOrderbookDone);
    trace("eventOrderbookDone is done.");
    return zt::none();
  });
}

// unsubscribe_orderbook(cqg_symbol): silent when no ticks request matches.
PyObject* unsubscribe_orderbook(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"cqg_symbol"};
  return run_method(obj, "unsubscribe_orderbook", names, 1, args, nargs, kwnames,
                    [](VantorObject* self, PyObject** in) {
                      PyObject* symbol = zt::require_str(in[0], "cqg_symbol");
                      Ref ticks = find_ticks(self, symbol);
                      if (ticks.get() == Py_None) return zt::none();
                      call_method(component(self).get(), N.RemoveTicks, ticks.get());
                      zt::event_clear(self->eventOrderbookDone);
                      trace(text("Successfully unsubscribe orderbook for %U", symbol).get());
                      return zt::none();
                    });
}

// OnInstrumentResolved(symbol, cqgInstrument, cqgError): a failed resolution releases the
// waiting subscribe_quote just as a successful one does.
PyObject* OnInstrumentResolved(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"symbol", "cqgInstrument", "cqgError"};
  return run_method(obj, "OnInstrumentResolved", names, 3, args, nargs, kwnames, [](VantorObject* self, PyObject** in) {
    if (in[2] == Py_None) {
      Ref instrument = dispatch(in[1]);
      put(instrument.get(), N.DataSubscriptionLevel, constant(N.dsQuotesAndBBA).get());
    }
    zt::event_set(self->eventQuoteDone);
    return zt::none();
  });
}

// OnInstrumentChanged(cqgInstrument, cqgQuotes, cqgInstrumentProperties): merges each valid
// quote into the security's Quote and hands the record on once it is usable. A quote of a
// type outside the table is skipped alone; the rest of the event still counts.
PyObject* OnInstrumentChanged(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"cqgInstrument", "cqgQuotes", "cqgInstrumentProperties"};
  return run_method(obj, "OnInstrumentChanged", names, 3, args, nargs, kwnames, [](VantorObject* self, PyObject** in) {
    Ref instrument = dispatch(in[0]);
    Ref quotes = dispatch(in[1]);
    Ref gateway = gateway_of(self);
    PyObject* type_texts = quote_names.cached();
    PyObject* changes = M.quote_changes;
    // The instrument's security and the gateway's map, read at the first valid quote: both
    // are the same for every quote of the event.
    Ref security, quote_map;
    std::optional<Key> key;
    Ref it = Ref::check(PyObject_GetIter(quotes.get()));
    while (Ref quote = Ref::steal(PyIter_Next(it.get()))) {
      if (!zt::check_status(PyObject_IsTrue(get(quote.get(), N.IsValid).get()))) continue;
      if (!security) {
        Ref symbol = symbol_of(get(instrument.get(), N.FullName).get());
        security = security_of(gateway.get(), symbol.get());
        if (security.get() != Py_None) {
          quote_map = get(gateway.get(), N.cqg_quotes);
          key.emplace(security.get());
        }
      }
      if (security.get() == Py_None) continue;
      Ref record = get_item(quote_map.get(), *key);
      PyObject* type_text = PyDict_GetItemWithError(type_texts, get(quote.get(), N.Type).get());
      if (!type_text) {
        if (PyErr_Occurred()) throw zt::PythonError{};
        continue;
      }
      if (!zt::check_status(PyObject_IsTrue(record.get()))) record = new_record(M.Quote, security.get());
      if (PyObject* change = PyDict_GetItemWithError(changes, type_text)) {
        Ref price = get(quote.get(), N.Price);
        Ref stamp = now();
        PyObject* argv[] = {record.get(), price.get(), stamp.get()};
        record = Ref::check(PyObject_Vectorcall(M.replace, argv, 1, change));
      } else if (PyErr_Occurred()) {
        throw zt::PythonError{};
      }
      set_item(quote_map.get(), *key, record.get());
      if (quote_usable(record.get())) call_method(gateway.get(), N.process_quote, record.get());
    }
    if (PyErr_Occurred()) throw zt::PythonError{};
    return zt::none();
  });
}

}  // namespace

PyObject* QuoteType2String(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return quote_names.to_string("QuoteType2String", "quoteType", args, nargs, kwnames);
}

PyMethodDef quote_methods[] = {
    VANTOR_METHOD("get_instrument_from_cqg_symbol", get_instrument_from_cqg_symbol,
                  "get_instrument_from_cqg_symbol($self, cqg_symbol)\n--\n\n"
                  "Return the component instrument, or None"),
    VANTOR_METHOD("subscribe_quote", subscribe_quote,
                  "subscribe_quote($self, cqg_symbol)\n--\n\n"
                  "Subscribe real-time quotes."),
    VANTOR_METHOD("unsubscribe_quote", unsubscribe_quote,
                  "unsubscribe_quote($self, cqg_symbol)\n--\n\n"
                  "Drop the instrument."),
    VANTOR_METHOD("subscribe_orderbook", subscribe_orderbook,
                  "subscribe_orderbook($self, cqg_symbol)\n--\n\n"
                  "Request current ticks for the order book."),
    VANTOR_METHOD("unsubscribe_orderbook", unsubscribe_orderbook,
                  "unsubscribe_orderbook($self, cqg_symbol)\n--\n\n"
                  "Drop the ticks request."),
    VANTOR_METHOD("OnInstrumentResolved", OnInstrumentResolved,
                  "OnInstrumentResolved($self, symbol, cqgInstrument, cqgError)\n--\n\n"
                  "Component event."),
    VANTOR_METHOD("OnInstrumentChanged", OnInstrumentChanged,
                  "OnInstrumentChanged($self, cqgInstrument, cqgQuotes, cqgInstrumentProperties)\n--\n\n"
                  "Component event."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantor

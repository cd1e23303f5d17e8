// Timed bars: subscriptions, the bar store and its repair.
#include "bar_store.h"
#include "calls.h"
#include "wait_event.h"

namespace vantor {

using zt::Ref;

namespace {

// A Bar record from a component bar: its time to whole seconds, prices, actual volume.
Ref make_bar(PyObject* item, PyObject* security) {
  PyObject* const reads[] = {N.Open, N.High, N.Low, N.Close, N.ActualVolume};
  Ref values[7];
  values[0] = whole_seconds(get(item, N.Timestamp).get());
  values[1] = Ref::borrow(security);
  for (int i = 0; i < 5; ++i) values[2 + i] = get(item, reads[i]);
  PyObject* argv[7];
  for (int i = 0; i < 7; ++i) argv[i] = values[i].get();
  return Ref::check(PyObject_Vectorcall(M.Bar, argv, 0, N.kw_bar));
}

// get_timedbars_from_cqg_symbol(cqg_symbol)
PyObject* get_timedbars_from_cqg_symbol(PyObject* obj, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  static const char* const names[] = {"cqg_symbol"};
  return run_method(obj, "get_timedbars_from_cqg_symbol", names, 1, args, nargs, kwnames,
                    [](VantorObject* self, PyObject** in) {
                      return find_timedbars(self, zt::require_str(in[0], "cqg_symbol")).release();
                    });
}

// subscribe_bar(cqg_symbol, lookback_period, freq="1Min"): a time-out is a normal return.
PyObject* subscribe_bar(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"cqg_symbol", "lookback_period", "freq"};
  return run_method(obj, "subscribe_bar", names, 2, args, nargs, kwnames, [](VantorObject* self, PyObject** in) {
    PyObject* symbol = zt::require_str(in[0], "cqg_symbol");
    Ref lookback = zt::require_int(in[1], "lookback_period");
    PyObject* freq = in[2] ? zt::require_str(in[2], "freq") : N.one_minute;
    bool daily = PyUnicode_CompareWithASCIIString(freq, "1Day") == 0;
    if (!daily && PyUnicode_CompareWithASCIIString(freq, "1Min") != 0)
      zt::raise_format(PyExc_ValueError, "Parameter freq=%U is Not supported. Only ('1Day', '1Min') are allowed.",
                       freq);
    trace(text("Create %U timed bars request for %U", freq, symbol).get());
    Ref cel = component(self);
    Ref request = dispatch(call_method(cel.get(), N.CreateTimedBarsRequest).get());
    put(request.get(), N.Symbol, symbol);
    put(request.get(), N.RangeStart, M.zero);
    Ref negated = Ref::check(PyNumber_Negative(lookback.get()));
    put(request.get(), N.RangeEnd, Ref::check(PyNumber_Subtract(negated.get(), M.one)).get());
    if (daily)
      put(request.get(), N.HistoricalPeriod, constant(N.hpDaily).get());
    else
      put(request.get(), N.IntradayPeriod, constant(N.pfds1Min).get());
    put(request.get(), N.DailyBarClose, constant(N.dbcLastQuoteOrSettlement).get());
    put(request.get(), N.UpdatesEnabled, Py_True);
    call_method(request.get(), N.IncludeOutput, constant(N.tbrContractVolume).get(), Py_True);
    call_method(request.get(), N.IncludeOutput, constant(N.tbrCommodityVolume).get(), Py_True);
    put(request.get(), N.SessionsFilter, N.all);
    zt::event_clear(self->eventBarDone);
    call_method(cel.get(), N.RequestTimedBars, request.get());
    trace(text("Waiting for eventBarDone in subscribe_bar(%U)...", symbol).get());
    wait_with_timeout(self->eventBarDone);
    trace("eventBarDone is done.");
    return zt::none();
  });
}

// unsubscribe_bar(cqg_symbol): silent when no timed-bars object matches. (The module wraps
// it with the host's safe_call.)
PyObject* unsubscribe_bar(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"cqg_symbol"};
  return run_method(obj, "unsubscribe_bar", names, 1, args, nargs, kwnames, [](VantorObject* self, PyObject** in) {
    PyObject* symbol = zt::require_str(in[0], "cqg_symbol");
    Ref timed_bars = find_timedbars(self, symbol);
    if (timed_bars.get() == Py_None) return zt::none();
    call_method(component(self).get(), N.RemoveTimedBars, timed_bars.get());
    Ref security = security_of(gateway_of(self).get(), symbol);
    zt::event_clear(self->eventBarDone);
    store_remove(self->subscribe_bars_data, Key(security.get()));
    trace(text("Successfully unsubscribe timedbar for %U", symbol).get());
    return zt::none();
  });
}

// get_subscribe_bars_data(security): a repaired copy of the security's window, or None.
PyObject* get_subscribe_bars_data(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"security"};
  return run_method(obj, "get_subscribe_bars_data", names, 1, args, nargs, kwnames,
                    [](VantorObject* self, PyObject** in) {
                      return store_read_repaired(self->subscribe_bars_data, Key(in[0])).release();
                    });
}

// OnTimedBarsResolved(cqgTimedBars, cqgError): fills the security's window with the completed
// bars, unless it already holds some. An error or no bars only releases the waiting caller.
PyObject* OnTimedBarsResolved(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"cqgTimedBars", "cqgError"};
  return run_method(obj, "OnTimedBarsResolved", names, 2, args, nargs, kwnames, [](VantorObject* self, PyObject** in) {
    if (in[1] == Py_None) {
      Ref bars = dispatch(in[0]);
      long long count = as_count(get(bars.get(), N.Count).get());
      if (count != 0) {
        Ref security = security_of(gateway_of(self).get(), request_symbol(bars.get()).get());
        Key key(security.get());
        if (!store_has_bars(self->subscribe_bars_data, key)) {
          Ref window = Ref::check(PyList_New(0));
          try {
            for (long long i = 0; i < count - 1; ++i) {
              Ref index = Ref::check(PyLong_FromLongLong(i));
              Ref bar = make_bar(call_method(bars.get(), N.Item, index.get()).get(), security.get());
              zt::check_status(PyList_Append(window.get(), bar.get()));
            }
          } catch (const zt::PythonError&) {
            // The bars read so far stay in the store; the caller is not released.
            zt::SavedError pending;
            try {
              store_put(self->subscribe_bars_data, key, window.get());
            } catch (const zt::PythonError&) {
              PyErr_Clear();  // the error that stopped the reading is the one that goes on
            }
            pending.restore();
            throw;
          }
          store_put(self->subscribe_bars_data, key, window.get());
        }
      }
    }
    zt::event_set(self->eventBarDone);
    return zt::none();
  });
}

// OnTimedBarsAdded(cqgTimedBars): the bar just completed displaces the oldest of the window
// when it is newer than the newest.
PyObject* OnTimedBarsAdded(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"cqgTimedBars"};
  return run_method(obj, "OnTimedBarsAdded", names, 1, args, nargs, kwnames, [](VantorObject* self, PyObject** in) {
    Ref bars = dispatch(in[0]);
    long long count = as_count(get(bars.get(), N.Count).get());
    if (count < 2) return zt::none();
    Ref security = security_of(gateway_of(self).get(), request_symbol(bars.get()).get());
    Key key(security.get());
    store_require_entry(self->subscribe_bars_data, key);
    Ref index = Ref::check(PyLong_FromLongLong(count - 2));
    Ref bar = make_bar(call_method(bars.get(), N.Item, index.get()).get(), security.get());
    if (store_slide(self->subscribe_bars_data, key, bar.get()))
      print_line(text("[2] OnTimedBarsAdded: %S", bar.get()).get());
    return zt::none();
  });
}

// OnTimedBarsUpdated(cqgTimedBars, index) and OnTimedBarsRemoved(cqgTimedBars, index): the
// forming bar and the component's own window are not followed.
PyObject* OnTimedBarsUpdated(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"cqgTimedBars", "index"};
  return run_method(obj, "OnTimedBarsUpdated", names, 2, args, nargs, kwnames,
                    [](VantorObject*, PyObject**) { return zt::none(); });
}

PyObject* OnTimedBarsRemoved(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"cqgTimedBars", "index"};
  return run_method(obj, "OnTimedBarsRemoved", names, 2, args, nargs, kwnames,
                    [](VantorObject*, PyObject**) { return zt::none(); });
}

// dumpBar(bar, index): one component bar as a trace line.
PyObject* dumpBar(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"bar", "index"};
  return run_method(obj, "dumpBar", names, 2, args, nargs, kwnames, [](VantorObject*, PyObject** in) {
    PyObject* const reads[] = {N.Timestamp, N.Open, N.High,
                                N.Low, N.Close, N.ActualVolumeFractional,
                                N.CommodityVolumeFractional, N.ContractVolumeFractional,
                                N.TickVolume};
    Ref v[9];
    for (int i = 0; i < 9; ++i) v[i] = get(in[0], reads[i]);
    trace(text("Bar index: %S Timestamp %S Open %S High %S Low %S Close %S ActualVolumeFractional %S "
               "CommodityVolumeFractional %S ContractVolumeFractional %S TickVolume %S",
               in[1], v[0].get(), v[1].get(), v[2].get(), v[3].get(), v[4].get(), v[5].get(), v[6].get(),
               v[7].get(), v[8].get())
              .get());
    return zt::none();
  });
}

}  // namespace

PyMethodDef bar_methods[] = {
    VANTOR_METHOD("get_timedbars_from_cqg_symbol", get_timedbars_from_cqg_symbol,
                  "get_timedbars_from_cqg_symbol($self, cqg_symbol)\n--\n\n"
                  "Return the component timed-bars object, or None"),
    VANTOR_METHOD("subscribe_bar", subscribe_bar,
                  "subscribe_bar($self, cqg_symbol, lookback_period, freq='1Min')\n--\n\n"
                  "Request time bars."),
    VANTOR_METHOD("unsubscribe_bar", unsubscribe_bar,
                  "unsubscribe_bar($self, cqg_symbol)\n--\n\n"
                  "Drop the bars of a symbol."),
    VANTOR_METHOD("get_subscribe_bars_data", get_subscribe_bars_data,
                  "get_subscribe_bars_data($self, security)\n--\n\n"
                  "Return the repaired bars of the security, or None"),
    VANTOR_METHOD("OnTimedBarsResolved", OnTimedBarsResolved,
                  "OnTimedBarsResolved($self, cqgTimedBars, cqgError)\n--\n\n"
                  "Component event."),
    VANTOR_METHOD("OnTimedBarsAdded", OnTimedBarsAdded,
                  "OnTimedBarsAdded($self, cqgTimedBars)\n--\n\n"
                  "Component event."),
    VANTOR_METHOD("OnTimedBarsUpdated", OnTimedBarsUpdated,
                  "OnTimedBarsUpdated($self, cqgTimedBars, index)\n--\n\n"
                  "Component event."),
    VANTOR_METHOD("OnTimedBarsRemoved", OnTimedBarsRemoved,
                  "OnTimedBarsRemoved($self, cqgTimedBars, index)\n--\n\n"
                  "Component event."),
    VANTOR_METHOD("dumpBar", dumpBar,
                  "dumpBar($self, bar, index)\n--\n\n"
                  "Trace one component bar."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantor

"""A sink that keeps what each event showed, read while its handler ran."""
from cqgsim import constants as C
from tests.cqgsim.pump import Recorder


def _error(e):
    return None if e is None else (e.Code, e.Description)


def _bar(b):
    return (b.Timestamp, b.Open, b.High, b.Low, b.Close, b.ActualVolume)


def _fill(f):
    return None if f is None else (f.Status, f.Timestamp, f.Price, f.Quantity, f.Order.GUID,
                                   f.Id)


class Snapshots(Recorder):
    def capture(self, name, args):
        handler = getattr(self, "_" + name, None)
        return handler(*args) if handler else args

    def _OnInstrumentResolved(self, symbol, inst, err):
        return symbol, None if inst is None else inst.FullName, _error(err)

    def _OnInstrumentChanged(self, inst, quotes, props):
        return inst.FullName, [(q.Type, q.Price, q.IsValid) for q in quotes]

    def _OnTicksResolved(self, ticks, err):
        return ticks.Request.Symbol, ticks.Count, _error(err)

    def _OnTicksAdded(self, ticks, n):
        count = ticks.Count
        return count, n, [(t.PriceType, t.Price, t.Volume)
                          for t in (ticks.Item(i) for i in range(count - n, count))]

    def _OnTicksRemoved(self, ticks, index):
        return ticks.Count, index

    def _OnTimedBarsResolved(self, bars, err):
        return bars.Count, _error(err), [_bar(bars.Item(i)) for i in range(bars.Count)]

    def _OnTimedBarsAdded(self, bars):
        return bars.Count, _bar(bars.Item(bars.Count - 2)), _bar(bars.Item(bars.Count - 1))

    def _OnTimedBarsRemoved(self, bars, index):
        return bars.Count, index

    def _OnTimedBarsUpdated(self, bars, index):
        return index, _bar(bars.Item(index))

    def _OnOrderChanged(self, change, order, old, fill, err):
        p = order.Properties
        return (change, p(C.opGUID).Value, p(C.opGWStatus).Value, p(C.opFilledQuantity).Value,
                p(C.opAverageFillPrice).Value, p(C.opEventServerTimestamp).Value, _fill(fill),
                _error(err))

    def _OnAccountChanged(self, change, account, position):
        pos = None if position is None else (position.InstrumentName, position.Side,
                                             position.Quantity, position.AveragePrice)
        return change, None if account is None else account.GWAccountID, pos

    def _OnDataError(self, err, description):
        return _error(err), description




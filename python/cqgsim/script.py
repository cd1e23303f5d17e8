"""Simulation: the handle through which a test drives a created component.

Every call may come from any thread but the component's own. Calls that change something
are queued behind everything queued before them and return at once; their events follow in
that order. ``sync()`` waits until all of it has been delivered.
"""
import datetime as _dt
import threading

from cqgsim import catalogue
from cqgsim import constants as C
from cqgsim.core import ANSWERS, REQUESTS
from cqgsim.market import BarData

_TICK_TYPES = {"ask": C.tptAsk, "bid": C.tptBid, "trade": C.tptTrade,
               "settlement": C.tptSettlement}
_LINKS = ("gw", "data")


def _constant(value, kind):
    if isinstance(value, str):
        if value in C.ALL:
            return C.ALL[value]
        raise ValueError(f"unknown {kind} {value!r}")
    return value


class Simulation:
    def __init__(self, core):
        self._core = core

    # -- about this simulation -----------------------------------------------------------
    @property
    def config(self):
        return self._core.config

    @property
    def component(self):
        """The component object itself (use it only on its own thread)."""
        return self._core.component

    @property
    def core(self):
        """The component's state (use it only on its own thread)."""
        return self._core

    @property
    def shut_down(self):
        return self._core.shut_down

    @property
    def errors(self):
        """Faults of the simulator itself (a failed step), oldest first."""
        return list(self._core.errors)

    def _submit(self, fn, *args):
        if not self._core.submit(fn, *args):
            raise RuntimeError("the simulated component has been shut down")

    def query(self, fn, timeout=10.0):
        """Runs ``fn(core)`` on the component's thread after everything queued so far and
        returns its result."""
        if threading.get_ident() == self._core.thread_id:
            raise RuntimeError("query() would wait for its own thread")
        done = threading.Event()
        box = {}

        def run():
            try:
                box["value"] = fn(self._core)
            except BaseException as exc:  # handed to the waiting caller
                box["error"] = exc
            done.set()

        self._submit(run)
        if not done.wait(timeout):
            raise TimeoutError("the component's thread did not run the query (is it pumping?)")
        if "error" in box:
            raise box["error"]
        return box.get("value")

    def sync(self, timeout=10.0):
        """Waits until everything queued so far has run and its events have been delivered."""
        self.query(lambda core: None, timeout)

    def now(self, timeout=10.0):
        """The simulated time, in UTC."""
        return self.query(lambda core: core.clock.now, timeout)

    # -- answers to requests -------------------------------------------------------------
    def respond(self, request, how="answer", *, times=None, code=1, description=None):
        """How later ``request`` calls are answered: "answer", "drop" (never), "hold" (until
        release()) or "error" (the answer carries an error object). ``times``: for the next
        that many requests only."""
        if request not in REQUESTS:
            raise ValueError(f"request must be one of {REQUESTS}")
        if how not in ANSWERS:
            raise ValueError(f"how must be one of {ANSWERS}")
        from cqgsim.core import Policy

        policy = Policy(how, times, code, description or f"{request} failed (simulated)")

        def set_policy(core):
            if how == "answer" and times is None:
                core.policies.pop(request, None)
            else:
                core.policies[request] = policy

        self._submit(set_policy, self._core)

    def release(self, request=None, how="answer", *, code=1, description=None):
        """Answers the held requests (of one kind, or all) in the order they came."""
        if how not in ("answer", "error"):
            raise ValueError('how must be "answer" or "error"')
        text = description or f"{request or 'request'} failed (simulated)"
        self._submit(self._core.release, request, how, code, text)

    def held(self, request=None):
        """Kinds of the requests held now, in the order they came."""
        return self.query(lambda core: [k for k, *_ in core.held if request in (None, k)])

    # -- market data ---------------------------------------------------------------------
    def _market(self, symbol):
        spec = catalogue.find(symbol)
        if spec is None:
            raise ValueError(f"unknown symbol {symbol!r}")
        return self._core.market_data.markets[spec.full_name]

    def push_ticks(self, symbol, ticks):
        """Market ticks now: (price type, price, volume) with the type "ask", "bid",
        "trade", "settlement", a tpt* name or any number. Quotes, ticks requests, bars and
        resting orders follow."""
        market = self._market(symbol)
        raw = [(_TICK_TYPES.get(t, None) if isinstance(t, str) and t in _TICK_TYPES
                else _constant(t, "tick type"), p, v) for t, p, v in ticks]
        self._submit(self._core.market_data.apply, market, raw)

    def push_quotes(self, symbol, quotes=None, **named):
        """Sets quotes now, by qt* name or number: a price, a (price, volume) pair, or None
        for a quote without a valid value."""
        market = self._market(symbol)
        values = dict(quotes or {}, **named)
        items = [(_constant(k, "quote type"), v) for k, v in values.items()]

        def apply(core):
            stamp = core.clock.local(core.clock.now)
            for qt, v in items:
                price, volume = v if isinstance(v, tuple) else (v, 0)
                market.set_quote(qt, price, volume, stamp)
            inst = market.instrument
            if core.data_up and inst is not None and inst.DataSubscriptionLevel >= C.dsQuotes:
                core.market_data.fire_quotes(inst, [qt for qt, _ in items])
            core.trading.market_moved(market)  # quotes are no prints: only the book counts

        self._submit(apply, self._core)

    def set_history(self, symbol, bars, period="1Min"):
        """Replaces the bars before the clock started ("1Min", "<n>Min" or "1Day"): tuples
        (open, high, low, close, volume[, tick volume]) oldest first; INVALID_VALUE allowed."""
        market = self._market(symbol)
        key = "day" if period == "1Day" else period[:-3]
        data = [BarData(None, *b[:5], b[5] if len(b) > 5 else 0) for b in bars]
        self._submit(lambda: market.series_for(key).set_history(data))

    def advance(self, seconds):
        """Moves the clock on; bars start and (in live mode with a stopped clock) the market
        moves on the way."""
        if seconds < 0:
            raise ValueError("the clock only goes forward")
        delta = _dt.timedelta(seconds=seconds)

        def run(core):
            target = core.clock.now + delta
            if core.live is not None:
                if not core.live.manual:
                    raise RuntimeError("the live clock runs by itself; use set_speed()")
                core.live.advance(target)
            else:
                core.market_data.advance(target)

        self._submit(run, self._core)

    def set_speed(self, speed):
        """Changes the pace of a running live clock."""
        live = self.query(lambda core: core.live)
        if live is None:
            raise RuntimeError("no live market is running")
        live.set_speed(speed)

    # -- orders --------------------------------------------------------------------------
    def _order(self, core, guid):
        return core.orders.ItemByGuid(guid)

    def fill(self, guid, quantity=None, price=None):
        """Fills a working order (all of what is left by default) at ``price`` (by default
        its limit, else the opposite best price)."""
        def run(core):
            order = self._order(core, guid)
            if order.GWStatus != C.osInOrderBook:
                raise RuntimeError(f"order {guid} is not working")
            m = order.market_state
            p = price
            if p is None:
                p = order.LimitPrice if order.Type in (C.otLimit, C.otStopLimit) else m.best(
                    C.qtAsk if order.Side == C.osdBuy else C.qtBid)
            if p is None:
                raise RuntimeError(f"no price to fill order {guid} at")
            left = order.Quantity - order.FilledQuantity
            core.trading.fill(order, left if quantity is None else quantity, p)

        self.query(run)

    def set_order_status(self, guid, status):
        """Reports the order in any status (an os* name or number)."""
        value = _constant(status, "order status")
        self.query(lambda core: core.trading.set_status(self._order(core, guid), value))

    def remove_order(self, guid):
        self.query(lambda core: core.trading.remove(self._order(core, guid)))

    def external_order(self, gw_account_id, symbol, side, quantity, order_type="otMarket",
                       limit_price=None, stop_price=None):
        """An order entered elsewhere on an account; returns its GUID at once."""
        spec = catalogue.find(symbol)
        if spec is None:
            raise ValueError(f"unknown symbol {symbol!r}")
        side_v, type_v = _constant(side, "side"), _constant(order_type, "order type")

        def run(core):
            account = core.trading.account(gw_account_id)
            if account is None:
                raise ValueError(f"account {gw_account_id} is not loaded")
            from cqgsim.orders import Order

            market = core.market_data.markets[spec.full_name]
            order = Order(core, core.trading.new_guid(), type_v, market, account, quantity,
                          side_v, limit_price, stop_price)
            order.Manual = 1
            order.mark_placed()
            core.trading.place(order)
            return order.GUID

        return self.query(run)

    # -- connections and errors ----------------------------------------------------------
    def data_error(self, code=1, description="Data error (simulated)", with_object=True):
        """Raises OnDataError, with an error object or with none."""
        def run(core):
            core.fire("OnDataError", core.error(code, description) if with_object else None,
                      description)

        self._submit(run, self._core)

    def connection_status(self, link, status):
        """Reports a status (cs* name or number) for "gw" or "data"; up and down also make
        the link usable or not."""
        if link not in _LINKS:
            raise ValueError(f"link must be one of {_LINKS}")
        value = _constant(status, "connection status")
        links = self._core.connections
        self._submit(links.gw_link if link == "gw" else links.data_link, value)

    def drop(self, link):
        self.connection_status(link, C.csConnectionDown)

    def restore(self, link):
        self.connection_status(link, C.csConnectionUp)

    # -- drills (seconds on the simulated clock; each returns what it did, in a line) ----
    def drop_for(self, link, seconds):
        """The "gw" or "data" link goes down now and comes back ``seconds`` later."""
        return self.query(lambda core: core.drills.drop(link, seconds))

    def reject_next(self, reason=None):
        """The next order placed is rejected (osRejectGW) with ``reason`` as RejectReason."""
        return self.query(lambda core: core.drills.reject_next(reason))

    def hold_next(self, seconds):
        """The next request of any kind gets its answer only ``seconds`` later."""
        return self.query(lambda core: core.drills.hold_next(seconds))

    def gap(self, symbol, ticks):
        """The market of ``symbol`` jumps by ``ticks`` (below zero: down), with a print
        where it lands; a live market moves there at its next instant and stays."""
        return self.query(lambda core: core.drills.gap(symbol, ticks))

    def start_chaos(self, rate, *, seed=None, on_drill=None, symbols=None, kinds=None,
                    max_seconds=60):
        """Fires drills at random, ``rate`` an hour of the simulated clock on average, until
        the returned driver's stop() (or the component's shutdown); ``on_drill(text)`` gets
        each one's description on the driver's own thread. ``seed`` defaults to the
        market's."""
        from cqgsim.chaos import KINDS, Chaos

        chaos = Chaos(self._core, rate, self._core.config.seed if seed is None else seed,
                      on_drill, symbols, KINDS if kinds is None else kinds, max_seconds)
        chaos.start()
        return chaos

"""The live market: a thread that steps the seeded market on the simulated clock.

It hands each instant to the component's thread and never waits for that thread, except
that it holds its clock while too many instants are undelivered (so a component that is not
pumped cannot make it pile up data); stopping wakes it from any wait.
"""
import threading
import time

from cqgsim.market import Market


class LiveMarket:
    def __init__(self, core):
        self._core = core
        cfg = core.config
        self._market = Market(cfg.seed, core.clock.now, cfg.tick_interval)
        self._interval = cfg.tick_interval
        self._max_backlog = cfg.max_backlog
        self._cond = threading.Condition()
        self._stop = False  # guarded by _cond
        self._backlog = 0  # instants handed over, not yet delivered; guarded by _cond
        self._speed = cfg.speed  # guarded by _cond
        self._rebase = True  # guarded by _cond: pace from the next instant on, from now
        self._gaps = {}  # full name -> ticks to jump at the next instant; guarded by _cond
        self._thread = None

    @property
    def manual(self):
        return self._speed == 0

    def start(self):
        if self.manual:
            return
        self._thread = threading.Thread(target=self._run, name="cqgsim-market", daemon=True)
        self._thread.start()

    def stop(self):
        with self._cond:
            self._stop = True
            self._cond.notify_all()
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join()

    def gap(self, full_name, ticks):
        """Any thread: the instrument jumps by ``ticks`` at the market's next instant."""
        with self._cond:
            self._gaps[full_name] = self._gaps.get(full_name, 0) + ticks

    def _take_gaps(self):
        with self._cond:
            gaps, self._gaps = self._gaps, {}
        return gaps

    def set_speed(self, speed):
        if self.manual or speed <= 0:
            raise ValueError("a running clock can only change to another positive speed")
        with self._cond:
            self._speed = speed
            self._rebase = True
            self._cond.notify_all()

    # -- the market thread ---------------------------------------------------------------
    def _run(self):
        real0 = sim0 = 0.0
        while True:
            due = (self._market.instants + 1) * self._interval  # simulated seconds
            with self._cond:
                while not self._stop:
                    if self._backlog >= self._max_backlog:
                        self._cond.wait()
                        self._rebase = True
                        continue
                    if self._rebase:
                        real0, sim0, self._rebase = time.monotonic(), due, False
                    remaining = real0 + (due - sim0) / self._speed - time.monotonic()
                    if remaining <= 0:
                        break
                    self._cond.wait(remaining)
                if self._stop:
                    return
                self._backlog += 1
                gaps, self._gaps = self._gaps, {}
            when, updates = self._market.next_instant(gaps)
            try:
                if not self._core.submit(self._instant, when, updates):
                    return  # shut down
            except Exception:
                return  # the component's apartment is gone

    # -- the component's thread ----------------------------------------------------------
    def _instant(self, when, updates):
        self._core.market_data.advance(when, lambda: self._deliver(updates))

    def _deliver(self, updates):
        md = self._core.market_data
        for name, raw in updates:
            md.apply(md.markets[name], raw)
        with self._cond:
            self._backlog -= 1
            self._cond.notify_all()

    def advance(self, target):
        """Manual clock: the instants up to ``target``, each its own step, then the rest."""
        market = self._market
        if market.time_of(market.instants + 1) > target:
            self._core.market_data.advance(target)
            return
        when, updates = market.next_instant(self._take_gaps())

        def deliver():
            md = self._core.market_data
            for name, raw in updates:
                md.apply(md.markets[name], raw)
            self._core.seq.then(self.advance, target)

        self._core.market_data.advance(when, deliver)

"""The component's life cycle and its links: start-up, the gateway and data connections,
account loading and shutdown."""
from cqgsim import constants as C


class Connections:
    def __init__(self, core):
        self._core = core

    def started(self):
        core = self._core
        core.fire("OnCELStarted")
        self.data_link(C.csConnectionUp)
        if core.config.mode == "live":
            from cqgsim.live import LiveMarket

            if core.live is None:
                core.live = LiveMarket(core)
                core.live.start()

    def start_failed(self, error):
        self._core.fire("OnDataError", error, error.Description)

    def failed(self, error):
        self._core.fire("OnDataError", error, error.Description)

    def _accepted(self, user_name, password):
        known = self._core.config.credentials
        if known is None:
            return bool(user_name) and bool(password)
        return known.get(user_name) == password

    def logon(self, user_name, password):
        if self._accepted(user_name, password):
            self.gw_link(C.csConnectionUp)
        else:
            self.gw_link(C.csConnectionDown)

    def logon_failed(self, user_name, password, error):
        self.failed(error)
        self.gw_link(C.csConnectionDown)

    def logoff(self):
        self._core.drills.forget("gw")
        self.gw_link(C.csConnectionDown)

    def gw_link(self, status):
        core = self._core
        was_up = core.gw_up
        if status in (C.csConnectionUp, C.csConnectionDown):
            core.gw_up = status == C.csConnectionUp
        core.fire("OnGWConnectionStatusChanged", status)
        if core.gw_up and not was_up and core.account_level == C.aslAccountUpdatesAndOrders:
            core.seq.then(core.dispatch, "AccountSubscriptionLevel", self.accounts_on,
                          self.failed, ())

    def data_link(self, status):
        core = self._core
        was_up = core.data_up
        if status in (C.csConnectionUp, C.csConnectionDown):
            core.data_up = status == C.csConnectionUp
        core.fire("OnDataConnectionStatusChanged", status)
        if core.data_up and not was_up:
            # What changed while the link was down arrives as the quotes as they stand.
            for market in core.market_data.markets.values():
                inst = market.instrument
                if inst is not None and inst.DataSubscriptionLevel >= C.dsQuotes:
                    core.seq.then(core.market_data.level_changed, inst, C.dsNone)

    def accounts_on(self):
        """The accounts load once the gateway is up and the level asks for them."""
        core = self._core
        if core.gw_up and core.account_level == C.aslAccountUpdatesAndOrders:
            core.trading.reload_accounts()

    def shutdown(self):
        """On the component's thread: stops the live market and every later event."""
        core = self._core
        live, core.live = core.live, None
        if live is not None:
            live.stop()
        core.shut_down = True
        core.seq.close()
        core.held = []
        core.alarms.clear()
        core.paper.close()
        hooks, core.on_shutdown = core.on_shutdown, []
        for hook in hooks:
            hook()

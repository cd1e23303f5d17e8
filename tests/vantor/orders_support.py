"""The adapter run as the host runs it, for the account and order tests: an environment whose
worker owns the component, the adapter it returns bound to a gateway, calls from the test
thread (the gateway's thread). Waits are bounded; nothing sleeps to synchronise."""
import threading
from typing import TYPE_CHECKING, Optional

import cqgsim
from cqgsim import constants as C
from zandor_trader.core.constants import Direction, Exchange, OrderType
from zandor_trader.core.order import Order
from zandor_trader.core.security import Security
from zandor_trader.gateways.cqg.gateway import CqgGateway

from zandor_trader.gateways.cqg.wrapper import Ambrel, vantor

from .conftest import DEADLINE, ES, NQ, eventually, traces  # noqa: F401 - for the tests

if TYPE_CHECKING:
    from cqgsim.script import Simulation

ACCOUNT = 100101
CL = Security("CL", Exchange.NYMEX)
# DDZ5 is traded on the component but unknown to the host.
SECURITIES = {"EPZ5": ES, "ENQZ5": NQ, "CLEF6": CL}


class Background:
    """One call on a helper thread, for a caller that must block while the test acts."""

    def __init__(self, fn, *args):
        self.result = self.error = None
        self._thread = threading.Thread(target=self._run, args=(fn, args), daemon=True)
        self._thread.start()

    def _run(self, fn, args):
        try:
            self.result = fn(*args)
        except BaseException as e:  # noqa: B902 - handed to the test
            self.error = e

    def join(self):
        self._thread.join(DEADLINE)
        assert not self._thread.is_alive(), "call did not return in time"
        if self.error is not None:
            raise self.error
        return self.result


class Session:
    """An environment started on the simulated component (or on whatever component is
    registered), with the adapter bound to a CqgGateway, logged on and the instruments of
    `resolve` (all the securities' by default) resolved."""

    def __init__(self, securities=SECURITIES, resolve=None, logon=True):
        self.env = Ambrel.Ambrel()
        self.adapter = self.env.Init(vantor.Vantor, None)
        self.gateway = CqgGateway(securities)
        self.gateway.ambrel = self.env
        self.adapter.Init(self.gateway)
        self.cel = self.env.cqgCEL
        # Without a logon the component may be a test's fake, which has no simulation.
        self._sim: Optional["Simulation"] = cqgsim.latest() if logon else None
        if logon:
            self.cel.GWLogon("trader", "secret")
            for symbol in securities if resolve is None else resolve:
                self.cel.NewInstrument(symbol)
            self.sim.sync()

    @property
    def sim(self) -> "Simulation":
        if self._sim is None:
            raise RuntimeError("this session did not log on to the simulated component")
        return self._sim

    def subscribe(self, account=ACCOUNT):
        self.adapter.subscribe_account_and_positions(account)
        self.sim.sync()

    def orders(self):
        """GUID -> (type, side, quantity, limit, stop, manual) of the component's orders."""
        return self.sim.query(lambda core: {
            o.GUID: (o.Type, o.Side, o.Quantity, o.LimitPrice, o.StopPrice, o.Manual)
            for o in core.orders._items})

    def held_orders(self):
        """GUIDs of the orders whose placement the component holds unanswered."""
        return self.sim.query(lambda core: [args[0].GUID for kind, _, _, args in core.held
                                            if kind == "Place"])

    def fills(self):
        """(fill id, order GUID) of every normal fill the component made."""
        return self.sim.query(lambda core: [
            (f.Id, o.GUID) for o in core.orders._items for f in o._fills
            if f.Status == C.fsNormal])

    def close(self):
        self.env.Shutdown()
        self.env.thread.join(DEADLINE)
        assert not self.env.thread.is_alive()


def order(security=ES, order_type=OrderType.LIMIT, direction=Direction.LONG, quantity=1,
          price=6800.0, stop_price=None):
    return Order(security=security, price=price, quantity=quantity, direction=direction,
                 order_type=order_type, stop_price=stop_price)


def market(sim, symbol="EPZ5", bid=6850.0, ask=6850.25):
    """Best bid and ask on the component's market, in effect once sync() returns."""
    sim.push_ticks(symbol, [("bid", bid, 10), ("ask", ask, 10)])
    sim.sync()

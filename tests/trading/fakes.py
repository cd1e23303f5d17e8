"""Stand-ins for the engine's partners: the bot's shared fields and the CQG adapter."""
import copy
import datetime
import itertools
from decimal import Decimal

from zandor_trader.core.balance import AccountBalance
from zandor_trader.core.constants import Direction, Exchange, OrderStatus
from zandor_trader.core.data import Quote
from zandor_trader.core.position import PositionData
from zandor_trader.core.security import Security
from zandor_trader.gateways.cqg.gateway import CqgGateway

ES = Security("EPZ5", Exchange.CME)
CL = Security("CLEF6", Exchange.NYMEX)
T0 = datetime.datetime(2025, 12, 1, 22, 30, 5)


class Bot:
    """The sixteen fields as the bot starts them, and the messages sent through it."""

    def __init__(self):
        self.zandor_trader_status = "Running"
        self.get_balance = self.get_positions = self.get_orders = False
        self.active_orders = False
        self.num_orders_displayed = 1
        self.get_deals = False
        self.num_deals_displayed = 1
        self.cancel_order = False
        self.cancel_order_id = self.gateway_name = None
        self.cancel_orders = self.send_order = False
        self.order_string = ""
        self.close_positions = False
        self.close_positions_gateway_name = None
        self.sent = []
        self.failing = None  # called at each send: the error it returns is raised

    def send_message(self, msg):
        error = self.failing() if self.failing is not None else None
        if error is not None:
            raise error
        self.sent.append(msg)


class Adapter:
    """Answers like the adapter; `calls` lists what it was asked, `hooks` run inside calls."""

    def __init__(self, gateway):
        self.gateway = gateway
        self.calls = []
        self.hooks = {}  # call name -> callable run during that call
        self.account_balance = AccountBalance()
        self.balance = AccountBalance(cash=1_000_000.0, available_cash=900_000.5)  # the account's
        self.positions = []
        self.open_positions = []  # what update_positions finds
        self._ids = (f"{{ORDER-{n}}}" for n in itertools.count(1))

    def _call(self, name, *args):
        self.calls.append((name,) + args)
        hook = self.hooks.get(name)
        if hook is not None:
            hook(*args)

    def update_account_balance(self):
        self._call("update_account_balance")
        self.account_balance = copy.copy(self.balance)

    def update_positions(self):
        self._call("update_positions")
        self.positions = list(self.open_positions)

    def place_order(self, order):
        self._call("place_order", order)
        return next(self._ids)

    def cancel_order(self, orderid):
        self._call("cancel_order", orderid)

    def get_subscribe_bars_data(self, security):
        self._call("get_subscribe_bars_data", security)
        return None

    # What the component reports, as the adapter hands it to the gateway.
    def report(self, order_id, status, filled=0, price=0.0):
        self.gateway.process_order({"order_id": order_id, "updated_time": T0,
                                    "filled_avg_price": price, "filled_quantity": filled,
                                    "status": status})

    def fill(self, order_id, quantity, price, deal_id="D1"):
        self.report(order_id, OrderStatus.FILLED, quantity, price)
        self.gateway.process_deal({"deal_id": deal_id, "order_id": order_id, "updated_time": T0,
                                   "filled_avg_price": price, "filled_quantity": quantity})


TICKS = {"EPZ5": Decimal("0.25"), "CLEF6": Decimal("0.01")}
TICK_VALUES = {"EPZ5": Decimal("12.5"), "CLEF6": Decimal("10")}  # 50 and 1,000 a point
LAST = {ES: 6850.25, CL: 58.5}


def gateway_with_adapter():
    """A gateway on the fake adapter, with a last price for each of its securities."""
    gateway = CqgGateway({"EPZ5": ES, "CLEF6": CL}, tick_sizes=TICKS, tick_values=TICK_VALUES)
    gateway.adapter = Adapter(gateway)  # type: ignore[assignment]  # the fake adapter
    gateway.account_id = 100101
    for security, price in LAST.items():
        gateway.cqg_quotes[security] = Quote(security=security, last_price=price)
    return gateway


def long_position(security=ES, quantity=2, price=6850.25):
    return PositionData(security=security, direction=Direction.LONG, holding_price=price,
                        quantity=quantity, update_time=T0)


class Outlet:
    """Where the engine's questions go: each kept, with its settling notes and the answers to
    presses; the question's text is a reply too, as without buttons."""

    def __init__(self, engine):
        self.reply = engine.reply
        self.questions, self.notes, self.answers = [], [], []
        engine.questions.outlet = self

    def ask(self, question):
        self.questions.append(question)
        self.reply(question.text)

    def settle(self, question, note):
        self.notes.append((question.key, note))

    def answer(self, query_id, text):
        self.answers.append((query_id, text))

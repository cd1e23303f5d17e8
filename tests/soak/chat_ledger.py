"""The soak operator's ledger: the commands sent, by kind, and what the bot told, read in order
as it comes: each command's answer, each fill announced, the orders the broker rejected (the
market closed, a drill), the orders not sent while the gateway was down, the resting orders
to cancel."""
import collections
import re
from decimal import Decimal
from typing import Deque, Dict, List, Optional

# The engine's answer to each kind of command (the bot's own acknowledgements are time
# stamped, "[...]", and are not answers).
ANSWERS = {
    "order": re.compile(r"(Order placed|Order refused|send_order failed)\b|Placement of .* "
                        r"timed out: |.*; order not sent\.$"),
    "cancel": re.compile(r"(Cancel requested|Cancel refused|cancel_order failed)\b"),
    "cancel_all": re.compile(r"(Cancelling \d+ active orders:|No active orders to cancel\.|"
                             r"cancel_orders failed)"),
    "balance": re.compile(r"(Balance of CQG account|get_balance failed)\b"),
    "positions": re.compile(r"(Open positions \(|No open positions\.|get_positions failed)"),
    "orders": re.compile(r"(Last \d+ of \d+ (active )?orders|No (active )?orders\.|"
                         r"\d+ (active )?orders, none shown|get_orders failed)"),
    "deals": re.compile(r"(Last \d+ of \d+ deals|No deals\.|\d+ deals, none shown|"
                        r"get_deals failed)"),
}
PLACED = re.compile(r"Order placed: \{([0-9A-F]{8})[0-9A-F-]*\} ")
DEAL = re.compile(r"Deal: (\S+) order \S+ (?:EPZ5\.CME (LONG|SHORT)|\(order entered "
                  r"elsewhere\) -) (\d+) @ ([\d.]+) at ")
REJECTED = re.compile(r"Order rejected by the broker: .*\. Reason: (.*)$", re.S)
POSITION = re.compile(r"^CQG EPZ5\.CME (LONG|SHORT) (\d+) @", re.M)
DEALS_TOTAL = re.compile(r"(?:Last \d+ of (\d+) deals|(No) deals\.)")
CLOSED = "Market closed"


class Ledger:
    def __init__(self):
        self.sent: Dict[str, int] = collections.Counter()  # commands by kind
        self.answered: Dict[str, int] = collections.Counter()
        self._pending_orders: Deque[bool] = collections.deque()  # order commands not answered yet:
        # True for a resting order, whose id is wanted for its cancel
        self.to_cancel: Deque[str] = collections.deque()  # id prefixes of resting orders
        self.deals: Dict[str, int] = {}  # deal id -> signed quantity
        self.repeated: List[str] = []  # deal ids announced more than once
        self.unknown_deals = 0  # deals of orders the session did not place
        self.last_price: Optional[Decimal] = None
        self.rejected: Dict[str, int] = collections.Counter()  # "closed" or "other"
        self.refused: List[str] = []  # orders refused before they reached the broker
        self.not_sent: List[str] = []  # orders not sent while the gateway was down
        self.failed: List[str] = []  # requests that failed
        self.alerts: Dict[str, int] = collections.Counter()  # link, stale-data alerts
        self.positions: Optional[int] = None  # EPZ5's, as the last /positions said
        self.deals_total: Optional[int] = None  # as the last /deals said

    @property
    def position(self) -> int:
        """EPZ5's position as the announced deals add up."""
        return sum(self.deals.values())

    def command(self, kind: str, resting: bool = False) -> None:
        self.sent[kind] += 1
        if kind == "order":
            self._pending_orders.append(resting)

    def unanswered(self) -> Dict[str, int]:
        return {k: n - self.answered[k] for k, n in self.sent.items() if n != self.answered[k]}

    def read(self, text: str) -> None:
        """One message of the bot's, in the order sent."""
        if text.startswith("["):
            return
        for kind, answer in ANSWERS.items():
            if answer.match(text):
                self.answered[kind] += 1
                handle = {"order": self._order, "cancel": self._cancel,
                          "cancel_all": self._cancel, "positions": self._positions,
                          "deals": self._deals}.get(kind)
                if handle is not None:
                    handle(text)
                return
        if text.startswith("Deal: "):
            self._deal(text)
        elif text.startswith("Order rejected by the broker: "):
            reason = REJECTED.match(text)
            self.rejected["closed" if reason and reason[1].startswith(CLOSED) else "other"] += 1
        elif re.match(r"(Gateway|Market data) connection (LOST|restored)\.", text):
            self.alerts[text] += 1
        elif text.startswith("Market data of "):
            self.alerts["stale" if " is stale" in text else "flowing again"] += 1

    def _order(self, text: str) -> None:
        resting = self._pending_orders.popleft() if self._pending_orders else False
        placed = PLACED.match(text)
        if placed and resting:
            self.to_cancel.append(placed[1])
        elif text.startswith("Order refused"):
            self.refused.append(text)
        elif text.endswith("; order not sent."):
            self.not_sent.append(text)
        elif not placed:  # failed, or a placement that timed out
            self.failed.append(text)

    def _cancel(self, text: str) -> None:
        if " failed: " in text:
            self.failed.append(text)

    def _positions(self, text: str) -> None:
        self.positions = sum(int(q) * (1 if side == "LONG" else -1)
                             for side, q in POSITION.findall(text))

    def _deals(self, text: str) -> None:
        total = DEALS_TOTAL.match(text)
        if total:
            self.deals_total = 0 if total[2] else int(total[1])

    def _deal(self, text: str) -> None:
        deal = DEAL.match(text)
        if deal is None:
            self.failed.append(f"unread fill notice: {text}")
            return
        deal_id, side, quantity, price = deal.groups()
        if deal_id in self.deals:
            self.repeated.append(deal_id)
            return
        if side is None:
            self.unknown_deals += 1
            self.deals[deal_id] = 0
            return
        self.deals[deal_id] = int(quantity) * (1 if side == "LONG" else -1)
        self.last_price = Decimal(price)

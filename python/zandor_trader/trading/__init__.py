"""Trading: what the session does with the broker, whoever asks for it.

The engine's loop (`engine`) serves `Request` objects with handlers grouped by family
(`queries`, `orders` with its `flatten`, `risk_requests`, `stopping`, the session's own
`own_requests`; the short order commands of `fast_lane`, read by `short_orders`, with
`replacing`) and watches the market data (`market_watch`) and the day's loss (`risk`, by
`trading_day`); what needs the operator's confirmation is asked as a question (`questions`,
`confirming`); orders are read from the operator's order strings (`order_string`), named by
their ids (`order_ids`) and checked before they reach the broker (`pretrade`); the trade log (`trades`) keeps orders and deals as the
gateway reports them. Answers are texts (`replies`) with prices in each contract's decimals
(`prices`) and positions valued at the last price (`marks`), put to an outlet given by the
session.

It depends on the records (`zandor_trader.core`) and the gateway only: never on the chat, the
console or the application that wires them.
"""
from zandor_trader.trading.engine import Engine, Outlet
from zandor_trader.trading.pretrade import Limits
from zandor_trader.trading.requests import RUNNING, TERMINATED, Request
from zandor_trader.trading.trades import TradeLog

__all__ = ["Engine", "Limits", "Outlet", "Request", "RUNNING", "TERMINATED", "TradeLog"]

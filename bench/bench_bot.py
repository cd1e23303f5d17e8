"""Cost of the engine's side of the operator bot: the TelegramBot properties it polls and
sets, against a plain-Python class with the same properties over the same client.

Run: PYTHONPATH=python:python/combridge python bench/run.py bot
"""
import importlib
import os
import timeit

from benchlib import Row, median_seconds

from botapi import BotApiServer

TOKEN = "9000:bench-bot"
FIELDS = ["zandor_trader_status", "get_balance", "get_positions", "get_orders", "active_orders",
          "num_orders_displayed", "get_deals", "num_deals_displayed", "cancel_order",
          "cancel_order_id", "gateway_name", "cancel_orders", "send_order", "order_string",
          "close_positions", "close_positions_gateway_name"]


def _python_class():
    """The baseline: the same sixteen properties written in Python (a flag setter stores
    bool(val), the others val)."""
    lines = ["class PyTelegramBot:", "    def __init__(self, updater):",
             "        self.updater = updater"]
    for name in FIELDS:
        stored = "val" if name in ("zandor_trader_status", "num_orders_displayed",
                                   "num_deals_displayed", "cancel_order_id", "gateway_name",
                                   "order_string", "close_positions_gateway_name") else "bool(val)"
        lines += ["    @property", f"    def {name}(self):",
                  f"        return self.updater.bot.{name}",
                  f"    @{name}.setter", f"    def {name}(self, val):",
                  f"        self.updater.bot.{name} = {stored}"]
    namespace = {}
    exec("\n".join(lines) + "\n", namespace)
    return namespace["PyTelegramBot"]


def _poll_all():
    """The engine's cycle: reading all sixteen fields."""
    source = "def poll(b):\n" + "\n".join(f"    x = b.{name}" for name in FIELDS) + "\n"
    namespace = {}
    exec(source, namespace)
    return namespace["poll"]


def _per_call(stmt, number, repeat):
    return median_seconds(lambda: timeit.timeit(stmt, number=number), repeat) / number * 1e9


def rows(repeat):
    with BotApiServer(token=TOKEN) as server:
        saved = dict(os.environ)
        os.environ.update(ZANDOR_TELEGRAM_BASE_URL=server.base_url, ZANDOR_TELEGRAM_TOKEN=TOKEN,
                          ZANDOR_TELEGRAM_CHAT_ID="1")
        import zandor_trader_config
        importlib.reload(zandor_trader_config)
        module = importlib.import_module("zandor_trader.plugins.telegram.bot")
        try:
            ours, base = module.bot, _python_class()(module.bot.updater)
            poll = _poll_all()
            n = 200_000
            cases = [
                ("bot: property read (get_balance)", lambda: ours.get_balance,
                 lambda: base.get_balance, n),
                ("bot: flag setter (get_balance = 0)",
                 lambda: setattr(ours, "get_balance", 0),
                 lambda: setattr(base, "get_balance", 0), n // 4),
                ("bot: engine poll of the 16 fields", lambda: poll(ours), lambda: poll(base),
                 n // 10),
            ]
            result = []
            for name, fn_ours, fn_base, number in cases:
                result.append(Row(name, _per_call(fn_ours, number, repeat),
                                  "Python property over updater.bot",
                                  _per_call(fn_base, number, repeat), "ns/call",
                                  "ratio <= 1"))
            return result
        finally:
            module.bot.close()
            os.environ.clear()
            os.environ.update(saved)
            importlib.reload(zandor_trader_config)

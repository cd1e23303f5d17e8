"""How the host uses the native modules, written for mypy rather than pytest: .ci/typecheck
checks this file against the stubs. Each `# type: ignore[code]` marks a use the stubs must
refuse; with warn_unused_ignores, a stub that accepted it would fail the check."""
from typing import Any

from typing_extensions import assert_type

import comsim
from zandor_trader.core.constants import OrderStatus
from zandor_trader.core.data import Bar
from zandor_trader.core.order import Order
from zandor_trader.core.security import Security
from zandor_trader.gateways.cqg.gateway import CqgGateway
from zandor_trader.gateways.cqg.wrapper import Ambrel, vantor
from zandor_trader.plugins.telegram import bot as bot_module


def environment(gateway: CqgGateway, order: Order, security: Security) -> None:
    env = Ambrel.Ambrel()
    env.ProgID = "CQG.CQGCEL.4"  # set before Init: the component to create
    env.ProgID = None  # type: ignore[assignment]  # Init refuses anything but text
    adapter = env.Init(vantor.Vantor, None)
    assert_type(adapter, vantor.Vantor)
    adapter.Init(gateway)  # the host's gateway offers what the adapter uses
    assert_type(env.errorHappened, bool)
    assert_type(env.eventCELStarted.wait(1.5), bool)
    env.errorHappened = True  # type: ignore[misc]  # read-only
    adapter.Logon("user", "password")
    adapter.subscribe_bar("EPZ5", 10)
    adapter.subscribe_bar("EPZ5", 10, freq="1Min")
    adapter.subscribe_quote(42)  # type: ignore[arg-type]  # a CQG symbol is text
    assert_type(adapter.place_order(order), str)
    assert_type(adapter.get_subscribe_bars_data(security), "list[Bar] | None")
    assert_type(adapter.order_id, "str | None")
    adapter.cancel_order(None)  # type: ignore[arg-type]  # refused at run time as well
    assert_type(vantor.convert_orderstatus_cqg2qt(6), OrderStatus)
    assert_type(vantor.TIMEOUT, int)
    vantor.TIMEOUT = 5  # type: ignore[misc]  # a constant
    Ambrel.Trace("a line")
    Ambrel.Trace(1)  # type: ignore[arg-type]  # Trace concatenates text
    env.Shutdown()

    def configure(config: Any) -> None:
        config.TimeZoneCode = 1

    Ambrel.Ambrel().Init(vantor.Vantor, configure)


class Sink(Ambrel.CELSinkBase):
    def OnCELStarted(self) -> None:
        pass

    def OnTimedBarsAdded(self, cqgTimedBars: Any) -> None:
        pass


def operator_bot() -> None:
    bot = bot_module.bot
    bot.get_balance = 1  # a flag's setter takes any object and stores its truth
    assert_type(bot.get_balance, bool)
    bot.zandor_trader_status = 3  # type: ignore[assignment]  # text only
    assert_type(bot.cancel_order_id, "str | None")
    bot.send_message("text")
    bot.send_message("text", chat_id=7)
    bot.send_message(b"bytes")  # type: ignore[arg-type]
    assert_type(bot.send_paced(lambda: 3, chat_id=7), int)  # send()'s own result
    bot.send_paced("not callable")  # type: ignore[arg-type]


def bridge() -> None:
    assert_type(comsim.stats()["pending_calls"], int)
    assert_type(comsim.call(object(), lambda: 3), int)
    comsim.fire(object(), "OnIdle")
    comsim.register_component("Prog.Id", object, None)

"""The host stand-in: what the adapter and the bot rely on."""
import dataclasses
import os
import subprocess
import sys
import textwrap

import pytest

from zandor_trader.core.constants import Direction, Exchange
from zandor_trader.core.data import Quote
from zandor_trader.core.order import Order
from zandor_trader.core.security import Security
from zandor_trader.core.utility import safe_call
from zandor_trader.gateways import BaseGateway
from zandor_trader.gateways.cqg.gateway import CqgGateway

ES = Security("ES", Exchange.CME)
NQ = Security("NQ", Exchange.CME)


def test_gateway_maps_symbols_both_ways_and_seeds_every_map():
    gw = CqgGateway({"EPZ5": ES, "ENQZ5": NQ})
    assert isinstance(gw, BaseGateway)
    assert gw.get_qt_security_from_cqg_symbol("EPZ5") is ES
    assert gw.get_qt_security_from_cqg_symbol("XXX") is None
    assert gw.get_cqg_symbol_from_qt_security(NQ) == "ENQZ5"
    assert gw.cqg_quotes == {ES: None, NQ: None}
    assert gw.cqg_orderbooks == {ES: None, NQ: None}


def test_gateway_refuses_requests_before_it_is_connected():
    gw = CqgGateway({"EPZ5": ES})
    order = Order(security=ES, price=None, quantity=1, direction=Direction.LONG)
    for request in (lambda: gw.send_order(order), lambda: gw.cancel_order("x"),
                    gw.query_account, gw.query_positions, gw.query_bars):
        with pytest.raises(RuntimeError, match="not connected"):
            request()
    assert gw.trades.orders() == [] and gw.account_balance is None and gw.bars == {}
    gw.close()  # nothing was started: nothing to end


def test_gateway_keeps_hand_overs_in_order_and_tells_listeners():
    gw = CqgGateway({"EPZ5": ES}, history=2)
    seen = []
    gw.add_listener(lambda kind, rec: seen.append(kind))
    q1, q2, q3 = (Quote(security=ES, last_price=p) for p in (1, 2, 3))
    for q in (q1, q2, q3):
        gw.process_quote(q)
    gw.process_deal({"deal_id": "d"})
    assert list(gw.quotes) == [q2, q3]  # bounded, oldest dropped
    assert list(gw.deals) == [{"deal_id": "d"}]
    assert seen == ["quote", "quote", "quote", "deal"]


def test_records_default_to_zero_and_copy_with_replace():
    q = Quote(security=ES, exchange=ES.exchange)
    assert (q.last_price, q.bid_price, q.ask_price) == (0, 0, 0)
    q2 = dataclasses.replace(q, bid_price=5.5)
    assert q.bid_price == 0 and q2.bid_price == 5.5 and q2.security is ES


def test_safe_call_reports_and_swallows_errors(capsys):
    @safe_call
    def boom(x):
        raise ValueError(f"bad {x}")

    assert boom(3) is None
    assert "bad 3" in capsys.readouterr().err


def test_config_from_environment_and_file(tmp_path):
    ini = tmp_path / "cfg.ini"
    ini.write_text("[zandor_trader]\ntelegram_token = 1:file\ntelegram_chat_id = 77\n")
    probe = textwrap.dedent("""
        import zandor_trader_config as c
        print(c.TELEGRAM_TOKEN, c.TELEGRAM_CHAT_ID, c.TELEGRAM_BASE_URL)
    """)
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZANDOR_")}
    env["ZANDOR_TRADER_CONFIG"] = str(ini)
    out = subprocess.run([sys.executable, "-c", probe], env=env, capture_output=True,
                         text=True, check=True).stdout.split()
    assert out == ["1:file", "77", "None"]
    env["ZANDOR_TELEGRAM_CHAT_ID"] = "-5"
    env["ZANDOR_TELEGRAM_BASE_URL"] = "http://127.0.0.1:1/bot"
    out = subprocess.run([sys.executable, "-c", probe], env=env, capture_output=True,
                         text=True, check=True).stdout.split()
    assert out == ["1:file", "-5", "http://127.0.0.1:1/bot"]

"""The soak operator's reading of the chat: every kind of command answered or not, orders the
broker rejects while the market is closed expected and counted, each fill once, the position
as the deals add up."""
from tests.soak.chat_ledger import Ledger

CLOSED = ("Order rejected by the broker: {A1B2C3D4-0000-4000-8000-000000000001} EPZ5.CME LONG 1 "
          "MARKET OPEN: FAILED. Reason: Market closed: F.US.EPZ5 trades again from Mon "
          "2025-12-01 17:00 Chicago time")


def deal(n, side, price="6850.25"):
    return (f"Deal: 100000{n} order {{A1B2C3D4-0000-4000-8000-00000000000{n}}} EPZ5.CME {side} 1 "
            f"@ {price} at 2025-12-01 07:01:10 UTC+8")


def test_commands_answered_fills_once_and_rejections_while_closed():
    ledger = Ledger()
    for kind, resting in [("order", False), ("order", True), ("order", False), ("order", False),
                          ("balance", False),
                          ("orders", False), ("orders", False), ("deals", False),
                          ("positions", False), ("cancel", False)]:
        ledger.command(kind, resting)
    for text in [
            "[2026-12-09 16:39:03.049605] Send order (['EPZ5,1,l,o,m,CQG,None,None'])...",
            "Order placed: {A1B2C3D4-0000-4000-8000-000000000001} EPZ5.CME LONG 1 MARKET",
            CLOSED,
            "Order placed: {E5F6A7B8-0000-4000-8000-000000000002} EPZ5.CME SHORT 1 LIMIT "
            "price=7055.75",
            "Gateway connection LOST.",
            "Order placed: {A1B2C3D4-0000-4000-8000-000000000003} EPZ5.CME LONG 1 MARKET",
            "Order rejected by the broker: {A1B2C3D4-0000-4000-8000-000000000003} EPZ5.CME LONG "
            "1 MARKET OPEN: FAILED. Reason: Not connected to the gateway",
            "Gateway connection restored.",
            "Order placed: {A1B2C3D4-0000-4000-8000-000000000007} EPZ5.CME LONG 1 MARKET",
            deal(4, "LONG"), deal(5, "LONG", "6851.00"), deal(5, "LONG", "6851.00"),
            deal(6, "SHORT"),
            "Balance of CQG account 100101:\ncash: 1,000,000",
            "Last 5 of 9 orders (/orders N lists the newest N):\n...",
            "No active orders.",
            "Market data of EPZ5.CME is stale: nothing for 130 s.",
            "Open positions (1):\nCQG EPZ5.CME LONG 1 @ 6850.25"]:
        ledger.read(text)
    assert ledger.unanswered() == {"deals": 1, "cancel": 1}
    assert list(ledger.to_cancel) == ["E5F6A7B8"]  # the resting order's id, for its cancel
    assert ledger.rejected == {"closed": 1, "other": 1}
    assert ledger.repeated == ["1000005"] and ledger.position == 1 == ledger.positions
    assert str(ledger.last_price) == "6850.25"
    assert ledger.alerts == {"Gateway connection LOST.": 1, "Gateway connection restored.": 1,
                             "stale": 1}
    ledger.read("Cancel refused: order {E5F6A7B8-0000-4000-8000-000000000002} is FAILED, not "
                "active.")
    ledger.read("Last 1 of 3 deals (/deals N lists the newest N):\n...")
    assert ledger.unanswered() == {} and ledger.deals_total == 3 == len(ledger.deals)
    assert ledger.refused == ledger.failed == []


def test_refusals_failures_and_fills_of_orders_not_placed_here_are_told_apart():
    ledger = Ledger()
    for _ in range(5):
        ledger.command("order")
    ledger.read("Order refused: quantity 30 is above the limit of 10 contracts per order.")
    ledger.read("send_order failed: RuntimeError: The object invoked has disconnected")
    ledger.read("Placement of EPZ5 LONG 1 MARKET timed out: its outcome is not known yet. The "
                "session watches the broker for it: it is tracked once the broker shows it, or "
                "reported as not placed.")
    ledger.read("Gateway connection down since 16:05; order not sent.")
    ledger.read("Deal: 1000009 order {A1B2C3D4-0000-4000-8000-000000000009} (order entered "
                "elsewhere) - 1 @ 6857.75 at 2025-12-01 07:05:50 UTC+8")
    ledger.read("No open positions.")
    assert ledger.unanswered() == {"order": 1}
    assert len(ledger.refused) == len(ledger.not_sent) == ledger.unknown_deals == 1
    assert [text.split(":")[0] for text in ledger.failed] == [
        "send_order failed", "Placement of EPZ5 LONG 1 MARKET timed out"]
    assert ledger.position == 0 == ledger.positions

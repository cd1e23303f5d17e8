"""The session's book on a paper account that outlives the component: what a new session
finds at the broker, the fills the journal lacks told once as made while it was down, and
the chat and deals put back."""
import types

import pytest

import cqgsim
from zandor_trader.app.book import SessionBook
from zandor_trader.chat import ChatLog
from zandor_trader.core.constants import Exchange
from zandor_trader.core.security import Security
from zandor_trader.gateways.cqg.gateway import CqgGateway
from zandor_trader.trading import Engine, Request, journal_reads, prices

ES = Security("EPZ5", Exchange.CME)


class Outbox:
    def __init__(self):
        self.texts = []

    def put(self, text, on_sent=None, *, repeat=False):
        self.texts.append(("(repeat) " if repeat else "") + text)
        return len(self.texts)


def connected(store):
    cqgsim.reset()
    cqgsim.configure(mode="scripted", paper_store=store)
    gateway = CqgGateway({"EPZ5": ES})
    gateway.connect("trader", "secret", 100101)
    sim = cqgsim.latest()
    sim.push_ticks("EPZ5", [("bid", 6850.0, 50), ("ask", 6850.25, 50), ("trade", 6850.0, 1)])
    sim.sync()
    return gateway, sim


def settings(path):
    return types.SimpleNamespace(journal_path=lambda: path, account=100101, broker="sim")


def engine_on(gateway, book):
    return Engine(types.SimpleNamespace(zandor_trader_status="Running"), gateway,
                  outbox=Outbox(), journal=book.journal)


@pytest.fixture
def closing():
    """Closes what a test opened (books, gateways), newest first, whatever the test did."""
    opened = []
    prices.use_tick_source(lambda security: None)

    def keep(thing):
        opened.append(thing)
        return thing
    try:
        yield keep
    finally:
        for thing in reversed(opened):
            try:
                thing.close()
            except Exception:  # closed by the test already
                pass
        prices.use_tick_source(None)
        cqgsim.reset()


def test_a_fill_the_journal_lacks_is_told_once_as_made_while_the_session_was_down(
        tmp_path, closing):
    store, path = str(tmp_path / "paper.sqlite"), str(tmp_path / "journal.sqlite")
    gateway, sim = connected(store)
    closing(gateway)
    book = closing(SessionBook(settings(path), log=print))
    engine = engine_on(gateway, book)
    engine.submit(Request("send_order", {"order_string": "EPZ5,3,l,o,l,CQG,6849.00,None"}))
    engine.serve_pending()
    (order,) = gateway.trades.orders(active_only=True)
    sim.fill(order.order_id, quantity=1)
    sim.sync()  # filled at the broker; the session dies before it journals the deal
    book.close()
    gateway.close()

    gateway, sim = connected(store)
    closing(gateway)
    book = closing(SessionBook(settings(path), log=print))
    chat = ChatLog(lambda seen: ([], 0))
    assert book.restore(gateway, chat).endswith("session 2; restored 0 chat lines and "
                                                "0 deals")
    engine = engine_on(gateway, book)
    found = book.reconcile(engine)
    lines = found.splitlines()
    assert lines[:2] == ["Found at the broker on starting:", "Working orders: 1"]
    assert lines[2].startswith(order.order_id) and "LONG 3 LIMIT" in lines[2]
    assert "filled 1 @ 6849" in lines[2]
    assert lines[3:5] == ["Open positions: 1", "CQG EPZ5.CME LONG 1 @ 6849"]
    assert lines[5] == "Deals made while the session was down: 1"
    assert lines[6].startswith("Deal (made while the session was down): ")
    engine.serve_pending()
    assert engine.outbox.texts == []  # told in the message above, never again as new
    assert engine.books.book.held("EPZ5", "CME") == (1, 6849.0)
    book.journal.committed()
    (deal,) = journal_reads.listing(path, "deals")
    assert deal[5:] == ("LONG", 1, 6849.0)
    # A third start finds the fill in the journal: nothing more to tell of it.
    book = closing(SessionBook(settings(path), log=print))
    assert "made while" not in (book.reconcile(engine_on(gateway, book)) or "")


def test_the_conversation_and_the_deals_come_back_and_unconfirmed_replies_go_once_more(
        tmp_path):
    path = str(tmp_path / "journal.sqlite")
    first = SessionBook(settings(path), log=print)
    first.journal.chat("operator", "/positions")
    first.journal.chat("bot", "No open positions.")
    first.journal.reply_queued(1, "No open positions.", 1.0)
    first.journal.reply_delivered(1, 2.0)
    first.journal.reply_queued(2, "(repeat) Order cancelled: {B}", 3.0)
    first.close()

    second = SessionBook(settings(path), log=print)
    gateway = CqgGateway({"EPZ5": ES})
    chat = ChatLog(lambda seen: ([], 0))
    chat.restore([])  # nothing yet: restoring adds before what the session adds
    second.restore(gateway, chat)
    assert chat.entries() == [("operator", "/positions"), ("bot", "No open positions.")]
    outbox = Outbox()
    assert second.repeat_undelivered(outbox) == 1
    assert outbox.texts == ["(repeat) Order cancelled: {B}"]  # marked once only
    second.journal.reply_queued(1, "(repeat) Order cancelled: {B}", 4.0)
    second.close()
    assert journal_reads.undelivered(path, 3) == [(2, 1, "(repeat) Order cancelled: {B}")]


def test_deals_restored_from_an_earlier_session_are_listed_and_never_announced_again(
        tmp_path, closing):
    import datetime

    from zandor_trader.core.constants import Direction
    from zandor_trader.core.order import Deal

    path = str(tmp_path / "journal.sqlite")
    first = SessionBook(settings(path), log=print)
    first.journal.deal(Deal("D7", "{A}", ES, Direction.LONG, 6850.25, 2,
                            datetime.datetime(2025, 12, 1, 22, 30)))
    first.close()
    second = closing(SessionBook(settings(path), log=print))
    gateway = CqgGateway({"EPZ5": ES})
    assert second.restore(gateway, ChatLog(lambda seen: ([], 0))).endswith(
        "restored 0 chat lines and 1 deals")
    engine = engine_on(gateway, second)  # made after the restore, as the session does
    engine.submit(Request("get_deals", {"num_deals_displayed": 5}))
    engine.serve_pending()
    (listing,) = engine.outbox.texts
    assert listing.startswith("Last 1 of 1 deals:") and "D7 order {A}" in listing


def test_what_earlier_sessions_realized_today_counts_against_the_daily_loss_limit(
        tmp_path, closing):
    import datetime
    from decimal import Decimal

    from zandor_trader.core.balance import AccountBalance
    from zandor_trader.core.constants import Direction
    from zandor_trader.core.order import Deal
    from zandor_trader.trading import Limits

    path = str(tmp_path / "journal.sqlite")
    first = SessionBook(settings(path), log=print)
    when = datetime.datetime(2025, 12, 1, 22, 30)
    first.journal.deal(Deal("D1", "{A}", ES, Direction.SHORT, 6840.0, 2, when),
                       trading_day="2025-12-01", realized=-700.0)
    first.journal.deal(Deal("D2", "{B}", ES, Direction.SHORT, 6830.0, 1, when),
                       trading_day="2025-11-28", realized=-5_000.0)  # an earlier day's
    first.close()
    gateway, _ = connected(str(tmp_path / "paper.sqlite"))
    closing(gateway)
    second = closing(SessionBook(settings(path), log=print))
    engine = engine_on(gateway, second)
    engine.limits = Limits(max_daily_loss=Decimal(1000))
    engine.risk.market_time = lambda: when
    engine.trading_day = lambda: datetime.date(2025, 12, 1)
    second.reconcile(engine)
    # The account's realized figure runs on; the restarted session sees it first here.
    notices, reached = engine.risk.update(AccountBalance(realized_pnl=-9_000.0,
                                                         unrealized_pnl=-250.0))
    assert (notices, reached) == ([], False)
    assert engine.risk.figures.realized == -700.0
    notices, reached = engine.risk.update(AccountBalance(realized_pnl=-9_100.0,
                                                         unrealized_pnl=-250.0))
    assert reached and notices[0].startswith(
        "Daily loss limit reached: today's P&L -1,050.00 (realized -800.00, open -250.00)")

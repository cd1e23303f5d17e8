"""The session's book of record, as the session uses it: the journal opened for the account,
the chat and the deals restored from it, every request, line of the conversation and reply
recorded, each reply sent only once what came before it is committed, replies never
confirmed sent once more, and the broker reconciled with at the start."""
from typing import Callable, Optional

from zandor_trader.chat.outbox import REPEAT_MARK
from zandor_trader.core.constants import Direction, Exchange
from zandor_trader.core.order import Deal
from zandor_trader.core.security import Security
from zandor_trader.trading import journal_reads
from zandor_trader.trading.journal import Journal
from zandor_trader.trading.journal_tables import BROKER_ZONE, parse_time
from zandor_trader.trading.reconcile import reconcile
from zandor_trader.trading.requests import ANSWER, Request

CHAT_RESTORED = 200  # lines of the conversation shown again, as the chat pane keeps them
DEALS_RESTORED = 500  # deals /deals lists again


class SessionBook:
    def __init__(self, settings, log: Callable[[str], None]):
        self.journal = Journal(settings.journal_path(), settings.account, settings.broker,
                               log=log)
        self.path = self.journal.path
        self.log = log

    # -- restoring ---------------------------------------------------------------------------
    def restore(self, gateway, chat) -> str:
        """Puts the conversation and the deals of earlier sessions back; returns a line
        saying what was restored."""
        if not self.journal.previous:
            return f"Journal {self.path}: new, session {self.journal.session}"
        entries = journal_reads.chat_entries(self.path, CHAT_RESTORED)
        chat.restore(entries)
        deals = [_deal(row, gateway) for row in journal_reads.recent_deals(self.path,
                                                                            DEALS_RESTORED)]
        gateway.trades.restore_deals(deals)
        return (f"Journal {self.path}: session {self.journal.session}; restored "
                f"{len(entries)} chat lines and {len(deals)} deals")

    def repeat_undelivered(self, outbox) -> int:
        """Sends once more, marked, each reply of an earlier session whose delivery was never
        confirmed; returns how many."""
        pending = journal_reads.undelivered(self.path, self.journal.session)
        for session, reply_id, text in pending:
            while text.startswith(REPEAT_MARK):  # marked once, however often repeated
                text = text[len(REPEAT_MARK):]
            self.journal.will_repeat(REPEAT_MARK + text, session, reply_id)
            outbox.put(text, repeat=True)
        return len(pending)

    def reconcile(self, engine) -> Optional[str]:
        """The broker's working orders and positions adopted, the fills the journal lacks
        journaled; returns the one message for the operator (None: nothing found)."""
        gateway = engine.gateway
        known = journal_reads.deal_ids(self.path)
        known |= {str(d.deal_id) for d in gateway.trades.deals()}
        books = engine.books
        text = reconcile(gateway, known,
                         record=lambda deal: books.record(deal, while_down=True))
        books.align(gateway.positions)
        if self.journal.previous:  # the day goes on where the last session left it
            day = engine.trading_day()
            # The day's losses count against its limit whatever sessions made them.
            engine.risk.carry(day, self._realized_on(day))
            self.log(self.realized_today(engine))
        return text

    def realized_today(self, engine) -> str:
        day = engine.trading_day()
        total = self._realized_on(day)
        return f"Realized P&L of trading day {day.isoformat()} (journal): {total:,.2f}"

    def _realized_on(self, day) -> float:
        self.journal.committed()
        return float(sum(journal_reads.realized_by_day(self.path, day.isoformat(),
                                                       day.isoformat()).get(day.isoformat(),
                                                                            {}).values()))

    # -- recording -----------------------------------------------------------------------
    def chat_line(self, who: str, text: str) -> None:
        self.journal.chat(who, text)

    def recording(self, submit: Callable[[Request], None]) -> Callable[[Request], None]:
        """`submit` that records each request as received (the session's own answers, which
        no operator asked for, are not requests)."""
        def record_and_submit(request: Request) -> None:
            if request.kind != ANSWER:
                self.journal.request(request.seq, request.kind, request.text)
            submit(request)
        return record_and_submit

    def committed_first(self, send: Callable[[str], None]) -> Callable[[str], None]:
        """`send` that first waits until what the journal was given is committed: nothing
        the operator is told can be missing from it after a crash."""
        def send_committed(text: str) -> None:
            self.journal.committed()
            send(text)
        return send_committed

    def close(self) -> None:
        self.journal.close()


def _deal(row: "journal_reads.DealRow", gateway) -> Deal:
    security = gateway.find_security(row.symbol) if row.symbol else None
    if security is None and row.symbol:
        try:
            security = Security(row.symbol, Exchange(row.exchange))
        except ValueError:
            security = Security(row.symbol, Exchange.OTHER)
    direction = Direction[row.side] if row.side in Direction.__members__ else None
    moment = parse_time(row.time)
    # Shown as the component reports times: the broker's zone, no offset.
    shown = moment.astimezone(BROKER_ZONE).replace(tzinfo=None)
    return Deal(deal_id=row.deal_id, order_id=row.order_id, security=security,
                direction=direction, filled_avg_price=row.price, filled_quantity=row.quantity,
                updated_time=shown, gateway_name=gateway.gateway_name)


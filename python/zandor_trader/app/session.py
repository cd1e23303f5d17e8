"""A trading session on the CQG component (the simulated one or a real one), steered from
the operator's chat.

The main thread is the gateway's thread: it starts the component environment, logs on,
subscribes, runs the engine, and at the end logs off and shuts the environment down. With a
bot token configured the operator bot talks to that Bot API (Telegram, or the base URL
configured); without one it talks to a local Bot API server started here, and what the user
types is posted to it as the operator's messages. Every output is scrubbed of the bot's token.
The journal records the conversation, the requests, the orders and deals and every reply.
"""
import random
import sys
import time
from typing import TYPE_CHECKING, Callable, Dict, Optional, Sequence

from zandor_trader.app.bot_api import choose_bot_api
from zandor_trader.app.closing import EXIT_FAILED, EXIT_OK
from zandor_trader.app.interrupts import RUNNING, STARTING, Interrupts
from zandor_trader.app.secrecy import Redactor
from zandor_trader.app.settings import PROGID, Settings, position_limits, securities

if TYPE_CHECKING:
    from botapi import BotApiServer

    from zandor_trader.app.book import SessionBook
    from zandor_trader.app.bot_hooks import Hooks
    from zandor_trader.app.sim_broker import SimDrills
    from zandor_trader.charts import Charts
    from zandor_trader.chat import (
        ChatLink, ChatLog, Outbox, RequestIntake, SentLog, SessionCommands)
    from zandor_trader.console import Display, KeyboardReader, OrderFilter, Scroll, Transcript
    from zandor_trader.console.view import ButtonChoice
    from zandor_trader.gateways.cqg.gateway import CqgGateway
    from zandor_trader.plugins.telegram.bot import TelegramBot
    from zandor_trader.trading import Engine, Request


def market_seed(seed: Optional[int]) -> int:
    """The seed given, or a new one from the system's entropy."""
    return seed if seed is not None else random.SystemRandom().randrange(1, 2**31)


def _print_chat(who: str, text: str) -> None:
    from zandor_trader.chat.chat_log import with_buttons

    head, *rest = with_buttons(text).split("\n")
    lines = [f"{who}> {head}"] + [" " * (len(who) + 2) + line for line in rest]
    # One write: the other threads' trace lines cannot land inside it.
    sys.stdout.write("\n".join(lines) + "\n")
    sys.stdout.flush()


def _prepare_broker(s: Settings) -> bool:
    """The simulated broker configured (its market's seed and its paper account said); False
    when the settings ask for what the broker cannot do."""
    if s.broker == "sim":
        from zandor_trader.app import sim_broker

        # A new seed each run keeps order ids and deal numbers from repeating across
        # sessions.
        sim_broker.configure(s, market_seed(s.seed))
    elif s.paper_reset:
        print("--paper-reset is for the simulated broker's paper account only: nothing was "
              "reset", file=sys.stderr, flush=True)
        return False
    return True


def own_commands(take: Callable[["Request"], None]
                 ) -> Dict[str, Callable[[Sequence[str]], None]]:
    """The session's own commands served by the engine (/chart, /buy, /sell, /cancel,
    /replace), each a request handed to `take` (the intake's way in)."""
    from zandor_trader.app.charts import chart_command
    from zandor_trader.app.fast_lane import fast_lane_commands

    return {**chart_command(take), **fast_lane_commands(take)}


def session_commands(intake: "RequestIntake", own, drills: Optional["SimDrills"]
                     ) -> "SessionCommands":
    """The session's own commands (`own`, see own_commands, and /sim with the drills of the
    simulated broker), each taken by the intake like the bot's: numbered, in turn, and
    answered that it was not served once the session ends."""
    from zandor_trader.chat import SessionCommands
    from zandor_trader.trading.requests import CALL, Request

    sim = drills.command(intake.answer, lambda action: intake.take(
        Request(CALL, {"action": action}))) if drills is not None else None
    return SessionCommands(intake.answer, intake.take, own=own, sim=sim)


def _plain(run, log_file: Optional[str]) -> int:
    """`run(chat_out)` with the chat on standard output and the trace among it, in short
    form; every trace line whole in `log_file`."""
    from zandor_trader.console import plain_output

    with plain_output(log_file) as plain:
        return run(plain.chat)


class Session:
    """The parts of one session, started in order by run() and stopped in reverse."""

    def __init__(self, settings: Settings):
        self.settings = settings
        self.display: Optional[Display] = None
        self.server: Optional[BotApiServer] = None
        self.bot: Optional[TelegramBot] = None
        self.sent_log: Optional[SentLog] = None
        self.hooks: Optional[Hooks] = None  # what this session did to the bot's dispatcher
        self.keyboard: Optional[KeyboardReader] = None
        self.gateway: Optional[CqgGateway] = None
        self.engine: Optional[Engine] = None
        self.outbox: Optional[Outbox] = None
        self.charts: Optional[Charts] = None
        self.reason: Optional[str] = None
        self.chat: Optional[ChatLog] = None
        self.scroll: Optional[Scroll] = None  # the chat pane's scrollback (display mode)
        self.order_filter: Optional[OrderFilter] = None  # the orders panel's (display mode)
        self.buttons: Optional[ButtonChoice] = None  # the keyboard's (the local server only)
        self.transcript: Optional[Transcript] = None  # the conversation's file (display mode)
        self.link: Optional[ChatLink] = None  # whether the Bot API can be reached
        self.intake: Optional[RequestIntake] = None
        self.book: Optional[SessionBook] = None  # the journal
        self.phase = STARTING  # what Ctrl-C does (see interrupts)
        self._show_chat: Callable[[str, str], None] = _print_chat
        # The bot token only: the password goes to the adapter's Logon and nowhere else.
        self.redact = Redactor([settings.telegram_token])
        self.drills: Optional[SimDrills] = None  # on the simulated broker

    def _changed(self) -> None:
        if self.display is not None:
            self.display.changed()

    def typed(self) -> None:
        """A key was typed: drawn at once."""
        if self.display is not None:
            self.display.changed(urgent=True)

    def _chat_entry(self, who: str, text: str) -> None:
        if self.transcript is not None:
            self.transcript.add(who, text)
        self._changed()

    def _chat_line(self, who: str, text: str) -> None:
        """Every line of the conversation: into the journal (a message's buttons as text),
        then shown."""
        from zandor_trader.chat.chat_log import with_buttons

        if self.book is not None:
            self.book.chat_line(who, with_buttons(text))
        self._show_chat(who, text)

    def run(self) -> int:
        from zandor_trader.app.secrecy import redacted_output
        from zandor_trader.console import discard_typeahead

        s = self.settings
        try:
            with redacted_output(self.redact):
                if not _prepare_broker(s):
                    return EXIT_FAILED
                if s.plain or not sys.stdout.isatty():
                    return _plain(lambda out: self._run(securities(s), chat_out=out),
                                  s.log_file)
                return self._run_with_display(securities(s))
        finally:  # keys typed meanwhile are not commands for the shell
            try:
                discard_typeahead(sys.stdin.fileno())
            except (AttributeError, ValueError, OSError):  # no standard input of its own
                pass

    def _run_with_display(self, securities) -> int:
        import shutil

        from rich.console import Console

        from zandor_trader.app.secrecy import redacted_output
        from zandor_trader.console import LogPane, Transcript, closing_text, default_path

        log_file = open(self.settings.log_file, "a", encoding="utf-8") \
            if self.settings.log_file else None
        pane = LogPane(file=log_file, on_line=self._changed)
        console = Console(file=sys.stdout)  # the terminal, before the trace is taken off it
        transcript = self.transcript = Transcript(default_path())
        try:
            with pane.redirect(), redacted_output(self.redact):
                return self._run(securities, pane, console)
        finally:
            if log_file is not None:
                log_file.close()
            transcript.close()
            # The screen is given back: the end of the trace, then the conversation's end
            # (the session's summary with it) stay on the terminal.
            for line in pane.lines(12):
                print(line)
            if self.chat is not None:
                height = shutil.get_terminal_size().lines
                print(closing_text(self.chat.entries(), max(height - 14, 10), transcript))

    def _run(self, securities, pane=None, console=None, chat_out=None) -> int:
        """The session; with a log pane and a console, under the live display."""
        from zandor_trader.app.book import SessionBook
        from zandor_trader.chat import ChatLog, SentLog
        from zandor_trader.gateways.cqg.gateway import CqgGateway
        from zandor_trader.trading import prices

        s = self.settings
        deadline = time.monotonic() + s.minutes * 60 if s.minutes is not None else None
        ticks = {i.symbol: i.tick_size for i in s.instruments if i.tick_size is not None}
        gateway = self.gateway = CqgGateway(securities, tick_sizes=ticks)
        prices.use_tick_source(gateway.tick_size)  # prices with each contract's decimals
        status = EXIT_FAILED
        with Interrupts(lambda: self.phase, lambda: self.engine):
            try:
                book = self.book = SessionBook(s, lambda line: print(line, flush=True))
                gateway.trades.recorder = book.journal
                token, chat_id, base_url = self._telegram()
                sent_log = self.sent_log = SentLog(chat_id)
                self._show_chat = (chat_out or _print_chat) if pane is None else self._chat_entry
                chat = self.chat = ChatLog(sent_log.sent_after, on_new=self._chat_line)
                print(book.restore(gateway, chat), flush=True)
                if pane is not None:
                    self._start_display(pane, console, chat, deadline)
                engine = self._start_bot(chat, sent_log, chat_id, token, base_url)
                self.phase = RUNNING
                self._start_keyboard(chat_id, token, keys=pane is not None)
                user, password, account = s.user, s.password, s.account
                if user is None or password is None or account is None:
                    raise ValueError("the broker's user, password and account must all be set")
                gateway.connect(user, password.reveal(), account,
                                bar_lookback=s.bars,
                                progid=s.progid if s.progid != PROGID else None)
                if self.drills is not None:
                    self.drills.attach(chaos=s.sim_chaos)
                names = ", ".join(gateway.cqg_symbols)
                until = f", {s.minutes:g} minutes at most" if s.minutes is not None else ""
                print(f"Session running: {names}; account {s.account}; stop with /stop or "
                      f"Ctrl-C{until}", flush=True)
                for symbol, why in gateway.left_out.items():
                    engine.alert(f"Instrument {symbol} is not known to the broker "
                                 f"({why}): left out of this session.")
                found = book.reconcile(engine)
                if found is not None:
                    engine.reply(found)
                reason = self.reason = engine.run(deadline)
                print(f"Session stopping: {reason}", flush=True)
                self.charts and self.charts.close()  # the charts asked come before the summary
                engine.reply(engine.summary(reason) + "\n" + book.realized_today(engine))
                status = EXIT_OK
            except KeyboardInterrupt:
                print("Session interrupted while starting", flush=True)
                status = EXIT_OK
            except Exception as exc:
                print(f"Session failed: {type(exc).__name__}: {exc}", file=sys.stderr,
                      flush=True)
            finally:
                status = self._close(status)
                prices.use_tick_source(None)
        return status

    def _telegram(self):
        """(token, operator's chat, base URL) of the bot. With a token configured: that Bot
        API; without: a local server started here."""
        from zandor_trader.app.secrecy import Secret

        api = choose_bot_api(self.settings)
        self.server = api.server
        for token in api.tokens():  # the local server's, random: never printed either
            self.redact.add(Secret(token))
        return api.token, api.chat_id, api.base_url

    def _start_display(self, pane, console, chat, deadline) -> None:
        from zandor_trader.app.terminal import start_display

        self.display = start_display(self, pane, console, chat, deadline)

    def _start_bot(self, chat, sent_log: "SentLog", chat_id, token, base_url) -> "Engine":
        from zandor_trader.app.bot_hooks import hook_session
        from zandor_trader.app.bot_loader import load_bot
        from zandor_trader.app.charts import start_charts
        from zandor_trader.app.fast_lane import start_buttons, start_fast_lane
        from zandor_trader.chat import ChatLink, Outbox, RequestIntake
        from zandor_trader.trading import Engine

        s = self.settings
        bot = self.bot = load_bot(token, chat_id, base_url, local=self.server is not None)
        if self.server is not None:  # the local server sets no flood limit: no need to pace
            bot.pace_sends(chat_rate=0, total_rate=0)
        redact = self.redact
        book = self.book
        assert book is not None  # opened before the bot

        @book.committed_first
        def send(text):
            bot.send_message(redact(text))

        def log(line):
            print(redact(line), flush=True)

        link = self.link = ChatLink(log, on_change=self._changed)
        sent_log.attach(bot, link)
        # Past its grace, closing the bot cuts short a send that waits out Telegram's flood
        # limit (the bot closes next anyway). The journal records each reply and its delivery.
        outbox = Outbox(send, log=log, on_sent=lambda text: chat.sync(), link=link,
                        interrupt=bot.close, listener=book.journal).start()
        self.outbox = outbox
        link.on_back = outbox.retry_now  # the chat is back: what waits goes at once
        book.repeat_undelivered(outbox)
        assert self.gateway is not None  # the engine trades through the session's gateway
        engine = self.engine = Engine(bot, self.gateway, outbox=outbox,
                                      refresh_every=None if self.display is None else s.refresh,
                                      on_refresh=self._changed, log=log, limits=s.limits,
                                      max_positions=position_limits(s),
                                      stale_after=s.stale_after, journal=book.journal,
                                      daily_close=s.daily_summary,
                                      home_exchange=s.instruments[0].exchange,
                                      speed=s.speed if s.broker == "sim" else 1.0)
        self.gateway.add_listener(engine.on_gateway_record)
        self.charts = start_charts(self.gateway, bot, chat_id, outbox, engine, self.transcript,
                                   redact, log)
        intake = self.intake = RequestIntake(bot, book.recording(engine.submit),
                                             when_closed=book.recording(self._unserved))
        engine.on_ending = intake.close  # nothing reaches the engine once it ends
        start_fast_lane(engine, self.gateway)
        presses = start_buttons(engine, outbox, bot, chat_id, chat, intake.take, redact, log,
                                book.journal.committed)
        if s.broker == "sim":
            from zandor_trader.app.sim_broker import SimDrills

            self.drills = SimDrills(s.speed, self.gateway, log=log)
        # The session's own answers and commands take their turn among the engine's answers.
        commands = session_commands(intake, own_commands(intake.take), self.drills)
        self.hooks = hook_session(bot, chat_id, chat, intake, commands, link, presses)
        return engine

    def _unserved(self, request: "Request") -> None:
        """A command that came once the engine had ended: answered all the same."""
        from zandor_trader.trading.requests import unserved_answer

        answer = unserved_answer(request)
        if answer is not None and self.outbox is not None:
            self.outbox.put(answer)

    def _start_keyboard(self, chat_id, token, keys: bool) -> None:
        from zandor_trader.app.terminal import start_keyboard

        self.keyboard = start_keyboard(self, chat_id, token, keys)

    def _close(self, status: int) -> int:
        from zandor_trader.app.closing import close_session

        return close_session(self, status)


def run(settings: Settings) -> int:
    return Session(settings).run()

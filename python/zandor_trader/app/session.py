"""A trading session on the CQG component (the simulated one or a real one), steered from
the operator's chat.

The main thread is the gateway's thread: it starts the component environment, logs on,
subscribes, runs the engine, and at the end logs off and shuts the environment down. With a
bot token configured the operator bot talks to that Bot API (Telegram, or the base URL
configured); without one it talks to a local Bot API server started here, and what the user
types is posted to it as the operator's messages. Every output is scrubbed of the secrets.
"""
import os
import random
import signal
import sys
import threading
import time
from typing import TYPE_CHECKING, Optional

from zandor_trader.app.bot_api import choose_bot_api
from zandor_trader.app.settings import PROGID, Settings, securities

if TYPE_CHECKING:
    from botapi import BotApiServer

    from zandor_trader.app.bot_hooks import Hooks
    from zandor_trader.app.sim_broker import SimDrills
    from zandor_trader.chat import ChatLog, Outbox, SentLog, SessionCommands
    from zandor_trader.console import Display, KeyboardReader, Scroll, Transcript
    from zandor_trader.gateways.cqg.gateway import CqgGateway
    from zandor_trader.plugins.telegram.bot import TelegramBot
    from zandor_trader.trading import Engine

EXIT_OK, EXIT_FAILED = 0, 1


def market_seed(seed: Optional[int]) -> int:
    """The seed given, or a new one from the system's entropy."""
    return seed if seed is not None else random.SystemRandom().randrange(1, 2**31)


class _Interrupts:
    """Ctrl-C (or SIGTERM) asks the engine to stop; a second Ctrl-C interrupts at once."""

    def __init__(self, stop):
        self._stop = stop
        self._asked = False
        self._saved = {}

    def _handle(self, signum, frame):
        if self._asked and signum == signal.SIGINT:
            raise KeyboardInterrupt
        self._asked = True
        self._stop("Ctrl-C" if signum == signal.SIGINT else "terminated by a signal")

    def __enter__(self):
        for signum in (signal.SIGINT, signal.SIGTERM):
            self._saved[signum] = signal.signal(signum, self._handle)
        return self

    def __exit__(self, *exc):
        for signum, handler in self._saved.items():
            signal.signal(signum, handler)


def _print_chat(who: str, text: str) -> None:
    head, *rest = text.split("\n")
    lines = [f"{who}> {head}"] + [" " * (len(who) + 2) + line for line in rest]
    # One write: the other threads' trace lines cannot land inside it.
    sys.stdout.write("\n".join(lines) + "\n")
    sys.stdout.flush()


def session_commands(engine: "Engine", drills: Optional["SimDrills"]) -> "SessionCommands":
    """The session's own commands: their answers, and the drills of /sim on the simulated
    broker, take their turn among the engine's requests."""
    from zandor_trader.chat import SessionCommands
    from zandor_trader.trading import Request

    def answer(text: str) -> None:
        engine.submit(Request("answer", {"text": text}))

    sim = drills.command(answer, lambda action: engine.submit(
        Request("call", {"action": action}))) if drills is not None else None
    return SessionCommands(answer, sim=sim)


class Session:
    """The parts of one session, started in order by run() and stopped in reverse."""

    def __init__(self, settings: Settings):
        self.settings = settings
        self.display: Optional[Display] = None
        self.server: Optional[BotApiServer] = None
        self.bot: Optional[TelegramBot] = None
        self.sent_log: Optional[SentLog] = None
        self._hooks: Hooks = []  # what this session added to the bot's dispatcher
        self.keyboard: Optional[KeyboardReader] = None
        self.gateway: Optional[CqgGateway] = None
        self.engine: Optional[Engine] = None
        self.outbox: Optional[Outbox] = None
        self.reason: Optional[str] = None
        self.chat: Optional[ChatLog] = None
        self.scroll: Optional[Scroll] = None  # the chat pane's scrollback (display mode)
        self.transcript: Optional[Transcript] = None  # the conversation's file (display mode)
        self.drills: Optional[SimDrills] = None  # on the simulated broker

    def _changed(self) -> None:
        if self.display is not None:
            self.display.changed()

    def _typed(self) -> None:
        if self.display is not None:
            self.display.changed(urgent=True)

    def _chat_entry(self, who: str, text: str) -> None:
        if self.transcript is not None:
            self.transcript.add(who, text)
        self._changed()

    def run(self) -> int:
        from zandor_trader.app.secrecy import Redactor, redacted_output

        s = self.settings
        self.redact = Redactor(s.secrets())
        with redacted_output(self.redact):
            if s.broker == "sim":
                from zandor_trader.app import sim_broker

                # A new seed each run keeps order ids and deal numbers from repeating across
                # sessions.
                sim_broker.configure(s, market_seed(s.seed))
            if s.plain or not sys.stdout.isatty():
                return self._run(securities(s))
            return self._run_with_display(securities(s))

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

    def _run(self, securities, pane=None, console=None) -> int:
        """The session; with a log pane and a console, under the live display."""
        from zandor_trader.chat import ChatLog, SentLog
        from zandor_trader.gateways.cqg.gateway import CqgGateway
        from zandor_trader.trading import prices

        s = self.settings
        deadline = time.monotonic() + s.minutes * 60 if s.minutes is not None else None
        ticks = {i.symbol: i.tick_size for i in s.instruments if i.tick_size is not None}
        gateway = self.gateway = CqgGateway(securities, tick_sizes=ticks)
        prices.use_tick_source(gateway.tick_size)  # prices with each contract's decimals
        status = EXIT_FAILED
        try:
            with _Interrupts(self._stop):
                token, chat_id, base_url = self._telegram()
                sent_log = self.sent_log = SentLog(chat_id)
                chat = self.chat = ChatLog(sent_log.sent_after,
                                           on_new=_print_chat if pane is None
                                           else self._chat_entry)
                if pane is not None:
                    self._start_display(pane, console, chat, deadline)
                engine = self._start_bot(chat, sent_log, chat_id, token, base_url)
                if self.server is not None:
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
                reason = self.reason = engine.run(deadline)
                print(f"Session stopping: {reason}", flush=True)
                engine.reply(engine.summary(reason))
                status = EXIT_OK
        except KeyboardInterrupt:
            print("Session interrupted while starting", flush=True)
            status = EXIT_OK
        except Exception as exc:
            print(f"Session failed: {type(exc).__name__}: {exc}", file=sys.stderr, flush=True)
        finally:
            status = self._close(status)
            prices.use_tick_source(None)
        return status

    def _telegram(self):
        """(token, operator's chat, base URL) of the bot. With a token configured: that Bot
        API; without: a local server started here."""
        api = choose_bot_api(self.settings)
        self.server = api.server
        return api.token, api.chat_id, api.base_url

    def _start_display(self, pane, console, chat, deadline) -> None:
        from zandor_trader.console import Display, Scroll, SessionView

        assert self.gateway is not None  # the display shows the gateway's records
        self.scroll = Scroll()
        view = SessionView(
            gateway=self.gateway, chat=chat, log=pane, started=time.monotonic(),
            deadline=deadline, typing=lambda: self.keyboard.typing if self.keyboard else "",
            status=lambda: self.bot.zandor_trader_status if self.bot else "Starting",
            scroll=self.scroll,
            broker="simulated CQG" if self.settings.broker == "sim" else "CQG")
        display = Display(view, console)
        try:
            display.start()
        except BaseException:
            try:  # the terminal back as it was: out of the alternate screen, cursor shown
                display.stop()
            finally:
                console.set_alt_screen(False)
                console.show_cursor(True)
            raise
        self.display = display
        self.gateway.add_listener(lambda kind, record: self._changed())

    def _stop(self, reason: str) -> None:
        if self.engine is None:  # nothing serves yet: end the start-up where it is
            raise KeyboardInterrupt
        self.engine.request_stop(reason)

    def _start_bot(self, chat, sent_log: "SentLog", chat_id, token, base_url) -> "Engine":
        from zandor_trader.app.bot_hooks import hook_session
        from zandor_trader.app.bot_loader import load_bot
        from zandor_trader.chat import Outbox, RequestIntake
        from zandor_trader.trading import Engine

        s = self.settings
        bot = self.bot = load_bot(token, chat_id, base_url, local=self.server is not None)
        if self.server is not None:  # the local server sets no flood limit: no need to pace
            bot.pace_sends(chat_rate=0, total_rate=0)
        sent_log.attach(bot)
        redact = self.redact

        def send(text):
            bot.send_message(redact(text))

        def log(line):
            print(redact(line), flush=True)

        outbox = Outbox(send, log=log, on_sent=lambda text: chat.sync()).start()
        self.outbox = outbox
        max_positions = {sec: i.max_position for i, sec in zip(
            s.instruments, securities(s).values()) if i.max_position is not None}
        assert self.gateway is not None  # the engine trades through the session's gateway
        engine = self.engine = Engine(bot, self.gateway, outbox=outbox,
                                      refresh_every=None if self.display is None else s.refresh,
                                      on_refresh=self._changed, log=log, limits=s.limits,
                                      max_positions=max_positions, stale_after=s.stale_after)
        self.gateway.add_listener(engine.on_gateway_record)
        if s.broker == "sim":
            from zandor_trader.app.sim_broker import SimDrills

            self.drills = SimDrills(s.speed, self.gateway, log=log)
        self._hooks = hook_session(bot, chat_id, chat, RequestIntake(bot, engine.submit),
                                   session_commands(engine, self.drills))
        return engine

    def _release_bot(self) -> None:
        """Closes the bot and takes this session's hooks off it."""
        from zandor_trader.app.bot_hooks import unhook

        if self.bot is None:
            return
        try:
            self.bot.close()
        finally:
            unhook(self.bot, self._hooks)
            if self.sent_log is not None:
                self.sent_log.detach()

    def _start_keyboard(self, chat_id, token, keys: bool) -> None:
        from zandor_trader.console import KeyboardReader

        try:
            fd = sys.stdin.fileno()
        except (AttributeError, ValueError, OSError):  # no standard input to read
            return
        if os.name != "posix":  # waiting on the console and a wake-up together needs POSIX
            return

        server = self.server
        assert server is not None  # the operator's lines go to the local server

        def post(line: str) -> None:
            server.post_message(line, chat_id, token=token)

        self.keyboard = KeyboardReader(fd, post, on_change=self._typed, keys=keys,
                                       scroll=self.scroll).start()

    def _close(self, status: int) -> int:
        steps = [("keyboard", lambda: self.keyboard and self.keyboard.stop()),
                 # The last answers go out (within a bound) before the bot closes.
                 ("outbox", lambda: self.outbox and self.outbox.close()),
                 ("bot", self._release_bot),
                 ("chaos drills", lambda: self.drills and self.drills.stop()),
                 ("gateway", lambda: self.gateway and self.gateway.close()),
                 ("Bot API server", lambda: self.server and self.server.stop()),
                 ("display", lambda: self.display and self.display.stop())]
        for what, step in steps:
            try:
                step()
            except BaseException as exc:  # every part is closed, whatever one of them does
                print(f"Closing the {what} failed: {type(exc).__name__}: {exc}",
                      file=sys.stderr, flush=True)
                status = EXIT_FAILED
        left = [t.name for t in threading.enumerate() if t is not threading.main_thread()]
        if left:
            print(f"Threads still running: {', '.join(left)}", file=sys.stderr, flush=True)
            status = EXIT_FAILED
        print("Session ended.", flush=True)
        return status


def run(settings: Settings) -> int:
    return Session(settings).run()

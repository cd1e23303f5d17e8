"""A trading session on the simulated CQG component, steered from the operator's chat.

The main thread is the gateway's thread: it starts the component environment, logs on,
subscribes, runs the engine, and at the end logs off and shuts the environment down. The
operator bot talks to a local Bot API server started here; what the user types is posted
to it as the operator's messages.
"""
import os
import signal
import sys
import threading
import time
from dataclasses import dataclass
from typing import Dict, Optional, Sequence

LOCAL_CHAT_ID = 1  # the operator's chat when the configuration names none
EXIT_OK, EXIT_FAILED = 0, 1


@dataclass
class Settings:
    instruments: Sequence[str] = ("EPZ5", "ENQZ5", "CLEF6")
    minutes: Optional[float] = None
    seed: int = 1
    speed: float = 10.0
    plain: bool = False
    account: int = 100101
    user: str = "operator"
    password: str = "simulated"
    bars: int = 10
    refresh: float = 5.0
    log_file: Optional[str] = None
    bot_port: int = 0


def securities_for(symbols: Sequence[str]) -> Dict[str, "Security"]:
    """Host securities for the simulated component's instruments, by CQG symbol."""
    from cqgsim import catalogue
    from zandor_trader.core.constants import Exchange
    from zandor_trader.core.security import Security

    securities = {}
    for symbol in symbols:
        spec = catalogue.find(symbol)
        if spec is None:
            known = ", ".join(s.symbol for s in catalogue.SPECS)
            raise ValueError(f"unknown instrument {symbol!r} (the simulated broker has {known})")
        securities[spec.symbol] = Security(spec.symbol, Exchange(spec.exchange), spec.description)
    return securities


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


class Session:
    """The parts of one session, started in order by run() and stopped in reverse."""

    def __init__(self, settings: Settings):
        self.settings = settings
        self.display = None
        self.server = None
        self.bot = None
        self.keyboard = None
        self.gateway = None
        self.engine = None
        self.outbox = None
        self.reason = None

    def _changed(self) -> None:
        if self.display is not None:
            self.display.changed()

    def run(self) -> int:
        s = self.settings
        securities = securities_for(s.instruments)  # refuse a bad name before starting
        import cqgsim

        cqgsim.configure(mode="live", seed=s.seed, speed=s.speed)
        if s.plain or not sys.stdout.isatty():
            return self._run(securities)
        return self._run_with_display(securities)

    def _run_with_display(self, securities) -> int:
        from rich.console import Console

        from zandor_trader.log_pane import LogPane

        log_file = open(self.settings.log_file, "a", encoding="utf-8") \
            if self.settings.log_file else None
        pane = LogPane(file=log_file, on_line=self._changed)
        console = Console(file=sys.stdout)  # the terminal, before the trace is taken off it
        try:
            with pane.redirect():
                return self._run(securities, pane, console)
        finally:
            if log_file is not None:
                log_file.close()
            for line in pane.lines(12):  # the end of the trace stays on the terminal
                print(line)

    def _run(self, securities, pane=None, console=None) -> int:
        """The session; with a log pane and a console, under the live display."""
        from botapi import BotApiServer

        import zandor_trader_config as config
        from zandor_trader.chat import ChatLog
        from zandor_trader.gateways.cqg.gateway import CqgGateway

        s = self.settings
        token = config.TELEGRAM_TOKEN
        chat_id = config.TELEGRAM_CHAT_ID if config.TELEGRAM_CHAT_ID is not None else LOCAL_CHAT_ID
        deadline = time.monotonic() + s.minutes * 60 if s.minutes is not None else None
        self.gateway = CqgGateway(securities)
        chat = ChatLog(lambda seen: self._sent_after(token, seen),
                       on_new=_print_chat if pane is None else lambda who, text: self._changed())
        status = EXIT_FAILED
        try:
            with _Interrupts(self._stop):
                if pane is not None:
                    self._start_display(pane, console, chat, deadline)
                self.server = BotApiServer(token=token, port=s.bot_port).start()
                # The bot reads these when it loads: point it at the local server, which a
                # proxy for the outside world would not reach.
                config.TELEGRAM_BASE_URL = self.server.base_url
                config.TELEGRAM_CHAT_ID = chat_id
                for name in ("HTTPS_PROXY", "https_proxy"):
                    os.environ.pop(name, None)
                print(f"Operator chat {chat_id} on the local Bot API server {self.server.base_url}"
                      f" (control {self.server.control_url})", flush=True)
                self._start_bot(chat, chat_id)
                self._start_keyboard(chat_id, token, keys=pane is not None)
                self.gateway.connect(s.user, s.password, s.account, bar_lookback=s.bars)
                names = ", ".join(self.gateway.cqg_symbols)
                until = f", {s.minutes:g} minutes at most" if s.minutes is not None else ""
                print(f"Session running: {names}; account {s.account}; stop with /stop or "
                      f"Ctrl-C{until}", flush=True)
                self.reason = self.engine.run(deadline)
                print(f"Session stopping: {self.reason}", flush=True)
                self.engine.reply(f"Zandor-Trader terminated ({self.reason}).")
                status = EXIT_OK
        except KeyboardInterrupt:
            print("Session interrupted while starting", flush=True)
            status = EXIT_OK
        except Exception as exc:
            print(f"Session failed: {type(exc).__name__}: {exc}", file=sys.stderr, flush=True)
        finally:
            status = self._close(status)
        return status

    def _start_display(self, pane, console, chat, deadline) -> None:
        from zandor_trader.display import Display, SessionView

        view = SessionView(
            gateway=self.gateway, chat=chat, log=pane, started=time.monotonic(),
            deadline=deadline, typing=lambda: self.keyboard.typing if self.keyboard else "",
            status=lambda: self.bot.zandor_trader_status if self.bot else "Starting")
        self.display = Display(view, console).start()
        self.gateway.add_listener(lambda kind, record: self._changed())

    def _stop(self, reason: str) -> None:
        if self.engine is None:  # nothing serves yet: end the start-up where it is
            raise KeyboardInterrupt
        self.engine.request_stop(reason)

    def _sent_after(self, token, seen: int):
        """The bot's messages after its first `seen`, and how many it sent in all."""
        sent = self.server.sent(token=token)
        return sent[seen:], len(sent)

    def _start_bot(self, chat, chat_id) -> None:
        from telegram import Update
        from telegram.ext import TypeHandler

        from zandor_trader.engine import Engine
        from zandor_trader.operator_requests import RequestIntake
        from zandor_trader.outbox import Outbox
        from zandor_trader.plugins.telegram import bot as bot_module

        self.bot = bot_module.bot
        outbox = Outbox(self.bot.send_message, on_sent=lambda text: chat.sync()).start()
        self.outbox = outbox
        self.engine = Engine(self.bot, self.gateway, outbox=outbox,
                             refresh_every=None if self.display is None else self.settings.refresh,
                             on_refresh=self._changed)
        self.gateway.add_listener(self.engine.on_gateway_record)
        intake = RequestIntake(self.bot, self.engine.submit)

        def dispatched(update, context):
            chat.sync()  # the bot's own replies, before the engine's answers
            intake.on_dispatched(update, context)

        def from_operator(update, context):
            if getattr(update.effective_chat, "id", None) == chat_id:
                chat.operator_update(update, context)

        # The bot stops other chats' updates before its handlers (group -1), so the later
        # group sees only the operator's; the earlier one sees every update.
        dispatcher = self.bot.updater.dispatcher
        dispatcher.add_handler(TypeHandler(Update, from_operator), group=-2)
        dispatcher.add_handler(TypeHandler(Update, dispatched), group=1)  # after the bot's

    def _start_keyboard(self, chat_id, token, keys: bool) -> None:
        from zandor_trader.keyboard import KeyboardReader

        try:
            fd = sys.stdin.fileno()
        except (AttributeError, ValueError, OSError):  # no standard input to read
            return
        if os.name != "posix":  # waiting on the console and a wake-up together needs POSIX
            return

        def post(line: str) -> None:
            self.server.post_message(line, chat_id, token=token)

        self.keyboard = KeyboardReader(fd, post, on_change=self._changed, keys=keys).start()

    def _close(self, status: int) -> int:
        steps = [("keyboard", lambda: self.keyboard and self.keyboard.stop()),
                 # The last answers go out (within a bound) before the bot closes.
                 ("outbox", lambda: self.outbox and self.outbox.close()),
                 ("bot", lambda: self.bot and self.bot.close()),
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

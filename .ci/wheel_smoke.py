"""Smoke test of an installed wheel: the three modules import from the installed package,
and a short trading session in plain mode answers /balance and ends on /stop with code 0.

Run by .ci/wheel with the fresh environment's interpreter, outside the source tree.
"""
import os
import queue
import re
import subprocess
import sys
import sysconfig
import threading
import time

TOKEN = "4000:wheel-smoke"
CHAT = 1
BOUND = 60.0  # seconds for the session to start, answer or end; it takes a few


def check_imports() -> None:
    from botapi import BotApiServer

    site = sysconfig.get_paths()["platlib"]
    with BotApiServer(token=TOKEN) as server:
        # The bot polls when it loads: give it the local server.
        os.environ.update(ZANDOR_TELEGRAM_BASE_URL=server.base_url, ZANDOR_TELEGRAM_TOKEN=TOKEN,
                          ZANDOR_TELEGRAM_CHAT_ID=str(CHAT), ZANDOR_TRADER_CONFIG=os.devnull)
        from zandor_trader.gateways.cqg.wrapper import Ambrel, vantor
        from zandor_trader.plugins.telegram import bot

        try:
            for module in (Ambrel, vantor, bot):
                assert module.__file__ and module.__file__.startswith(site), module.__file__
                print(f"imported {module.__name__} from {module.__file__}")
            assert issubclass(vantor.Vantor, Ambrel.CELSinkBase)
            assert isinstance(bot.bot, bot.TelegramBot)
        finally:
            bot.bot.close()


class Session:
    """`zandor-trader --plain`, its standard output read line by line as it comes."""

    def __init__(self) -> None:
        # No token: the session starts its own local Bot API server (a token means Telegram).
        env = {k: v for k, v in os.environ.items() if not k.startswith("ZANDOR_")}
        env.update(ZANDOR_TELEGRAM_CHAT_ID=str(CHAT), ZANDOR_TRADER_CONFIG=os.devnull,
                   PYTHONUNBUFFERED="1")
        script = os.path.join(os.path.dirname(sys.executable), "zandor-trader")
        # --bot-port: the local server serves its control interface, which plays the operator.
        self.proc = subprocess.Popen([script, "--plain", "--instruments", "EPZ5", "--bot-port",
                                      "0"], env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True)
        self.lines: "queue.Queue[str | None]" = queue.Queue()
        self.reader = threading.Thread(target=self._read)
        self.reader.start()

    def _read(self) -> None:
        assert self.proc.stdout is not None
        for line in self.proc.stdout:
            print("  | " + line.rstrip("\n"), flush=True)
            self.lines.put(line)
        self.lines.put(None)

    def wait_line(self, pattern: str) -> "re.Match[str]":
        end = time.monotonic() + BOUND
        while True:
            line = self.lines.get(timeout=max(end - time.monotonic(), 0.001))
            if line is None:
                raise AssertionError(f"the session ended before printing {pattern!r}")
            match = re.search(pattern, line)
            if match:
                return match

    def finish(self) -> int:
        code = self.proc.wait(BOUND)
        self.reader.join(BOUND)
        return code


def run_session() -> None:
    from botapi import RemoteServer

    session = Session()
    try:
        control, path = session.wait_line(r"\(control (\S+), token in (.+)\)$").groups()
        remote = RemoteServer.from_token_file(control, path)
        session.wait_line(r"^Session running")
        remote.post_message("/balance", CHAT)
        session.wait_line(r"Balance of CQG account")
        remote.post_message("/stop", CHAT)  # nothing open: no confirmation asked
        session.wait_line(r"^Session stopping: /stop")
        session.wait_line(r"^Session ended\.")
        code = session.finish()
        assert code == 0, f"the session exited with {code}"
    finally:
        if session.proc.poll() is None:
            session.proc.kill()
            session.finish()


def main() -> int:
    check_imports()
    run_session()
    print("wheel smoke test: the modules import, the session ended on /stop")
    return 0


if __name__ == "__main__":
    sys.exit(main())

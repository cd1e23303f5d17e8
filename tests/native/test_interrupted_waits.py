"""Ctrl-C ends a wait of the main thread (unbounded, or far longer than the test) with
KeyboardInterrupt within a second, as it ends threading.Event.wait(), and what was waited
for can still be shut down."""
import sys
import textwrap

import pytest

from .scripts import run_script

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="signals a thread")

# The main thread runs `wait()`; SIGINT is sent to it once it is about to enter the wait meant:
# at once, or when the trace line `last_line` is written, or once `reached()` returns; and
# again until its handler has raised once. Threads give the GIL up only where they wait, so
# the signal comes while the main thread is parked in the wait. `after()` runs once the
# KeyboardInterrupt is caught.
# A bot polling a local server; indented as the cases are.
BOT = """
        import os, threading
        from botapi import BotApiServer, FloodLimit
        from telegram.error import RetryAfter
        server = BotApiServer(token="1000:interrupted").__enter__()
        os.environ.update(ZANDOR_TELEGRAM_BASE_URL=server.base_url,
                          ZANDOR_TELEGRAM_TOKEN="1000:interrupted", ZANDOR_TELEGRAM_CHAT_ID="1",
                          ZANDOR_TRADER_CONFIG=os.devnull)
        for proxy in ("HTTPS_PROXY", "https_proxy"):
            os.environ.pop(proxy, None)
        import zandor_trader.plugins.telegram.bot as botmod
        bot = botmod.bot
"""

CASES = {
    "start-up of the environment": """
        from tests.ambrel import fakes
        fakes.ensure_type_library()
        fakes.register(lambda: fakes.Component(on_startup="silent"))
        from zandor_trader.gateways.cqg.wrapper import Ambrel
        env = Ambrel.Ambrel()
        wait = lambda: env.Init(Ambrel.CELSinkBase, None)
        last_line = "Waiting for CQGCEL start.."
        def after():
            env.Shutdown()
            assert not env.thread.is_alive()
    """,
    "hand-over of the component": """
        import threading
        from tests.ambrel import fakes
        created = threading.Event()
        def factory():
            created.wait()  # the worker is stuck creating the component
            return fakes.Component()
        fakes.ensure_type_library()
        fakes.register(factory)
        from zandor_trader.gateways.cqg.wrapper import Ambrel
        env = Ambrel.Ambrel()
        wait = lambda: env.Init(Ambrel.CELSinkBase, None)
        last_line = "Waiting for CQGCEL creation.."
        def after():
            created.set()
            env.Shutdown()
            assert not env.thread.is_alive()
    """,
    "marshalled call": """
        import threading, pythoncom, win32com.client
        handed, stop = threading.Event(), threading.Event()
        def owner():  # an apartment that does not pump
            pythoncom.CoInitialize()
            here = win32com.client.Dispatch(type("Component", (), {"Ping": lambda self: 1})())
            global stream
            stream = pythoncom.CoMarshalInterThreadInterfaceInStream(pythoncom.IID_IDispatch, here)
            handed.set()
            stop.wait()
        threading.Thread(target=owner, daemon=True).start()
        handed.wait()
        proxy = win32com.client.Dispatch(
            pythoncom.CoGetInterfaceAndReleaseStream(stream, pythoncom.IID_IDispatch))
        wait = proxy.Ping
        after = stop.set
    """,
    "wait event": """
        from zandor_trader.gateways.cqg.wrapper import Ambrel
        wait = Ambrel.Ambrel().eventAllPrepared.wait
        after = lambda: None
    """,
    "account subscription's pause": """
        import types
        from tests.ambrel import fakes
        fakes.ensure_type_library()
        from zandor_trader.gateways.cqg.wrapper import vantor
        adapter = vantor.Vantor()
        adapter.ambrel = types.SimpleNamespace(cqgCEL=types.SimpleNamespace())
        wait = lambda: adapter.subscribe_account_and_positions(100101)  # two seconds first
        after = lambda: None
    """,
    "paced send's wait for a slot": BOT + """
        bot.pace_sends(chat_rate=1 / 60, chat_burst=1)  # one a minute
        bot.send_message("first", 1)
        wait = lambda: bot.send_message("second", 1)
        def after():
            bot.close()
            assert [m.text for m in server.sent()] == ["first"]
    """,
    "paced send's hold after a 429": BOT + """
        server.set_flood_limit(FloodLimit(per_chat=0.01, chat_burst=1, retry_after=60))
        bot.send_message("passes", 1)
        wait = lambda: bot.send_message("refused", 1)
        def reached():  # refused, and past the answer's handling: in the hold
            assert server.wait_for(lambda: server.flood_refusals() == 1)
            in_the_call(wait)
        def after():
            bot.close()
            assert [m.text for m in server.sent()] == ["passes"]
    """,
    "paced send's wait for its turn": BOT + """
        server.set_flood_limit(FloodLimit(per_chat=0.01, chat_burst=1, retry_after=60))
        bot.send_message("passes", 1)
        def hold_the_turn():
            try:
                bot.send_message("refused", 1)
            except RetryAfter:
                pass
        holder = threading.Thread(target=hold_the_turn)
        holder.start()
        assert server.wait_for(lambda: server.flood_refusals() == 1)  # the holder is held
        wait = lambda: bot.send_message("after the holder", 1)
        def after():
            server.set_flood_limit(None)
            bot.close()
            holder.join()
            assert [m.text for m in server.sent()] == ["passes"]
    """,
}

INTERRUPT = """
    import signal, sys, threading, time
    sent = []  # when each SIGINT was sent
    sys.setswitchinterval(1000)  # no thread loses the GIL but where it waits
    waiting, caught = threading.Event(), threading.Event()
    if "last_line" in globals():
        class Watch:  # the trace line is written and flushed: the wait comes next
            def __init__(self, out):
                self.out, self.seen = out, False
            def write(self, text):
                self.seen = text.rstrip("\\n").endswith(last_line)
                return self.out.write(text)
            def flush(self):
                self.out.flush()
                if self.seen:
                    waiting.set()
        sys.stdout = Watch(sys.stdout)
    def in_the_call(fn):
        # Until the main thread is inside the native call that `fn` makes: then its innermost
        # frame is fn's (Python code the call runs would be innermost), and it gives the GIL
        # up (so that this thread can look) only where it waits.
        main, end = threading.main_thread().ident, time.monotonic() + 10
        while sys._current_frames()[main].f_code is not fn.__code__:
            assert time.monotonic() < end, "the main thread never reached the wait"
            time.sleep(0.002)
    raised = []
    def on_sigint(signum, frame):
        if not raised:
            raised.append(signum)
            raise KeyboardInterrupt
    signal.signal(signal.SIGINT, on_sigint)
    def interrupter():
        main = threading.main_thread().ident
        waiting.wait()
        if "reached" in globals():
            reached()
        for _ in range(200):
            sent.append(time.monotonic())
            signal.pthread_kill(main, signal.SIGINT)
            if caught.wait(0.05):
                return
    threading.Thread(target=interrupter, daemon=True).start()
    try:
        if "last_line" not in globals():
            waiting.set()
        wait()
        print("not interrupted")
    except KeyboardInterrupt:
        caught.set()
        late = time.monotonic() - sent[0] >= 1
        print("interrupted late" if late else "interrupted within a second")  # one write
    after()
    print("done")
"""


@pytest.mark.parametrize("case", CASES)
def test_ctrl_c_ends_the_wait_of(case):
    done = run_script(textwrap.dedent(CASES[case]) + textwrap.dedent(INTERRUPT), timeout=30)
    assert done.returncode == 0, done.stderr
    # Other threads' lines may run into the main thread's.
    assert "not interrupted" not in done.stdout
    assert "interrupted within a second" in done.stdout and done.stdout.endswith("done\n")


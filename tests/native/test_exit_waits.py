"""The process exits cleanly while a daemon thread is parked in any kind of wait that releases
the GIL, and is woken while the interpreter finalizes: the interpreter then ends or parks the
thread, and nothing of ours may turn that into std::terminate (exit code 134)."""
import textwrap

import pytest

from .scripts import run_script

# Each case leaves a daemon thread parked (`park`, started by the common part) and names the
# call that wakes it (`wake`), which runs from an object torn down at interpreter exit.
CASES = {
    "wait event": """
        from zandor_trader.gateways.cqg.wrapper import Ambrel
        event = Ambrel.Ambrel().eventCELStarted
        park, wake = event.wait, event.set
    """,
    "wait on a handle": """
        import win32event
        handle = win32event.CreateEvent(None, True, False, None)
        park = lambda: win32event.WaitForSingleObject(handle, win32event.INFINITE)
        wake = lambda: win32event.SetEvent(handle)
    """,
    "wait on handles and messages": """
        import win32event
        handle = win32event.CreateEvent(None, True, False, None)
        park = lambda: win32event.MsgWaitForMultipleObjects(
            [handle], False, win32event.INFINITE, win32event.QS_ALLINPUT)
        wake = lambda: win32event.SetEvent(handle)
    """,
    "marshalled call": """
        import pythoncom, win32com.client
        class Component:
            def Ping(self):
                return 1
        here = win32com.client.Dispatch(Component())
        stream = pythoncom.CoMarshalInterThreadInterfaceInStream(pythoncom.IID_IDispatch, here)
        def park():
            pythoncom.CoInitialize()
            proxy = win32com.client.Dispatch(
                pythoncom.CoGetInterfaceAndReleaseStream(stream, pythoncom.IID_IDispatch))
            proxy.Ping()  # runs when the main thread pumps
        wake = pythoncom.PumpWaitingMessages
    """,
    "call run on a component's thread": """
        import comsim, pythoncom, win32com.client
        component = win32com.client.Dispatch(object())
        park = lambda: comsim.call(component, int)
        wake = pythoncom.PumpWaitingMessages
    """,
    "environment start-up": """
        import comsim
        from tests.ambrel import fakes
        fakes.ensure_type_library()
        fakes.register(lambda: fakes.Component(on_startup="silent"))
        from zandor_trader.gateways.cqg.wrapper import Ambrel
        env = Ambrel.Ambrel()
        park = lambda: env.Init(Ambrel.CELSinkBase, None)
        wake = env.eventCELStarted.set
    """,
    "event handler blocked in Python": """
        import comsim, pythoncom, threading, win32com.client, win32event
        component = object.__new__(type("Component", (), {}))
        ready = threading.Event()
        handler_runs = threading.Event()
        released = threading.Event()
        class Sink:
            def OnSomething(self):
                handler_runs.set()
                released.wait()
        def park():
            pythoncom.CoInitialize()
            global sink
            sink = win32com.client.WithEvents(win32com.client.Dispatch(component), Sink)
            comsim.fire(component, "OnSomething")
            pythoncom.PumpWaitingMessages()  # its handler waits inside the bridge's delivery
        wake = released.set
    """,
    "module lock": """
        import types
        from zandor_trader.gateways.cqg.wrapper import Ambrel, vantor
        class Summary:
            def __getattr__(self, name):
                return lambda row: 1.0
        class Adapter(vantor.Vantor):
            def get_account_from_gwaccountid(self, GWAccountID):
                return types.SimpleNamespace(Summary=Summary())
        adapter = Adapter()
        adapter.GWAccountID = 1
        vantor.lock.acquire()  # the refresh waits for it to publish
        park = adapter.update_account_balance
        wake = vantor.lock.release
    """,
    "order placement": """
        import types
        from tests.ambrel import fakes
        fakes.ensure_type_library()
        from zandor_trader.core.constants import Direction, OrderType
        from zandor_trader.gateways.cqg.wrapper import vantor
        class Placed:
            GUID, Manual = "{GUID-1}", 1
            def Place(self):
                pass
        class Component:
            def CreateOrder(self, *args):
                return Placed()
        class Gateway:
            def get_cqg_symbol_from_qt_security(self, security):
                return "EPZ5"
        class Adapter(vantor.Vantor):
            def get_instrument_from_cqg_symbol(self, cqg_symbol):
                return "the instrument"
            def get_account_from_gwaccountid(self, GWAccountID):
                return "the account"
        adapter = Adapter()
        adapter.ambrel = types.SimpleNamespace(cqgCEL=Component())
        adapter.gateway, adapter.GWAccountID = Gateway(), 1
        order = types.SimpleNamespace(security="ES", order_type=OrderType.MARKET,
                                      direction=Direction.LONG, quantity=1, price=0.0,
                                      stop_price=0.0)
        vantor.TIMEOUT = 600
        park = lambda: adapter.place_order(order)  # waits for the order's added event
        wake = adapter.eventOrderPlaced.set
    """,
    "order placement through the worker": """
        import threading
        from tests.vantor.orders_support import ACCOUNT, Session, order
        from zandor_trader.gateways.cqg.wrapper import vantor
        def start():  # from a daemon thread, so that the worker is one too
            global s
            s = Session()
            s.subscribe(ACCOUNT)
            s.sim.respond("Place", "hold")  # placed, never answered
        starter = threading.Thread(target=start, daemon=True)
        starter.start()
        starter.join()
        vantor.TIMEOUT = 600
        park = lambda: s.adapter.place_order(order())  # its item ran; waits for the answer
        wake = s.adapter.eventOrderPlaced.set
    """,
    "Python code called from a native function": """
        import sys, threading
        from zandor_trader.gateways.cqg.wrapper import Ambrel
        released = threading.Event()
        class SlowOut:
            def write(self, text):
                released.wait()
            def flush(self):
                pass
        def park():
            sys.stdout = SlowOut()
            Ambrel.Trace("parked inside Trace's write")
        wake = released.set
    """,
}

COMMON = """
    import builtins, os, threading, time
    parked = threading.Event()
    def run():
        parked.set()
        park()
    threading.Thread(target=run, daemon=True).start()
    parked.wait()

    class WakeAtExit:
        # Torn down after the interpreter began to finalize: the parked thread wakes then.
        def __init__(self):
            self.wake, self.sleep, self.write = wake, time.sleep, os.write
        def __del__(self):
            self.wake()
            self.sleep(0.3)
            self.write(1, b"woken at exit\\n")
    builtins.wake_at_exit = WakeAtExit()
"""


# Made first, a sub-interpreter turns the interpreter's own "does this thread hold the GIL?"
# check into a yes for every thread, the woken one included.
SUBINTERPRETER = """
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        import _interpreters as interpreters
    interpreters.destroy(interpreters.create())
"""


@pytest.mark.parametrize("subinterpreter", [False, True], ids=["alone", "after a sub-interpreter"])
@pytest.mark.parametrize("case", CASES)
def test_exit_with_a_thread_parked_in(case, subinterpreter):
    source = (textwrap.dedent(SUBINTERPRETER) if subinterpreter else "") + textwrap.dedent(
        CASES[case]) + textwrap.dedent(COMMON)
    done = run_script(source, timeout=30)
    assert "terminate" not in done.stderr and "Fatal Python error" not in done.stderr
    assert (done.returncode, done.stdout.splitlines()[-1:]) == (0, ["woken at exit"]), done.stderr


def test_the_finalizing_thread_itself_may_still_wait():
    # Only other threads are ended: a finalizer of the main thread that waits gets its answer.
    done = run_script("""
        import builtins, os, win32event
        from zandor_trader.gateways.cqg.wrapper import Ambrel
        class WaitAtExit:
            def __init__(self):
                self.event = Ambrel.Ambrel().eventCELStarted
                self.handle = win32event.CreateEvent(None, True, False, None)
                self.wait, self.write = win32event.WaitForSingleObject, os.write
            def __del__(self):
                self.event.wait(0.05)
                self.wait(self.handle, 50)
                self.write(1, b"waited at exit\\n")
        builtins.wait_at_exit = WaitAtExit()
    """, timeout=30)
    assert (done.returncode, done.stdout) == (0, "waited at exit\n"), done.stderr


def test_a_sending_turn_that_its_holder_can_never_let_go_is_taken_over_at_exit():
    # The holder waits for good with the turn; a send from a finalizer at exit must not wait
    # for it (the holder is ended, or parked for good, when it next wants the GIL).
    done = run_script("""
        import builtins, os, threading
        from botapi import BotApiServer
        server = BotApiServer(token="1000:at-exit").__enter__()
        os.environ.update(ZANDOR_TELEGRAM_BASE_URL=server.base_url,
                          ZANDOR_TELEGRAM_TOKEN="1000:at-exit", ZANDOR_TELEGRAM_CHAT_ID="1",
                          ZANDOR_TRADER_CONFIG=os.devnull)
        for proxy in ("HTTPS_PROXY", "https_proxy"):
            os.environ.pop(proxy, None)
        import zandor_trader.plugins.telegram.bot as botmod
        bot = botmod.bot
        bot.updater.stop()  # no polling threads to keep the process alive; the pacer stays
        bot.pace_sends(chat_rate=0, total_rate=0)
        holding, never = threading.Event(), threading.Event()
        def send_message(chat_id, text):
            if not holding.is_set():
                holding.set()
                never.wait()
            os.write(1, f"sent at exit: {text}\\n".encode())
        object.__setattr__(bot.updater.bot, "send_message", send_message)
        threading.Thread(target=bot.send_message, args=("held", 1), daemon=True).start()
        holding.wait()

        class SendAtExit:
            def __init__(self):
                self.send = bot.send_message
            def __del__(self):
                self.send("bye", 1)
        builtins.send_at_exit = SendAtExit()
    """, timeout=30)
    assert (done.returncode, done.stdout) == (0, "sent at exit: bye\n"), done.stderr

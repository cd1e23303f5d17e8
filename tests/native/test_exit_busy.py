"""The process exits cleanly while a daemon thread is busy running Python code under one of the
modules' native frames: their calls, the handlers they run, the finalizers their references
set off (also while a call fails), the bridge's message pump. The interpreter ends such a
thread when it next wants the GIL during finalization (before 3.14 with a forced unwind
through every frame on its stack); that must never become std::terminate (exit code 134) nor
a reference dropped without the GIL, also once a sub-interpreter has existed (after which the
interpreter's own "do I hold the GIL?" check always answers yes)."""
import textwrap

import pytest

from .scripts import run_script

# What every case can use: spin() keeps the thread in Python code for a few milliseconds, so
# that it is there, under the native frame, when the interpreter finalizes.
PRELUDE = """
    import os, sys, threading, types
    def spin():
        for _ in range(30000):
            pass
    class Quiet:  # a standard output that takes lines and keeps nothing
        def write(self, text):
            return len(text)
        def flush(self):
            pass
"""

SUBINTERPRETER = """
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        import _interpreters as interpreters
    interpreters.destroy(interpreters.create())
"""

AMBREL = """
    from tests.ambrel import fakes
    fakes.ensure_type_library()
    from zandor_trader.gateways.cqg.wrapper import Ambrel
"""

VANTOR = AMBREL + """
    import win32com.client
    from zandor_trader.gateways.cqg.wrapper import vantor
    C = win32com.client.constants
"""

BOT = """
    from botapi import BotApiServer
    server = BotApiServer(token="1000:exit").__enter__()
    os.environ.update(ZANDOR_TELEGRAM_BASE_URL=server.base_url, ZANDOR_TELEGRAM_TOKEN="1000:exit",
                      ZANDOR_TELEGRAM_CHAT_ID="1", ZANDOR_TRADER_CONFIG=os.devnull)
    for proxy in ("HTTPS_PROXY", "https_proxy"):
        os.environ.pop(proxy, None)
    import zandor_trader.plugins.telegram.bot as botmod
    finish = botmod.bot.close  # its polling threads would keep the process alive
"""

BRIDGE = """
    import comsim, pythoncom, win32com.client
"""

# Each case (the module's set-up, then its own code) defines busy(), one unit of work that runs Python code under a native frame, and
# may define thread_setup(), run once on the busy thread first.
CASES = {
    # The environment module.
    "Trace writing": (AMBREL, """
        class Slow(Quiet):
            def write(self, text):
                spin()
        sys.stdout = Slow()
        def busy():
            Ambrel.Trace("busy")
    """),
    "Trace dropping the last reference to its output": (AMBREL, """
        class Out(Quiet):
            def write(self, text):
                sys.stdout = Out()  # Trace's reference is the last one left
            def __del__(self):
                spin()
        sys.stdout = Out()
        def busy():
            Ambrel.Trace("busy")
    """),
    "Trace failing and dropping its output": (AMBREL, """
        class Out(Quiet):
            def write(self, text):
                sys.stdout = Out()
                del self  # the error's traceback must not keep it: Trace holds the last one
                raise OSError("disk full")
            def __del__(self):
                spin()
        sys.stdout = Out()
        def busy():
            try:
                Ambrel.Trace("busy")
            except OSError:
                pass
    """),
    "AssertMessage's condition": (AMBREL, """
        class Condition:
            def __bool__(self):
                spin()
                return True
        def busy():
            Ambrel.AssertMessage(Condition(), "never raised")
    """),
    "internal sink's handler": (AMBREL, """
        sys.stdout = Quiet()
        class Environment(Ambrel.Ambrel):
            def SetError(self):
                spin()
        env = Environment()
        sink = Ambrel.SinkInternal()
        sink.Init(env.eventCELStarted, env)
        def busy():
            sink.OnDataError(None, "busy")
    """),
    "wait event's time-out": (AMBREL, """
        class Timeout:
            def __float__(self):
                spin()
                return 0.0
        event = Ambrel.Ambrel().eventCELStarted
        def busy():
            event.wait(Timeout())
    """),
    # The adapter module.
    "adapter's request": (VANTOR, """
        class Summary:
            def __getattr__(self, name):
                return lambda row: 1.0
        class Adapter(vantor.Vantor):
            def get_account_from_gwaccountid(self, GWAccountID):
                spin()
                return types.SimpleNamespace(Summary=Summary())
        adapter = Adapter()
        adapter.GWAccountID = 1
        def busy():
            adapter.update_account_balance()
    """),
    "adapter dropping the value it replaced": (VANTOR, """
        class Summary:
            def __getattr__(self, name):
                return lambda row: 1.0
        class Adapter(vantor.Vantor):
            def get_account_from_gwaccountid(self, GWAccountID):
                return types.SimpleNamespace(Summary=Summary())
        class Old:
            def __del__(self):
                spin()
        adapter = Adapter()
        adapter.GWAccountID = 1
        def busy():
            adapter.account_balance = Old()
            adapter.update_account_balance()
    """),
    "adapter failing and dropping what it read": (VANTOR, """
        class Position:
            InstrumentName, Side, Quantity, AveragePrice = "F.US.EPZ5", 99, 1, 1.0
            def __del__(self):
                spin()
        class Positions:
            Count = 1
            def ItemByIndex(self, index):
                return Position()
        class Account:
            Positions = Positions()
        class Gateway:
            def get_qt_security_from_cqg_symbol(self, symbol):
                return symbol
        class Adapter(vantor.Vantor):
            def get_account_from_gwaccountid(self, GWAccountID):
                return Account()
        adapter = Adapter()
        adapter.GWAccountID, adapter.gateway = 1, Gateway()
        def busy():
            try:
                adapter.update_positions()
            except ValueError:
                pass
    """),
    "adapter's event handler": (VANTOR, """
        sys.stdout = Quiet()
        class Account:
            GWAccountName = "SEVEN"
        class Position:
            AveragePrice = Quantity = OTE = ProfitLoss = 1
            @property
            def InstrumentName(self):
                spin()
                return "F.US.EPZ5"
        adapter = vantor.Vantor()
        def busy():
            adapter.OnAccountChanged(C.actPositionAdded, Account(), Position())
    """),
    "adapter's deallocator": (VANTOR, """
        class Old:
            def __del__(self):
                spin()
        def busy():
            adapter = vantor.Vantor()
            adapter.positions = Old()
            del adapter
    """),
    # The operator bot module.
    "bot's command handler": (BOT, """
        class Chat:
            id = 1
        class Update:
            effective_chat = Chat()
        class Bot:
            def __setattr__(self, name, value):
                spin()
                object.__setattr__(self, name, value)
            def send_message(self, chat_id, text):
                spin()
        class Context:
            bot, args = Bot(), []
        def busy():
            botmod.stop(Update(), Context())
    """),
    "bot's paced send": (BOT, """
        def send_message(**kwargs):
            spin()
        object.__setattr__(botmod.bot.updater.bot, "send_message", send_message)
        botmod.bot.pace_sends(chat_rate=0, total_rate=0)
        def busy():
            botmod.bot.send_message("busy", 1)
    """),
    "bot's request field": (BOT, """
        class Flag:
            def __bool__(self):
                spin()
                return True
        def busy():
            botmod.bot.get_balance = Flag()
    """),
    # The COM bridge stand-in.
    "posted call run by the pump": (BRIDGE, """
        def thread_setup():
            global component
            pythoncom.CoInitialize()
            component = win32com.client.Dispatch(object())
        def busy():
            comsim.post(component, spin)
            pythoncom.PumpWaitingMessages()
    """),
    "pump dropping a posted call's result": (BRIDGE, """
        class Result:
            def __del__(self):
                spin()
        def thread_setup():
            global component
            pythoncom.CoInitialize()
            component = win32com.client.Dispatch(object())
        def busy():
            comsim.post(component, Result)
            pythoncom.PumpWaitingMessages()
    """),
    "event delivered by the pump": (BRIDGE, """
        class Sink:
            def OnTick(self):
                spin()
        def thread_setup():
            global component, sink
            pythoncom.CoInitialize()
            component = type("Component", (), {})()
            sink = win32com.client.WithEvents(win32com.client.Dispatch(component), Sink)
        def busy():
            comsim.fire(component, "OnTick")
            pythoncom.PumpWaitingMessages()
    """),
    "event handler disconnecting its sink": (BRIDGE, """
        class Sink:
            def OnTick(self):
                comsim._core.disconnect(self)  # the delivery holds the last reference
            def __del__(self):
                spin()
        def thread_setup():
            global component
            pythoncom.CoInitialize()
            component = type("Component", (), {})()
        def busy():
            comsim._core.connect(win32com.client.Dispatch(component), Sink())
            comsim.fire(component, "OnTick")
            pythoncom.PumpWaitingMessages()
    """),
    "apartment closed with a component": (BRIDGE, """
        class Component:
            def __del__(self):
                spin()
        class Sink:
            pass
        def busy():
            pythoncom.CoInitialize()
            comsim._core.connect(win32com.client.Dispatch(Component()), Sink())  # the last one
            pythoncom.CoUninitialize()  # drops the apartment's connection points
    """),
    "member looked up by a name of Python's": (BRIDGE, """
        class Name(str):
            def __hash__(self):
                spin()
                return str.__hash__(self)
        def thread_setup():
            global wrapper
            wrapper = win32com.client.Dispatch(types.SimpleNamespace(Value=1))
        def busy():
            getattr(wrapper, Name("Value"))
    """),
}

POSTLUDE = """
    ran = threading.Event()
    def loop():
        if "thread_setup" in globals():
            thread_setup()
        while True:
            busy()
            ran.set()
    threading.Thread(target=loop, daemon=True).start()
    assert ran.wait(30), "the busy thread never got through its work once"
    if "finish" in globals():
        finish()
    os.write(1, b"exiting\\n")
"""

RUNS = 20  # of each case, with the marker `long`; the default run makes one


def script(case, subinterpreter):
    parts = [PRELUDE, SUBINTERPRETER if subinterpreter else "", *CASES[case], POSTLUDE]
    return "".join(textwrap.dedent(part) for part in parts)


@pytest.mark.parametrize("run", [1] + [pytest.param(n, marks=pytest.mark.long)
                                       for n in range(2, RUNS + 1)])
@pytest.mark.parametrize("subinterpreter", [False, True],
                         ids=["alone", "after a sub-interpreter"])
@pytest.mark.parametrize("case", CASES)
def test_exit_while_a_thread_runs_python_code_under(case, subinterpreter, run):
    done = run_script(script(case, subinterpreter), timeout=60)
    assert "terminate" not in done.stderr and "Fatal Python error" not in done.stderr, done.stderr
    assert (done.returncode, done.stdout.splitlines()[-1:]) == (0, ["exiting"]), done.stderr

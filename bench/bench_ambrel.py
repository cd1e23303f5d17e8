"""The environment module's per-call paths against plain-Python equivalents.

    python bench/run.py ambrel
"""
import sys
import threading
import timeit

import comsim
import pythoncom
import win32com.client
from benchlib import Row, median_seconds

TYPELIB = "{51F35562-AEB4-4AB3-99E8-AC9666344B64}"
try:  # the simulator registers the component's type library when it is installed
    win32com.client.gencache.EnsureModule(TYPELIB, 0, 4, 0)
except pythoncom.com_error:
    comsim.register_typelib(TYPELIB, 4, 0, {"tzChina": 9})

from zandor_trader.gateways.cqg.wrapper import Ambrel  # noqa: E402

CALLS = 100_000


class NullOut:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


class PySink:
    def OnOrderChanged(self, changeType, cqgOrder, oldProperties, cqgFill, cqgError):
        pass

    def OnIdle(self):
        pass


def py_trace(message):
    sys.stdout.write(str(threading.current_thread().ident) + ": " + message + "\n")
    sys.stdout.flush()


def per_call_ns(fn, repeat):
    return median_seconds(lambda: timeit.timeit(fn, number=CALLS), repeat) / CALLS * 1e9


def rows(repeat):
    sink, py_sink = Ambrel.CELSinkBase(), PySink()
    cases = [
        ("CELSinkBase handler, 5 positional args", lambda: sink.OnOrderChanged(1, 2, 3, 4, 5),
         lambda: py_sink.OnOrderChanged(1, 2, 3, 4, 5)),
        ("CELSinkBase handler, 5 keyword args",
         lambda: sink.OnOrderChanged(changeType=1, cqgOrder=2, oldProperties=3, cqgFill=4,
                                     cqgError=5),
         lambda: py_sink.OnOrderChanged(changeType=1, cqgOrder=2, oldProperties=3, cqgFill=4,
                                        cqgError=5)),
        ("CELSinkBase handler, no args", lambda: sink.OnIdle(), lambda: py_sink.OnIdle()),
    ]
    result = [Row(name, per_call_ns(ours, repeat), "the same def in a Python class",
                  per_call_ns(base, repeat), "ns/call", "not slower than Python")
              for name, ours, base in cases]
    saved, sys.stdout = sys.stdout, NullOut()
    try:
        ours = per_call_ns(lambda: Ambrel.Trace("Waiting for CQGCEL start.."), repeat)
        base = per_call_ns(lambda: py_trace("Waiting for CQGCEL start.."), repeat)
    finally:
        sys.stdout = saved
    result.append(Row("Trace, to a null stdout", ours, "str concat + write + flush in Python",
                      base, "ns/call", "not slower than Python"))
    return result

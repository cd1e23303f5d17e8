"""Per-call cost of the environment module's hot paths against plain-Python equivalents.

Run: PYTHONPATH=python:python/combridge python bench/bench_ambrel.py
Prints each case's time per call and its ratio to the baseline measured in the same run.
"""
import sys
import threading
import timeit

from zandor_trader.gateways.cqg.wrapper import Ambrel


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


def best(stmt, number, repeat=5):
    return min(timeit.repeat(stmt, number=number, repeat=repeat)) / number


def compare(label, ours, baseline, number):
    t_ours, t_base = best(ours, number), best(baseline, number)
    print(f"{label:<40} {t_ours * 1e9:8.1f} ns  baseline {t_base * 1e9:8.1f} ns  "
          f"ratio {t_ours / t_base:5.2f}")


def main():
    sink, py_sink = Ambrel.CELSinkBase(), PySink()
    compare("handler, 5 positional arguments",
            lambda: sink.OnOrderChanged(1, 2, 3, 4, 5),
            lambda: py_sink.OnOrderChanged(1, 2, 3, 4, 5), 200_000)
    compare("handler, 5 keyword arguments",
            lambda: sink.OnOrderChanged(changeType=1, cqgOrder=2, oldProperties=3,
                                        cqgFill=4, cqgError=5),
            lambda: py_sink.OnOrderChanged(changeType=1, cqgOrder=2, oldProperties=3,
                                           cqgFill=4, cqgError=5), 200_000)
    compare("handler, no arguments", lambda: sink.OnIdle(), lambda: py_sink.OnIdle(), 200_000)
    saved, sys.stdout = sys.stdout, NullOut()
    try:
        ours = lambda: Ambrel.Trace("Waiting for CQGCEL start..")  # noqa: E731
        base = lambda: py_trace("Waiting for CQGCEL start..")  # noqa: E731
        t_ours, t_base = best(ours, 100_000), best(base, 100_000)
    finally:
        sys.stdout = saved
    print(f"{'Trace to a null stdout':<40} {t_ours * 1e9:8.1f} ns  baseline {t_base * 1e9:8.1f} ns  "
          f"ratio {t_ours / t_base:5.2f}")


if __name__ == "__main__":
    main()

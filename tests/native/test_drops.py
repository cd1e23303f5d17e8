"""References a call drops while it fails: their finalizers run (never while the error
unwinds, so that they too may be interrupted) by the time the call has returned, and the
error the caller gets is the call's own."""
import sys
import threading

import pytest

from tests.ambrel import fakes


class Finalized:
    """Counts the objects of it that were finalized, and on which threads."""

    def __init__(self, seen):
        self.seen = seen

    def __del__(self):
        self.seen.append(threading.get_ident())


class FailingOut:
    """A standard output that refuses to write, leaving the failing call the last reference
    to itself (the call holds the stream across its write)."""

    def __init__(self, seen):
        self.marker = Finalized(seen)

    def write(self, text):
        sys.stdout = sys.__stdout__
        del self  # the error's traceback must not keep it
        raise OSError("no space left")

    def flush(self):
        pass


@pytest.fixture
def Ambrel():
    fakes.ensure_type_library()
    from zandor_trader.gateways.cqg.wrapper import Ambrel as module
    return module


def test_the_output_a_failing_trace_let_go_is_finalized_before_it_returns(Ambrel, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "stdout", FailingOut(seen))
    with pytest.raises(OSError, match="no space left") as info:
        Ambrel.Trace("never written")
    assert seen == [threading.get_ident()]
    assert info.value.__context__ is None  # nothing the finalizer did is chained to it


def test_many_values_a_failing_call_let_go_are_all_finalized(Ambrel, monkeypatch):
    # dumpBar reads nine properties of a bar, then fails to trace them: more values are left
    # to drop while the error unwinds than a thread keeps without making room.
    from zandor_trader.gateways.cqg.wrapper import vantor

    seen = []

    class Bar:
        def __getattr__(self, name):
            return Finalized(seen)

    monkeypatch.setattr(sys, "stdout", FailingOut([]))
    with pytest.raises(OSError, match="no space left"):
        vantor.Vantor().dumpBar(Bar(), 0)
    assert seen == [threading.get_ident()] * 9
    seen.clear()
    # And the next call does not find any of them again.
    monkeypatch.setattr(sys, "stdout", FailingOut([]))
    with pytest.raises(OSError):
        vantor.Vantor().dumpBar(Bar(), 1)
    assert len(seen) == 9

"""Ctrl-C and SIGTERM by the session's phase: queued for the running engine, which decides;
cutting the start-up or the wait for the last replies short; nothing while the parts close."""
import signal
import types

import pytest

from zandor_trader.app.interrupts import (
    CLOSING, LAST_REPLIES, RUNNING, STARTING, TERMINATED_BY_SIGNAL, Interrupts)


def interrupts(phase):
    told = []
    engine = types.SimpleNamespace(interrupt=lambda: told.append("interrupt"),
                                   request_stop=lambda reason: told.append(reason))
    return Interrupts(lambda: phase, lambda: engine), told


def test_while_the_engine_runs_a_signal_is_only_queued_for_it():
    handler, told = interrupts(RUNNING)
    handler._handle(signal.SIGINT, None)
    handler._handle(signal.SIGINT, None)  # the engine decides whether this one ends it
    handler._handle(signal.SIGTERM, None)
    assert told == ["interrupt", "interrupt", TERMINATED_BY_SIGNAL]


@pytest.mark.parametrize("phase", [STARTING, LAST_REPLIES])
def test_the_start_up_and_the_wait_for_the_last_replies_are_cut_short(phase):
    handler, told = interrupts(phase)
    with pytest.raises(KeyboardInterrupt):
        handler._handle(signal.SIGINT, None)
    assert told == []


def test_while_the_parts_close_nothing_is_cut_short():
    handler, told = interrupts(CLOSING)
    handler._handle(signal.SIGINT, None)
    handler._handle(signal.SIGTERM, None)
    assert told == []


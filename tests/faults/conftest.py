"""The adapter in its environment against the simulated component, as in the adapter's own
tests, plus what the fault runs share."""
import contextlib
import threading

import pytest

import cqgsim
from zandor_trader.gateways.cqg.wrapper import vantor

from tests.vantor.conftest import ES, NQ, Session, eventually  # noqa: F401
from tests.vantor.conftest import traces as traces_of  # noqa: F401
from tests.vantor.conftest import gateway, out  # noqa: F401  (fixtures)
from tests.threads import threads_left

# The bound of a request meant to go unanswered; a dropped answer costs this much.
SHORT = 0.2


@contextlib.contextmanager
def unanswered(seconds=SHORT):
    """Requests made inside wait at most `seconds`. Only around requests meant to go
    unanswered: one that is answered may take longer on a busy or instrumented run."""
    saved = vantor.TIMEOUT
    vantor.TIMEOUT = seconds
    try:
        yield
    finally:
        vantor.TIMEOUT = saved


@pytest.fixture
def no_threads_left():
    """Fails when a test leaves a thread of its own running."""
    before = set(threading.enumerate())
    yield
    assert threads_left(before) == []


@pytest.fixture
def sessions(gateway, no_threads_left):
    """Starts simulated sessions (configured by keyword) and shuts down every one left."""
    made = []

    def start(**config):
        cqgsim.reset()
        if config:
            cqgsim.configure(**config)
        made.append(Session(gateway))
        return made[-1]

    yield start
    for s in made:
        if s.env.thread.is_alive():
            s.env.Shutdown()
        assert s.sim.errors == []
    cqgsim.reset()


@pytest.fixture
def online(sessions):
    s = sessions()
    s.adapter.Logon("trader", "secret")
    return s


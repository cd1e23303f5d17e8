"""Fixtures for the adapter: a scripted component on the test thread, and the simulated
component hosted by the environment as the gateway uses it."""
import types

import pytest
import win32com.client

import cqgsim
from zandor_trader.core.constants import Exchange
from zandor_trader.core.security import Security
from zandor_trader.gateways.cqg.gateway import CqgGateway
from zandor_trader.gateways.cqg.wrapper import Ambrel, vantor
from tests.waiting import DEADLINE, eventually  # noqa: F401  (re-exported)

from . import fakes

ES = Security("ES", Exchange.CME)
NQ = Security("NQ", Exchange.CME)
C = win32com.client.constants
wrap = win32com.client.Dispatch


def traces(text):
    """The messages of the Trace lines in captured output."""
    out = []
    for line in text.splitlines():
        head, sep, rest = line.partition(": ")
        if sep and head.isdigit():
            out.append(rest)
    return out


class Output:
    """Everything written to standard output so far, kept across reads of capsys."""

    def __init__(self, capsys):
        self._capsys, self.text = capsys, ""

    def read(self):
        self.text += self._capsys.readouterr().out
        return self.text

    def traces(self):
        return traces(self.read())

    def take(self):
        """The output since the last take()."""
        self.read()
        text, self.text = self.text, ""
        return text


@pytest.fixture
def out(capsys):
    return Output(capsys)


@pytest.fixture
def short_timeout(monkeypatch):
    """Waits that are meant to run out do so at once."""
    monkeypatch.setattr(vantor, "TIMEOUT", 0.05)


@pytest.fixture
def gateway():
    return CqgGateway({"EPZ5": ES, "ENQZ5": NQ})


@pytest.fixture
def unit(gateway):
    """An adapter bound to a scripted component, driven on the test thread."""
    component = fakes.Component()
    gateway.ambrel = types.SimpleNamespace(cqgCEL=wrap(component))
    adapter = vantor.Vantor()
    adapter.Init(gateway)
    return types.SimpleNamespace(adapter=adapter, cel=component, gateway=gateway)


class Session:
    """The simulated component in the environment, with the adapter as its sink."""

    def __init__(self, gateway):
        self.gateway = gateway
        self.env = Ambrel.Ambrel()
        self.adapter = self.env.Init(vantor.Vantor, None)
        gateway.ambrel = self.env
        self.adapter.Init(gateway)
        self.sim = cqgsim.latest()

    def close(self):
        self.env.Shutdown()
        assert self.sim.errors == []


@pytest.fixture
def session(gateway):
    cqgsim.reset()
    s = Session(gateway)
    yield s
    s.close()
    cqgsim.reset()


@pytest.fixture
def online(session):
    session.adapter.Logon("trader", "secret")
    return session

"""Interfaces handed to another thread through a stream: every use runs on the owner."""
import threading

import pytest

import pythoncom
import win32com.client

import comsim
from tests.bridge import components
from tests.bridge.worker import ApartmentThread, eventually

RPC_E_DISCONNECTED = -2147417848
RPC_E_WRONG_THREAD = -2147417842


def component_setup():
    components.register()
    comp = win32com.client.Dispatch("Bridge.Test")
    return {"comp": comp, "target": components.Component.created[-1]}


def test_a_stream_yields_one_bare_interface():
    with ApartmentThread(component_setup) as apt:
        stream = apt._streams["comp"]
        bare = pythoncom.CoGetInterfaceAndReleaseStream(stream, pythoncom.IID_IDispatch)
        assert isinstance(bare, pythoncom.PyIDispatch)
        with pytest.raises(AttributeError):
            bare.Name  # a bare interface must be wrapped first
        with pytest.raises(pythoncom.com_error):
            pythoncom.CoGetInterfaceAndReleaseStream(stream, pythoncom.IID_IDispatch)


def test_every_use_of_a_proxy_runs_on_the_owner_thread():
    with ApartmentThread(component_setup) as apt:
        comp = apt.proxy("comp")
        assert comp.Where() == apt.ident
        comp.Name = "set from afar"
        assert comp.name == "set from afar"
        quote = comp.Item(2)  # objects obtained through a proxy are proxies too
        assert quote.Price == 12.0 and "proxy" in repr(quote)
        assert [q.Price for q in comp] == [1.0, 2.0]
        assert len(comp) == 3 and comp.Properties(2).Value == 42
        assert apt.objects["target"].threads == [apt.ident]
        with pytest.raises(pythoncom.com_error) as e:
            comp.Fail()
        assert e.value.excepinfo[2] == "refused by the component"


def test_a_thread_without_an_apartment_can_use_a_proxy():
    with ApartmentThread(component_setup) as apt:
        comp = apt.proxy("comp")
        seen = []
        t = threading.Thread(target=lambda: seen.append(comp.Where()))
        t.start()
        t.join(10)
        assert seen == [apt.ident]


def test_the_caller_releases_the_gil_while_it_waits():
    # The owner's method needs a third thread (which needs the GIL) before it can return.
    released = threading.Event()

    def wait_for_helper():
        threading.Thread(target=released.set).start()
        return released.wait(10)

    with ApartmentThread(component_setup) as apt:
        comp = apt.proxy("comp")
        assert comsim.call(comp, wait_for_helper) is True


def test_a_plain_wrapper_refuses_other_threads():
    with ApartmentThread(component_setup) as apt:
        with pytest.raises(pythoncom.com_error) as e:
            apt.objects["comp"].Name
        assert e.value.hresult == RPC_E_WRONG_THREAD


def test_calls_fail_at_once_when_the_apartment_is_gone():
    blocker = threading.Event()

    def leave_when_told():
        blocker.wait(10)
        pythoncom.CoUninitialize()  # the owner leaves COM with a call still queued

    with ApartmentThread(component_setup) as apt:
        comp = apt.proxy("comp")
        comsim.post(comp, leave_when_told)
        outcome = []
        caller = threading.Thread(target=lambda: _try(outcome, lambda: comp.Name))
        caller.start()
        eventually(lambda: comsim.stats()["pending_calls"] == 2)  # the blocker and the call
        blocker.set()
        caller.join(10)
        assert outcome == [RPC_E_DISCONNECTED]
    with pytest.raises(pythoncom.com_error) as e:
        comp.Name
    assert e.value.hresult == RPC_E_DISCONNECTED
    assert comsim.stats()["pending_calls"] == 0


def _try(outcome, fn):
    try:
        fn()
        outcome.append("ok")
    except pythoncom.com_error as e:
        outcome.append(e.hresult)


class Counted:
    """A collection that records the thread each of its items is taken on."""

    def __init__(self):
        self.threads = []

    def __iter__(self):
        for price in (1.0, 2.0):
            self.threads.append(threading.get_ident())
            yield components.Quote(price)


def test_an_enumerator_runs_on_its_collections_thread():
    def setup():
        counted, plain = Counted(), Counted()
        return {"coll": win32com.client.Dispatch(counted), "counted": counted,
                "plain_iter": iter(win32com.client.Dispatch(plain)), "plain": plain}

    with ApartmentThread(setup) as apt:
        proxy = apt.proxy("coll")
        # An enumerator made on the owner thread from a proxy: its items come from there.
        items = comsim.call(proxy, iter, proxy)
        assert [q.Price for q in items] == [1.0, 2.0]
        assert apt.objects["counted"].threads == [apt.ident] * 2
        # A plain one refuses other threads, as every plain wrapper does.
        with pytest.raises(pythoncom.com_error) as e:
            next(apt.objects["plain_iter"])
        assert e.value.hresult == RPC_E_WRONG_THREAD and apt.objects["plain"].threads == []


def test_wrapped_keyword_arguments_of_a_proxy_call_reach_the_component_unwrapped():
    with ApartmentThread(component_setup) as apt:
        comp = apt.proxy("comp")
        assert comp.Take(obj=comp.Item(0)) is True

"""Event objects, waits on handles and on the thread's queue, quit messages."""
import gc
import threading

import pytest

import pythoncom
import pywintypes
import win32api
import win32con
import win32event

import comsim
from tests.bridge import components
from tests.bridge.worker import ApartmentThread

WAIT_OBJECT_0 = win32event.WAIT_OBJECT_0
WAIT_TIMEOUT = win32event.WAIT_TIMEOUT


def msg_wait(handles, timeout=0):
    return win32event.MsgWaitForMultipleObjects(handles, 0, timeout, win32event.QS_ALLEVENTS)


def test_wait_results_handles_first_then_messages_then_time_out():
    pythoncom.PumpWaitingMessages()  # start from an empty queue
    a = win32event.CreateEvent(None, 0, 0, None)  # auto-reset
    b = win32event.CreateEvent(None, 1, 0, None)  # manual-reset
    assert msg_wait([a, b]) == WAIT_TIMEOUT
    win32event.SetEvent(b)
    win32api.PostThreadMessage(win32api.GetCurrentThreadId(), win32con.WM_USER, 0, 0)
    assert msg_wait([a, b]) == WAIT_OBJECT_0 + 1  # a signalled handle wins over messages
    assert msg_wait([a, b]) == WAIT_OBJECT_0 + 1  # manual reset: still set
    win32event.ResetEvent(b)
    assert msg_wait([a, b]) == WAIT_OBJECT_0 + 2  # the queued message
    assert pythoncom.PumpWaitingMessages() == 0
    assert msg_wait([a, b]) == WAIT_TIMEOUT
    win32event.SetEvent(a)
    assert win32event.WaitForSingleObject(a, 0) == WAIT_OBJECT_0
    assert win32event.WaitForSingleObject(a, 0) == WAIT_TIMEOUT  # consumed by the wait


def test_a_blocked_wait_wakes_when_the_event_is_set_from_another_thread():
    ev = win32event.CreateEvent(None, 0, 0, None)
    results = []
    waiter = threading.Thread(
        target=lambda: results.append(win32event.WaitForSingleObject(ev, win32event.INFINITE)))
    waiter.start()
    win32event.SetEvent(ev)
    waiter.join(10)
    assert results == [WAIT_OBJECT_0]


def test_quit_ends_the_pump_and_leaves_later_messages_queued():
    pythoncom.PumpWaitingMessages()
    me = win32api.GetCurrentThreadId()
    win32api.PostQuitMessage(0)
    win32api.PostThreadMessage(me, win32con.WM_USER, 0, 0)
    assert pythoncom.PumpWaitingMessages() == 1
    assert msg_wait([]) == WAIT_OBJECT_0  # the message behind the quit is still there
    assert pythoncom.PumpWaitingMessages() == 0


def test_a_quit_posted_to_another_thread_ends_its_pump():
    def setup():
        components.register()
        import win32com.client
        return {"comp": win32com.client.Dispatch("Bridge.Test")}

    apt = ApartmentThread(setup)
    with apt:
        comp = apt.proxy("comp")
        tid = comsim.call(comp, win32api.GetCurrentThreadId)
        win32api.PostThreadMessage(tid, win32con.WM_QUIT, 0, 0)
        apt.thread.join(10)
        assert not apt.thread.is_alive()
    with pytest.raises(pywintypes.error):
        win32api.PostThreadMessage(tid, win32con.WM_QUIT, 0, 0)  # that thread is gone


def test_an_apartment_cycle_leaves_nothing_behind():
    gc.collect()  # objects of earlier tests held in cycles
    before = comsim.stats()

    def setup():
        components.register()
        import win32com.client
        comp = win32com.client.Dispatch("Bridge.Test")
        return {"comp": comp, "sink": win32com.client.WithEvents(comp, object)}

    with ApartmentThread(setup) as apt:
        comp = apt.proxy("comp")
        assert [q.Price for q in comp] == [1.0, 2.0]
        during = comsim.stats()
        assert during["connected_sinks"] == before["connected_sinks"] + 1
        del comp
    gc.collect()
    assert comsim.stats() == before


def test_a_wait_for_no_handle_is_refused_rather_than_endless():
    with pytest.raises(pywintypes.error) as e:
        win32event.WaitForMultipleObjects([], False, win32event.INFINITE)
    assert e.value.winerror == 87  # ERROR_INVALID_PARAMETER

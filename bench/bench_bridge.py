"""COM-bridge stand-in: a proxy round trip and event delivery.

A proxy round trip (a member read executed on the owner thread while it pumps) is compared
with the floor, a bare C++ condition-variable ping-pong between two threads, and with the
same hand-off written in Python with queue.Queue and threading.Event. Event delivery is the
rate at which fired events reach a no-op Python handler.
"""
import queue
import statistics
import threading

import pythoncom
import win32com.client
import win32event

import comsim
from benchlib import Row, median_seconds, timed

N_CALLS = 20_000
N_EVENTS = 200_000


class Target:
    created = []  # instances, newest last: events are fired at the component's own object

    def __init__(self):
        self.Value = 1
        Target.created.append(self)


class NoOpSink:
    def OnTick(self, price, volume):
        pass


def _owner(ready, box, stop):
    pythoncom.CoInitialize()
    comsim.register_component("Bench.Target", Target, None)
    comp = win32com.client.Dispatch("Bench.Target")
    box["stream"] = pythoncom.CoMarshalInterThreadInterfaceInStream(pythoncom.IID_IDispatch, comp)
    ready.set()
    while True:
        rc = win32event.MsgWaitForMultipleObjects([stop], 0, win32event.INFINITE,
                                                  win32event.QS_ALLEVENTS)
        if rc == win32event.WAIT_OBJECT_0 or pythoncom.PumpWaitingMessages():
            break
    del comp
    pythoncom.CoUninitialize()


class ProxyRoundTrip:
    """A member read through a proxy, executed by an owner thread that pumps."""

    def __enter__(self):
        ready, box = threading.Event(), {}
        self.stop = win32event.CreateEvent(None, 0, 0, None)
        self.owner = threading.Thread(target=_owner, args=(ready, box, self.stop))
        self.owner.start()
        ready.wait()
        self.proxy = win32com.client.Dispatch(
            pythoncom.CoGetInterfaceAndReleaseStream(box["stream"], pythoncom.IID_IDispatch))
        return self

    def __exit__(self, *exc):
        win32event.SetEvent(self.stop)
        self.owner.join()

    def seconds(self):
        proxy = self.proxy
        return timed(lambda: [proxy.Value for _ in range(N_CALLS)])


class PythonHandOff:
    """The same request/answer hand-off written with queue.Queue and threading.Event."""

    def __enter__(self):
        self.requests, self.stop = queue.Queue(), object()
        self.server = threading.Thread(target=self._serve)
        self.server.start()
        return self

    def _serve(self):
        while True:
            item = self.requests.get()
            if item is self.stop:
                return
            done, box = item
            box.append(1)
            done.set()

    def __exit__(self, *exc):
        self.requests.put(self.stop)
        self.server.join()

    def seconds(self):
        def calls():
            for _ in range(N_CALLS):
                done, box = threading.Event(), []
                self.requests.put((done, box))
                done.wait()
        return timed(calls)


def round_trips_us(repeat):
    """Floor, proxy and Python hand-off, measured in turn within each repetition."""
    samples = {"floor": [], "proxy": [], "python": []}
    with ProxyRoundTrip() as proxy, PythonHandOff() as python:
        for _ in range(repeat):
            samples["floor"].append(comsim.pingpong_floor(N_CALLS))
            samples["proxy"].append(proxy.seconds())
            samples["python"].append(python.seconds())
    return {k: statistics.median(v) / N_CALLS * 1e6 for k, v in samples.items()}


def events_per_second(repeat):
    comsim.register_component("Bench.Target", Target, None)
    comp = win32com.client.Dispatch("Bench.Target")
    sink = win32com.client.WithEvents(comp, NoOpSink)
    component = Target.created[-1]
    fire, pump = comsim.fire, pythoncom.PumpWaitingMessages

    def run():
        for i in range(N_EVENTS):
            fire(component, "OnTick", 1.0, i)
        return timed(pump)

    seconds = median_seconds(run, repeat)
    sink.close()
    return N_EVENTS / seconds


def rows(repeat=5):
    us = round_trips_us(repeat)
    floor, proxy, python = us["floor"], us["proxy"], us["python"]
    rate = events_per_second(repeat)
    return [
        Row("bridge: proxy round trip", proxy, "C++ condvar ping-pong (floor)", floor,
            "us/call", "ratio <= 3"),
        Row("bridge: proxy round trip", proxy, "Python queue+Event hand-off", python,
            "us/call", "ratio <= 0.5"),
        Row("bridge: events to a no-op handler", rate / 1e3, "goal 300k events/s", 300.0,
            "k events/s", "ratio >= 1", higher_is_better=True),
    ]


if __name__ == "__main__":
    from benchlib import print_table
    print_table(rows())

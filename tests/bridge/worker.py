"""A thread that owns an apartment and pumps its messages, as a component's host thread does."""
import threading

import pythoncom
import win32com.client
import win32event

from tests.waiting import eventually  # noqa: F401  (re-exported)


class ApartmentThread:
    """Runs ``setup()`` inside a fresh apartment on its own thread, then pumps until stopped.

    ``setup`` returns a dict of objects; each wrapper in it is also marshalled, so that
    ``proxy(name)`` gives the calling thread a proxy for it.
    """

    def __init__(self, setup, timeout=10):
        self._setup = setup
        self._timeout = timeout
        self._ready = threading.Event()
        self._stop = win32event.CreateEvent(None, 0, 0, None)
        self.objects = {}
        self._streams = {}
        self.error = None
        self.thread = threading.Thread(target=self._run, name="apartment")

    def __enter__(self):
        self.thread.start()
        assert self._ready.wait(self._timeout), "apartment thread did not start"
        if self.error:
            raise self.error
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        if self.thread.is_alive():
            win32event.SetEvent(self._stop)
            self.thread.join(self._timeout)
            assert not self.thread.is_alive(), "apartment thread did not end"

    def proxy(self, name):
        stream = self._streams.pop(name)
        return win32com.client.Dispatch(
            pythoncom.CoGetInterfaceAndReleaseStream(stream, pythoncom.IID_IDispatch))

    def _run(self):
        pythoncom.CoInitialize()
        try:
            self.ident = threading.get_ident()
            try:
                self.objects = self._setup()
                for name, obj in self.objects.items():
                    if isinstance(obj, win32com.client.CDispatch):
                        self._streams[name] = pythoncom.CoMarshalInterThreadInterfaceInStream(
                            pythoncom.IID_IDispatch, obj)
            except Exception as e:  # reported to the test thread
                self.error = e
                return
            finally:
                self._ready.set()
            while True:
                rc = win32event.MsgWaitForMultipleObjects(
                    [self._stop], 0, win32event.INFINITE, win32event.QS_ALLEVENTS)
                if rc == win32event.WAIT_OBJECT_0 or pythoncom.PumpWaitingMessages():
                    break
        finally:
            self.objects = {}
            pythoncom.CoUninitialize()


"""Runs the component's state changes one at a time on its thread, each after the events of
the one before have been delivered.

Events are queued to the component's thread and delivered when it pumps, so a handler reads
the component's state at delivery, not at firing. Keeping a single run request queued behind
the events of the step that fired them means no later step changes that state first.
"""
import collections
import sys
import threading
import traceback


class Sequencer:
    def __init__(self, post, on_error):
        self._post = post  # queues a call to the component's thread; never blocks; False or
        # an error when that thread is gone
        self._on_error = on_error
        self._lock = threading.Lock()
        self._steps = collections.deque()  # guarded by _lock
        self._scheduled = False  # a _run is queued or running; guarded by _lock
        self._closed = False  # guarded by _lock
        self.fired = False  # component thread only: the running step fired an event
        self._next = []  # component thread only: steps to run right after the running one

    def submit(self, fn, *args) -> bool:
        """Queues ``fn(*args)`` behind every earlier step; any thread. False once closed."""
        with self._lock:
            if self._closed:
                return False
            self._steps.append((fn, args))
            if self._scheduled:
                return True
            self._scheduled = True
        try:
            posted = self._post(self._run) is not False
        except BaseException:
            posted = False
        if not posted:  # the component's thread is gone: nothing will run any more
            self.close()
            return False
        return True

    def then(self, fn, *args) -> None:
        """From inside a running step: ``fn(*args)`` runs right after it, before any step
        queued earlier; several run in the order given."""
        self._next.append((fn, args))

    def close(self) -> None:
        """Drops pending steps and refuses new ones."""
        with self._lock:
            self._closed = True
            self._steps.clear()

    def pending(self) -> int:
        with self._lock:
            return len(self._steps)

    def _run(self) -> None:
        # Steps that fire nothing run back to back; one that fires ends this turn.
        self.fired = False
        while not self.fired:
            with self._lock:
                if not self._steps:
                    self._scheduled = False
                    return
                fn, args = self._steps.popleft()
            self._next = []
            try:
                fn(*args)
            except Exception as exc:  # a fault of the simulator: report it, keep going
                print("cqgsim: a simulation step failed", file=sys.stderr)
                traceback.print_exc()
                self._on_error(exc)
            if self._next:
                with self._lock:
                    if not self._closed:
                        self._steps.extendleft(reversed(self._next))
                self._next = []
        with self._lock:
            if not self._steps:
                self._scheduled = False
                return
        self._post(self._run)

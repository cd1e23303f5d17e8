"""Outbox: the engine's messages to the operator, sent in order on a thread of their own.

Sending to the chat can be slow (Telegram's round trip, its flood control) or fail for a while
(network). Neither may hold up the thread that drives the gateway, and no message may be lost
to a transient failure: a message leaves the queue only once it is sent, a failed send is tried
again after a growing pause (woken at once by close), and messages keep their order. A message
still unsent when the outbox closes is reported on a printed line, never dropped silently.
"""
import itertools
import threading
import time
import traceback
from collections import deque
from dataclasses import dataclass
from functools import partial
from typing import Callable, Deque, List, Optional, Protocol

FIRST_RETRY = 0.5   # seconds before a failed send is tried again; doubled up to LAST_RETRY
LAST_RETRY = 30.0
CLOSE_GRACE = 10.0  # seconds close() gives the messages still queued, plus PER_QUEUED each
PER_QUEUED = 1.0  # Telegram takes about one message a second to a chat
CLOSE_GRACE_MAX = 120.0
REPEAT_MARK = "(repeat) "  # before a reply sent again: its delivery was never confirmed


class Listener(Protocol):
    """Told of each reply as it is queued and once its delivery is confirmed (times are
    time.time(); ids unique within the outbox, from 1)."""

    def reply_queued(self, reply_id: int, text: str, due: float) -> None: ...

    def reply_delivered(self, reply_id: int, when: float) -> None: ...


@dataclass
class _Message:
    text: str
    on_sent: Optional[Callable[[], None]] = None
    reply_id: int = 0
    send: Optional[Callable[[], object]] = None  # another kind (a photo): sends itself


class Outbox:
    """Sends each queued text with `send(text)`; `on_sent` (given with a message) runs once that
    message is sent; `log` takes the outbox's notices (one line each)."""

    def __init__(self, send: Callable[[str], None], log: Callable[[str], None] = print,
                 on_sent: Optional[Callable[[str], None]] = None,
                 first_retry: float = FIRST_RETRY, last_retry: float = LAST_RETRY,
                 listener: Optional[Listener] = None):
        self._send = send
        self._listener = listener
        self._ids = itertools.count(1)
        self._log = log
        self._on_any_sent = on_sent
        self._first_retry = first_retry
        self._last_retry = last_retry
        self._cond = threading.Condition()  # guards the members below
        self._queue: Deque[_Message] = deque()
        self._closing = False
        self._thread = threading.Thread(target=self._run, name="outbox", daemon=True)
        self.sent = 0  # messages sent; read by anyone, written by the outbox's thread
        self.failures = 0  # failed attempts

    def start(self) -> "Outbox":
        self._thread.start()
        return self

    def put(self, text: str, on_sent: Optional[Callable[[], None]] = None,
            send: Optional[Callable[[], object]] = None, *, repeat: bool = False) -> int:
        """Any thread: queues `text` and returns its id at once (0: not queued, the outbox is
        closing). `repeat` marks it as a reply sent once more. A message of another kind (a
        photo) comes with its own `send`, called in its turn instead of the outbox's; `text`
        then names it in the outbox's notices and the journal."""
        if repeat:
            text = REPEAT_MARK + text
        with self._cond:
            if self._closing:
                self._log(f"Not sent to the operator (the session is closing): {_first_line(text)}")
                return 0
            reply_id = next(self._ids)
            if self._listener is not None:  # told in queueing order, before it can be sent
                self._listener.reply_queued(reply_id, text, time.time())
            self._queue.append(_Message(text, on_sent, reply_id, send))
            self._cond.notify_all()
        return reply_id

    def pending(self) -> int:
        with self._cond:
            return len(self._queue)

    def flush(self, timeout: Optional[float] = None) -> bool:
        """Waits until every message queued so far is sent (at most `timeout` seconds);
        tells whether the queue is empty."""
        with self._cond:
            return self._cond.wait_for(lambda: not self._queue, timeout)

    def close(self, grace: Optional[float] = None) -> List[str]:
        """Gives the queued messages `grace` seconds to go out (by default time for a paced
        backlog: CLOSE_GRACE and PER_QUEUED a message, CLOSE_GRACE_MAX at most), then ends the
        thread and returns (and reports) those that did not."""
        if grace is None:
            grace = min(CLOSE_GRACE + PER_QUEUED * self.pending(), CLOSE_GRACE_MAX)
        self.flush(grace if self._thread.is_alive() else 0)
        with self._cond:
            self._closing = True
            self._cond.notify_all()
        if self._thread.ident is not None:
            self._thread.join()
        with self._cond:
            lost = [m.text for m in self._queue]
            self._queue.clear()
            self._cond.notify_all()
        for text in lost:
            self._log(f"Not delivered to the operator: {_first_line(text)}")
        return lost

    # -- the outbox's thread ----------------------------------------------------------------
    def _run(self) -> None:
        pause = self._first_retry
        while True:
            with self._cond:
                self._cond.wait_for(lambda: self._queue or self._closing)
                if self._closing:
                    return
                message = self._queue[0]
            try:
                if message.send is not None:
                    message.send()
                else:
                    self._send(message.text)
            except Exception as exc:  # kept at the head of the queue and tried again
                self.failures += 1
                self._log(f"Sending to the operator failed, trying again in {pause:g} s: "
                          f"{type(exc).__name__}: {exc}")
                with self._cond:
                    if self._cond.wait_for(lambda: self._closing, pause):
                        return
                pause = min(pause * 2, self._last_retry)
                continue
            pause = self._first_retry
            self.sent += 1
            if self._listener is not None:
                try:
                    self._listener.reply_delivered(message.reply_id, time.time())
                except Exception:  # the record's fault must not stop the messages behind it
                    self._log(f"Recording a delivery:\n{traceback.format_exc().rstrip()}")
            with self._cond:
                self._queue.popleft()
                self._cond.notify_all()
            self._after_sent(message)

    def _after_sent(self, message: _Message) -> None:
        for hook in (message.on_sent, self._on_any_sent and partial(self._on_any_sent, message.text)):
            if not hook:
                continue
            try:
                hook()
            except Exception:  # a hook's fault must not stop the messages behind it
                self._log(f"After sending to the operator:\n{traceback.format_exc().rstrip()}")


def _first_line(text: str) -> str:
    head = text.split("\n", 1)[0]
    return head if len(head) <= 120 else head[:117] + "..."

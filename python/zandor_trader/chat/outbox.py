"""Outbox: the engine's replies to the operator, sent in order on a thread of their own.

Sending to the chat can be slow (Telegram's round trip, its flood control) or fail for a while
(network). Neither may hold up the thread that drives the gateway, and no reply may be lost or
arrive twice because of it:
- a reply is cut into the pieces the bot sends as one message each (`pieces`), and each piece
  is sent once: after a failure only what is missing goes again, never what arrived;
- Telegram's "retry after N" is waited out as asked; other failures are tried again after a
  growing pause; every wait ends at once when the outbox closes;
- a send that timed out may have arrived all the same: it is sent once more, marked
  "(repeat)", and not again after that;
- a piece that goes out more than 30 s after its reply was due says "(delayed N s)";
- replies keep their order; what is still unsent when the outbox closes is named on a
  printed line, never dropped silently;
- a message of another kind (a photo) comes with its own send function: it is one piece, never
  cut, sent in its turn and tried again like a text (its marks cannot go on the picture); so
  do the edits of a question and the answers to the buttons pressed (the latter are no
  replies: the listener does not hear of them).
"""
import itertools
import threading
import time
import traceback
from collections import deque
from typing import Callable, Deque, List, Optional, Protocol, Tuple

from telegram.error import TimedOut

from zandor_trader.chat.pieces import (
    MAX_MESSAGE_UNITS, REPEAT_MARK, Piece, Reply, first_line, marks, split_message, units)

FIRST_RETRY = 0.5   # seconds before a failed send is tried again; doubled up to LAST_RETRY
LAST_RETRY = 30.0
CLOSE_GRACE = 10.0  # seconds close() gives the pieces still queued, plus PER_QUEUED each
PER_QUEUED = 1.0  # Telegram takes about one message a second to a chat
CLOSE_GRACE_MAX = 120.0
__all__ = ["Outbox", "Listener", "Link", "REPEAT_MARK"]


class Listener(Protocol):
    """Told of each reply's course (times are time.time(); ids unique within the outbox, from
    1): queued (with its text as the operator sees it, "(repeat) " included), and delivered
    once every piece went through; `reply_given_up` (optional) when it never will."""

    def reply_queued(self, reply_id: int, text: str, due: float) -> None: ...

    def reply_delivered(self, reply_id: int, when: float) -> None: ...


class Link(Protocol):
    """The chat link's state: `failed(error)` is true when the error is the link's (told by the
    link itself, once per outage); `ok()` after every send that went through."""

    def failed(self, error: BaseException) -> bool: ...

    def ok(self) -> None: ...


class Outbox:
    """Sends each piece with `send(text)`; `log` takes the outbox's notices (one line each);
    `on_sent(text)` runs after every piece sent, a reply's own `on_sent()` once all of it is;
    `listener` follows every reply; `link` is told of failures and successes; `interrupt()`
    cuts short a send that is still waiting when close() has given up waiting (the bot's
    flood wait); `clock` is the wall clock replies are due and delivered by."""

    def __init__(self, send: Callable[[str], None], log: Callable[[str], None] = print,
                 on_sent: Optional[Callable[[str], None]] = None,
                 first_retry: float = FIRST_RETRY, last_retry: float = LAST_RETRY, *,
                 listener: Optional[Listener] = None, link: Optional[Link] = None,
                 interrupt: Optional[Callable[[], None]] = None,
                 clock: Callable[[], float] = time.time):
        self._send = send
        self._log = log
        self._on_any_sent = on_sent
        self._first_retry = first_retry
        self._last_retry = last_retry
        self._listener = listener
        self._link = link
        self._interrupt = interrupt
        self._clock = clock
        self._cond = threading.Condition()  # guards the members below
        self._queue: Deque[Reply] = deque()
        self._ids = itertools.count(1)
        self._closing = False
        self._hurry = False  # the chat is back: a pause after a failure ends now
        self._sending = False  # a send is in flight
        self.retry_due: Optional[float] = None  # time.monotonic() of the next try after a failure
        self._thread = threading.Thread(target=self._run, name="outbox", daemon=True)
        self.sent = 0  # replies sent whole; read by anyone, written by the outbox's thread
        self.failures = 0  # failed attempts

    def start(self) -> "Outbox":
        self._thread.start()
        return self

    def put(self, text: str, on_sent: Optional[Callable[[], None]] = None,
            send: Optional[Callable[[], object]] = None, *,
            repeat: bool = False, due: Optional[float] = None, reply: bool = True) -> int:
        """Any thread: queues `text` (due `due`, by default now; `repeat`: marked as sent
        before) and returns its id; returns at once. A message of another kind (a photo)
        comes with its own `send`, called in its turn instead of the outbox's; `text` then
        names it in the outbox's notices and to the listener (not told of it, nor numbered,
        when it is no `reply`)."""
        due = self._clock() if due is None else due
        texts = [text] if send is not None else split_message(text)
        with self._cond:
            # Only replies are numbered: the listener sees every number, none missing.
            queued = Reply(next(self._ids) if reply else 0, text, due, on_sent,
                           [Piece(p, repeat) for p in texts], send=send, listened=reply)
            self._tell_of(queued, "reply_queued", queued.reply_id,
                          REPEAT_MARK + text if repeat else text, due)
            if self._closing:
                self._log(f"Not sent to the operator (the session is closing): {first_line(text)}")
                self._tell_of(queued, "reply_given_up", queued.reply_id, self._clock())
                return queued.reply_id
            self._queue.append(queued)
            self._cond.notify_all()
        return queued.reply_id

    def retry_now(self) -> None:
        """Any thread: the chat can be reached again; a reply waiting after a failure goes
        at once (one waiting out Telegram's "retry after" still waits)."""
        with self._cond:
            self._hurry = True
            self._cond.notify_all()

    def pending(self) -> int:
        """Replies not yet sent whole."""
        with self._cond:
            return len(self._queue)

    def flush(self, timeout: Optional[float] = None) -> bool:
        """Waits until every reply queued so far is sent (at most `timeout` seconds); tells
        whether the queue is empty."""
        with self._cond:
            return self._cond.wait_for(lambda: not self._queue, timeout)

    def default_grace(self) -> float:
        """Time for the pieces queued now to go out at Telegram's pace, within bounds."""
        with self._cond:
            left = sum(len(r.pieces) - r.done for r in self._queue)
        return min(CLOSE_GRACE + PER_QUEUED * left, CLOSE_GRACE_MAX)

    def close(self, grace: Optional[float] = None) -> List[str]:
        """Gives the queued replies `grace` seconds to go out (by default time for a paced
        backlog: CLOSE_GRACE and PER_QUEUED a piece, CLOSE_GRACE_MAX at most; Ctrl-C ends the
        wait), then ends the thread, cutting short a send still waiting, and returns (and
        reports) the replies that did not go out whole."""
        if grace is None:
            grace = self.default_grace()
        try:
            self.flush(grace if self._thread.is_alive() else 0)
        except KeyboardInterrupt:
            self._log("Not waiting any longer for the last replies to reach the operator")
        with self._cond:
            self._closing = True
            self._cond.notify_all()
            busy = self._sending
        if busy and self._interrupt is not None:
            try:
                self._interrupt()
            except Exception as exc:
                self._log(f"Cutting the last send short failed: {type(exc).__name__}: {exc}")
        if self._thread.ident is not None:
            self._thread.join()
        with self._cond:
            lost = list(self._queue)
            self._queue.clear()
            self._cond.notify_all()
        for reply in lost:
            which = "" if not reply.done else \
                f" (pieces {reply.done + 1} to {len(reply.pieces)} of {len(reply.pieces)})"
            self._log(f"Not delivered to the operator{which}: {first_line(reply.text)}")
            self._tell_of(reply, "reply_given_up", reply.reply_id, self._clock())
        return [reply.text for reply in lost]

    # -- the outbox's thread ----------------------------------------------------------------
    def _run(self) -> None:
        pause = self._first_retry
        while True:
            with self._cond:
                self._cond.wait_for(lambda: self._queue or self._closing)
                if self._closing:
                    return
                reply = self._queue[0]
                text = self._next_text(reply)
                self._sending = True
            try:
                if reply.send is not None:
                    reply.send()
                else:
                    self._send(text)
            except Exception as exc:
                with self._cond:
                    self._sending = False
                wait, backing_off = self._failed(reply, exc, pause)
                if wait is None:  # not to be sent again: taken as delivered
                    self._piece_done(reply, text)
                    continue
                if backing_off:
                    pause = min(pause * 2, self._last_retry)
                if self._wait(wait, hurried=backing_off):
                    return
                continue
            pause = self._first_retry
            if self._link is not None:
                self._link.ok()
            self._piece_done(reply, text)

    def _next_text(self, reply: Reply) -> str:
        """The next piece of `reply` with its marks (under the lock). A piece the marks would
        take over the limit is cut again, so that the bot still sends it as one message."""
        piece = reply.pieces[reply.done]
        if reply.send is not None:  # sends itself: nothing to mark or cut
            return piece.text
        prefix = marks(piece.repeat, self._clock() - reply.due)
        if prefix:
            room = MAX_MESSAGE_UNITS - sum(units(c) for c in prefix)
            cut = split_message(piece.text, room)
            if len(cut) > 1:
                reply.pieces[reply.done:reply.done + 1] = [Piece(p, piece.repeat) for p in cut]
                piece = reply.pieces[reply.done]
        return prefix + piece.text

    def _failed(self, reply: Reply, exc: Exception,
                pause: float) -> Tuple[Optional[float], bool]:
        """(seconds to wait before the piece goes again, None when it must not go again;
        whether that wait is the growing pause)."""
        self.failures += 1
        piece = reply.pieces[reply.done]
        told = self._link is not None and self._link.failed(exc)
        failure = f"{type(exc).__name__}: {exc}"
        if isinstance(exc, TimedOut):  # no answer: Telegram may have taken it all the same
            if piece.repeat:
                self._log(f"Sending to the operator timed out again: not sent a third time "
                          f"(it may have arrived): {first_line(piece.text)}")
                return None, False
            piece.repeat = True
            wait, backing_off = self._first_retry, False
        else:
            retry_after = getattr(exc, "retry_after", None)  # Telegram's flood answer
            if isinstance(retry_after, (int, float)) and not isinstance(retry_after, bool) \
                    and retry_after >= 0:
                wait, backing_off = float(retry_after), False
            else:
                wait, backing_off = pause, True
        if not told:
            self._log(f"Sending to the operator failed, trying again in {wait:g} s: {failure}")
        return wait, backing_off

    def _wait(self, seconds: float, hurried: bool) -> bool:
        """Waits `seconds` before trying again, less when `hurried` and retry_now() comes;
        true when the outbox closes meanwhile."""
        with self._cond:
            self.retry_due = time.monotonic() + seconds
            self._hurry = False
            self._cond.wait_for(lambda: self._closing or (hurried and self._hurry), seconds)
            self.retry_due = None
            return self._closing

    def _piece_done(self, reply: Reply, text: str) -> None:
        with self._cond:
            self._sending = False
            reply.done += 1
            whole = reply.done >= len(reply.pieces)
        on_any_sent = self._on_any_sent
        if on_any_sent is not None:
            self._hook(lambda: on_any_sent(text))
        if whole:
            self.sent += 1
            self._tell_of(reply, "reply_delivered", reply.reply_id, self._clock())
            if reply.on_sent is not None:
                self._hook(reply.on_sent)
            with self._cond:  # only now: flush() returns once the hooks have run
                self._queue.popleft()
                self._cond.notify_all()

    def _hook(self, hook: Callable[[], None]) -> None:
        try:
            hook()
        except Exception:  # a hook's fault must not stop the replies behind it
            self._log(f"After sending to the operator:\n{traceback.format_exc().rstrip()}")

    def _tell_of(self, reply: Reply, event: str, *args) -> None:
        if reply.listened:
            self._tell(event, *args)

    def _tell(self, event: str, *args) -> None:
        tell = getattr(self._listener, event, None)
        if tell is None:
            return
        try:
            tell(*args)
        except Exception as exc:  # the listener's fault: the replies go on
            self._log(f"The outbox's listener failed on {event}: {type(exc).__name__}: {exc}")

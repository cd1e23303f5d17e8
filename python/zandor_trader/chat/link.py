"""ChatLink: whether the session can reach the Bot API, told once when the link is lost and
once when it is back, whatever noticed it (the bot's polling, a reply, the outbox).

During an outage every request fails, again and again; printing each failure would bury the
trace. The link prints one line when it goes and one when it comes back, and shows since when
it is down (the display's header). Errors of the client library that are not the link's are
printed one line each, never as tracebacks: `error_handler` is the bot dispatcher's error
handler while the session runs.
"""
import logging
import threading
import time
from typing import Callable, Optional

from telegram.error import BadRequest, NetworkError

POLLING_LOGGER = "telegram.ext.updater"


def is_link_error(error: BaseException) -> bool:
    """The Bot API could not be reached or did not answer (a refused request is no outage)."""
    if isinstance(error, NetworkError):
        return not isinstance(error, BadRequest)
    return isinstance(error, (ConnectionError, TimeoutError))


class ChatLink:
    """`log` takes the link's lines; `on_change()` runs when it goes or comes back (the
    display redraws), `on_back()` when it comes back (the outbox tries again at once);
    `clock` is the wall clock."""

    def __init__(self, log: Callable[[str], None], on_change: Optional[Callable[[], None]] = None,
                 clock: Callable[[], float] = time.time,
                 on_back: Optional[Callable[[], None]] = None):
        self._log = log
        self._on_change = on_change
        self.on_back = on_back
        self._clock = clock
        self._lock = threading.Lock()  # guards _down_since
        self._down_since: Optional[float] = None

    def offline_since(self) -> Optional[float]:
        """When the link was lost (time.time()), or None while it is up."""
        return self._down_since

    def failed(self, error: BaseException) -> bool:
        """Any thread: a request failed with `error`. True when that is the link's failure
        (told here once per outage), False for any other error (the caller tells it)."""
        if not is_link_error(error):
            return False
        with self._lock:
            if self._down_since is not None:
                return True
            self._down_since = self._clock()
        self._log(f"Chat link lost: {type(error).__name__}: {error}; replies wait until it "
                  f"is back")
        self._changed()
        return True

    def ok(self) -> None:
        """Any thread: a request went through."""
        if self._down_since is None:  # the usual case, without the lock
            return
        with self._lock:
            since: Optional[float] = self._down_since
            self._down_since = None
        if since is None:  # another thread told it first
            return
        self._log(f"Chat link back after {self._clock() - since:.0f} s")
        self._changed()
        if self.on_back is not None:
            self.on_back()

    def _changed(self) -> None:
        if self._on_change is not None:
            self._on_change()

    def error_handler(self, update, context) -> None:
        """The dispatcher's error handler: a link error is the link's to tell; any other
        error one line, naming the message being handled."""
        error = getattr(context, "error", None)
        if error is None or self.failed(error):
            return
        text = getattr(getattr(update, "effective_message", None), "text", None)
        where = f" while handling {text!r}" if text else ""
        self._log(f"Bot error{where}: {type(error).__name__}: {error}")


class QuietPolling(logging.Filter):
    """Keeps the client library's own "Error while getting Updates" lines off the output: the
    same errors reach the error handler, and the link tells an outage once."""

    def filter(self, record: logging.LogRecord) -> bool:
        return not str(record.msg).startswith("Error while ")

    def __enter__(self) -> "QuietPolling":
        logging.getLogger(POLLING_LOGGER).addFilter(self)
        return self

    def __exit__(self, *exc) -> None:
        logging.getLogger(POLLING_LOGGER).removeFilter(self)

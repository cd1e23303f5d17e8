"""Which threads a run left behind."""
import socketserver
import threading
import time


def _serves_requests(thread):
    """A thread of a local server answering one request (such as the Bot API server's for a
    bot polling in the background): it comes and goes on its own."""
    target = getattr(thread, "_target", None)
    return isinstance(getattr(target, "__self__", None), socketserver.BaseServer)


def threads_left(before, deadline=5.0):
    """Threads started since `before` that are still running once they had `deadline`
    seconds to end."""
    end = time.monotonic() + deadline
    pause = threading.Event()
    while True:
        left = [t for t in threading.enumerate()
                if t not in before and t.is_alive() and not _serves_requests(t)]
        if not left or time.monotonic() > end:
            return left
        pause.wait(0.01)

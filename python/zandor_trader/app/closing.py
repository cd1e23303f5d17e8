"""The end of a session: its parts closed in reverse order, each whatever the others do, and
the threads checked.

The bot stops taking commands first, so that every command it took has its answer queued
before the last replies go out; those are sent through the bot, whose pacing still holds; only
then does the bot close. The wait for the last replies is the one step a Ctrl-C cuts short.
"""
import sys
import threading
from typing import TYPE_CHECKING

from zandor_trader.app.interrupts import CLOSING, LAST_REPLIES

if TYPE_CHECKING:
    from zandor_trader.app.session import Session

EXIT_OK, EXIT_FAILED = 0, 1


def close_session(session: "Session", status: int) -> int:
    """Closes every part of `session`; the exit status, EXIT_FAILED when a part failed to
    close or a thread is left."""
    session.phase = CLOSING
    steps = [("keyboard", lambda: session.keyboard and session.keyboard.stop()),
             ("bot's polling", lambda: session.bot and session.bot.updater.stop()),
             # No drill fires once the session ends; its thread is joined before the component
             # shuts down.
             ("chaos drills", lambda: session.drills and session.drills.stop()),
             ("charts", lambda: session.charts and session.charts.close()),
             ("outbox", lambda: close_outbox(session)),
             ("bot", lambda: release_bot(session)),
             ("journal", lambda: session.book and session.book.close()),
             ("gateway", lambda: session.gateway and session.gateway.close()),
             ("Bot API server", lambda: session.server and session.server.stop()),
             ("display", lambda: session.display and session.display.stop())]
    for what, step in steps:
        try:
            step()
        except BaseException as exc:  # every part is closed, whatever one of them does
            print(f"Closing the {what} failed: {type(exc).__name__}: {exc}",
                  file=sys.stderr, flush=True)
            status = EXIT_FAILED
    left = [t.name for t in threading.enumerate() if t is not threading.main_thread()]
    if left:
        print(f"Threads still running: {', '.join(left)}", file=sys.stderr, flush=True)
        status = EXIT_FAILED
    print("Session ended.", flush=True)
    return status


def close_outbox(session: "Session") -> None:
    """The last answers go out (within a bound; a Ctrl-C ends the wait, and only that)."""
    outbox = session.outbox
    if outbox is None:
        return
    session.phase = LAST_REPLIES
    try:
        outbox.flush(outbox.default_grace())
    except KeyboardInterrupt:
        print("Not waiting any longer for the last replies to reach the operator", flush=True)
    finally:
        session.phase = CLOSING
    outbox.close(0)


def release_bot(session: "Session") -> None:
    """Closes the bot and takes the session's hooks off it (the bot module outlives it)."""
    from zandor_trader.app.bot_hooks import unhook

    bot = session.bot
    if bot is None:
        return
    try:
        bot.close()
    finally:
        if session.hooks is not None:
            unhook(bot, session.hooks)
        if session.sent_log is not None:
            session.sent_log.detach()

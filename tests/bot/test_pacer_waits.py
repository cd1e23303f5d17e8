"""close() from another thread ends every wait of a paced send at once: the wait for a slot
(the send then goes out unpaced), the hold after a 429 (the message is given up) and the wait
for the sending turn; Ctrl-C ends a wait for the turn without keeping it. Each case runs in a
process of its own whose threads give up the GIL only where they wait, so that each step below
happens while the sender is parked."""
import textwrap

import pytest

from tests.native.scripts import run_script

PRELUDE = """
    import os, sys, threading
    sys.setswitchinterval(1000)  # no thread loses the GIL but where it waits
    from botapi import BotApiServer, FloodLimit
    from telegram.error import RetryAfter
    server = BotApiServer(token="1000:pacer").__enter__()
    os.environ.update(ZANDOR_TELEGRAM_BASE_URL=server.base_url, ZANDOR_TELEGRAM_TOKEN="1000:pacer",
                      ZANDOR_TELEGRAM_CHAT_ID="1", ZANDOR_TRADER_CONFIG=os.devnull)
    for proxy in ("HTTPS_PROXY", "https_proxy"):
        os.environ.pop(proxy, None)
    import zandor_trader.plugins.telegram.bot as botmod
    bot = botmod.bot
    outcomes = {}

    def sender(name, text):
        # Runs send_message(text) on a thread of its own; the thread is let go (it holds
        # the GIL until it parks) once the call has begun.
        begun = threading.Event()
        def run():
            begun.set()
            try:
                bot.send_message(text, 1)
                outcomes[name] = "sent"
            except RetryAfter as e:
                outcomes[name] = f"RetryAfter {e.retry_after}"
        thread = threading.Thread(target=run, daemon=True)
        thread.start()
        begun.wait()
        return thread

    def finish(*threads):
        for thread in threads:
            thread.join(10)  # every wait closed here is far longer
        server.set_flood_limit(None)
        print(sorted(outcomes.items()), [m.text for m in server.sent()])
        server.stop()
"""

CASES = {
    "slot": ("""
        bot.pace_sends(chat_rate=1 / 60, chat_burst=1)  # one a minute
        bot.send_message("first", 1)
        second = sender("second", "second")  # parked for a minute
        bot.close()
        finish(second)
    """, "[('second', 'sent')] ['first', 'second']"),
    "flood hold": ("""
        server.set_flood_limit(FloodLimit(per_chat=0.01, chat_burst=1, retry_after=30))
        bot.send_message("passes", 1)
        held = sender("held", "refused")
        assert server.wait_for(lambda: server.flood_refusals() == 1)
        bot.close()
        finish(held)
    """, "[('held', 'RetryAfter 30.0')] ['passes']"),
    "turn": ("""
        server.set_flood_limit(FloodLimit(per_chat=0.01, chat_burst=1, retry_after=30))
        bot.send_message("passes", 1)
        holder = sender("holder", "refused")  # holds the turn through its 30 s hold
        assert server.wait_for(lambda: server.flood_refusals() == 1)
        waiter = sender("waiter", "after the holder")  # parked until the turn is free
        server.set_flood_limit(None)
        bot.close()
        finish(holder, waiter)
    """, "[('holder', 'RetryAfter 30.0'), ('waiter', 'sent')] ['passes', 'after the holder']"),
    "turn held by a slow send": ("""
        ext = bot.updater.bot
        original, going = type(ext).send_message, threading.Event()
        def send_message(**kwargs):
            if kwargs["text"] == "slow":
                going.wait()  # the send itself takes its time, with the turn held
            return original(ext, **kwargs)
        object.__setattr__(ext, "send_message", send_message)
        holder = sender("holder", "slow")
        waiter = sender("waiter", "queued")  # parked until the turn is free
        bot.close()  # no turn any more: the waiter goes at once
        waiter.join(10)
        going.set()
        finish(holder)
    """, "[('holder', 'sent'), ('waiter', 'sent')] ['queued', 'slow']"),
}


@pytest.mark.parametrize("case", CASES)
def test_close_from_another_thread_ends_the_wait_for_a(case):
    source, printed = CASES[case]
    done = run_script(textwrap.dedent(PRELUDE) + textwrap.dedent(source), timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == printed, done.stdout


# Ctrl-C reaches the main thread while it waits in line for the turn, and the turn is handed to
# it before the interrupt is raised: it leaves without sending, and the turn goes on.
CTRL_C_IN_LINE = """
    import signal
    ext = bot.updater.bot
    original, inside, go = type(ext).send_message, threading.Event(), threading.Event()
    def send_message(**kwargs):
        if kwargs["text"] == "slow":
            inside.set()
            go.wait()  # the turn held until the interrupt lets it go
        return original(ext, **kwargs)
    object.__setattr__(ext, "send_message", send_message)
    holder = sender("holder", "slow")
    inside.wait()
    def on_interrupt(*args):
        go.set()
        holder.join(10)  # the holder let the turn go: handed to this thread, still in line
        raise KeyboardInterrupt
    signal.signal(signal.SIGINT, on_interrupt)
    main, parked = threading.get_ident(), threading.Event()
    # Runs once the main thread gives up the GIL, which it does only where it waits in line.
    def interrupt():
        parked.wait()
        signal.pthread_kill(main, signal.SIGINT)
    threading.Thread(target=interrupt, daemon=True).start()
    parked.set()
    try:
        bot.send_message("interrupted", 1)
    except KeyboardInterrupt:
        outcomes["interrupted"] = "KeyboardInterrupt"
    later = sender("later", "after")  # finds the turn free
    later.join(10)
    outcomes["sent before close"] = not later.is_alive()
    bot.close()
    finish(later)
"""


def test_ctrl_c_in_line_for_the_turn_passes_on_a_turn_handed_to_it():
    done = run_script(textwrap.dedent(PRELUDE) + textwrap.dedent(CTRL_C_IN_LINE), timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == (
        "[('holder', 'sent'), ('interrupted', 'KeyboardInterrupt'), ('later', 'sent'), "
        "('sent before close', True)] "
        "['slow', 'after']"), done.stdout

"""The outbox's listener: each reply told as it is queued and once delivered, with its id."""
import threading

from tests.waiting import eventually
from zandor_trader.chat.outbox import Outbox


class Recorder:
    def __init__(self):
        self.events = []

    def reply_queued(self, reply_id, text, due):
        self.events.append(("queued", reply_id, text))

    def reply_delivered(self, reply_id, when):
        self.events.append(("delivered", reply_id))


def test_ids_count_from_one_and_delivery_is_told_only_after_a_send_succeeds():
    recorder, sent, attempts = Recorder(), [], []
    gate = threading.Event()

    def send(text):
        attempts.append(text)
        if len(attempts) == 1:
            raise OSError("chat down")  # the first try fails: not delivered yet
        gate.wait(5)
        sent.append(text)

    outbox = Outbox(send, log=lambda line: None, listener=recorder, first_retry=0.01).start()
    try:
        assert outbox.put("one") == 1
        assert outbox.put("two", repeat=True) == 2
        eventually(lambda: len(attempts) >= 2)
        assert ("delivered", 1) not in recorder.events
        gate.set()
        assert outbox.flush(5)
    finally:
        outbox.close()
    assert sent == ["one", "(repeat) two"]
    assert recorder.events == [("queued", 1, "one"), ("queued", 2, "(repeat) two"),
                               ("delivered", 1), ("delivered", 2)]


def test_a_reply_refused_while_closing_is_told_as_queued_and_never_delivered():
    """Recorded, so that a journal keeps it as undelivered (the next session repeats it)."""
    recorder, notices = Recorder(), []
    outbox = Outbox(lambda text: None, log=notices.append, listener=recorder).start()
    outbox.close()
    assert outbox.put("late") == 1
    assert recorder.events == [("queued", 1, "late")]
    assert notices == ["Not sent to the operator (the session is closing): late"]

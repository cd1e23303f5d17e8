"""Messages of another kind in the outbox (a photo): sent by their own function in their
turn, tried again like any other, named by their text when they could not go out."""
import types

from zandor_trader.chat import Outbox


def test_a_photo_keeps_its_turn_is_tried_again_and_is_named_when_lost():
    sent, notices = [], []
    outbox = Outbox(sent.append, log=notices.append, first_retry=0.001, last_retry=0.002)
    failures = iter([ConnectionError("upload cut")])

    def photo():
        failure = next(failures, None)
        if failure is not None:
            raise failure
        sent.append("<photo>")

    told = []
    outbox.put("before")
    outbox.put("[chart EPZ5, 60 bars]", on_sent=lambda: told.append("photo sent"), send=photo)
    outbox.put("after")
    outbox.start()
    assert outbox.flush(10)
    assert sent == ["before", "<photo>", "after"] and told == ["photo sent"]
    assert notices == ["Sending to the operator failed, trying again in 0.001 s: "
                       "ConnectionError: upload cut"]

    def never():
        raise ConnectionError("chat down")

    outbox.put("[chart CLEF6, 5 bars]", send=never)
    assert outbox.close(0.01) == ["[chart CLEF6, 5 bars]"]
    assert notices[-1] == "Not delivered to the operator: [chart CLEF6, 5 bars]"


def test_a_photo_is_never_cut_and_one_that_timed_out_goes_once_more_then_counts_as_sent():
    from telegram.error import TimedOut

    events, notices, attempts = [], [], []
    listener = types.SimpleNamespace(
        reply_queued=lambda reply_id, text, due: events.append(("queued", reply_id)),
        reply_delivered=lambda reply_id, when: events.append(("delivered", reply_id)))
    outbox = Outbox(lambda text: None, log=notices.append, first_retry=0.001, last_retry=0.002,
                    listener=listener).start()

    def photo():  # Telegram may have taken it each time: no answer came
        attempts.append("<photo>")
        raise TimedOut()

    # A caption longer than a message: a text would go in two pieces, a photo goes whole.
    caption = "[chart EPZ5, 60 bars]\n" + "bars " * 1000
    assert outbox.put(caption, send=photo) == 1
    assert outbox.flush(10)
    outbox.close()
    assert attempts == ["<photo>", "<photo>"]
    assert notices[-1].startswith("Sending to the operator timed out again: not sent a third "
                                  "time (it may have arrived): [chart EPZ5, 60 bars]")
    assert events == [("queued", 1), ("delivered", 1)]

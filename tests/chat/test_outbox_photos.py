"""Messages of another kind in the outbox (a photo): sent by their own function in their
turn, tried again like any other, named by their text when they could not go out."""
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

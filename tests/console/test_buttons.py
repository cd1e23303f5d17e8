"""A question's buttons on the terminal: shown under it in the chat pane, chosen with Left and
Right on an empty input line and pressed with Enter (or by typing the button's text); shown as
a line of text in plain mode and in the transcript."""
import io
import time
import types

from zandor_trader.chat import ChatLog
from zandor_trader.console import LineEditor, LogPane, PlainOutput, SessionView
from zandor_trader.console.transcript import entry_lines
from zandor_trader.console.view import ButtonChoice

from ..trading import fakes
from .test_display import frame

KEYS = (("Confirm", "Cancel"),)
RIGHT, LEFT = "\x1b[C", "\x1bOD"


def message(text, message_id, buttons=KEYS, edited=False):
    return types.SimpleNamespace(text=text, message_id=message_id, buttons=buttons,
                                 edited=edited)


def chat_of(sent):
    chat = ChatLog(lambda seen: (sent[seen:], len(sent)))
    chat.sync()
    return chat


def test_the_newest_questions_buttons_are_chosen_and_pressed_from_the_keyboard():
    sent = [message("Place EPZ5 LONG 4?", 11), message("Order placed: {A}", 12, ())]
    chat = chat_of(sent)
    pressed = []
    choice = ButtonChoice(chat, lambda message_id, label: pressed.append((message_id, label)))
    view = SessionView(gateway=fakes.gateway_with_adapter(), chat=chat, log=LogPane(),
                       typing=lambda: "", started=time.monotonic(), buttons=choice)
    editor = LineEditor(buttons=choice)
    shown = frame(view, 120, 40)
    assert "[ Confirm ] [ Cancel ]  (Left/Right choose, Enter presses)" in shown
    editor.feed("\r")  # nothing chosen yet: Enter alone presses nothing
    editor.feed("/ba" + RIGHT)  # the line is not empty: the arrow is the line's
    assert choice.chosen() is None and pressed == []
    editor.feed("\x15" + RIGHT + RIGHT + RIGHT)  # no further than the last button
    assert "[ Confirm ] [>Cancel<]" in frame(view, 120, 40)
    editor.feed(LEFT)
    assert "[>Confirm<] [ Cancel ]" in frame(view, 120, 40)
    assert editor.feed("\r") == [] and pressed == [(11, "Confirm")]
    assert choice.chosen() is None  # pressed: chosen again from scratch

    editor.feed(RIGHT)
    sent.append(message("Stop not done yet", 13))  # a newer question: nothing chosen there
    chat.sync()
    assert choice.chosen() is None
    assert frame(view, 120, 40).count("(Left/Right choose, Enter presses)") == 1
    assert choice.press_label("cancel") and pressed[-1] == (13, "Cancel")
    assert not choice.press_label("Maybe")
    sent.append(message("Stop not done yet\nChosen: Cancel", 13, (), edited=True))
    chat.sync()  # answered: the older question still showing its buttons is the one now
    assert choice.move(1) and choice.chosen() == (11, 0)
    sent.append(message("Place EPZ5 LONG 4?\nChosen: Confirm", 11, (), edited=True))
    chat.sync()
    assert not choice.move(1) and not choice.press_label("Confirm")  # none shows buttons


def test_plain_mode_and_the_transcript_show_the_buttons_as_text():
    chat = chat_of([message("[2025-12-01 22:30:00] Stop?", 5)])
    (_, question), = chat.entries()
    out = io.StringIO()
    PlainOutput(out).chat("bot", question)
    assert out.getvalue() == "bot> Stop?\n     [ Confirm ] [ Cancel ]\n"
    assert entry_lines("bot", question)[-1] == "     [ Confirm ] [ Cancel ]"

"""The console: the session on the terminal it was started from.

The live display (`display`) draws frames laid out for the terminal's size (`layout`) from the
panels of market data, account and trades (`panels`, made of the fixed-width `tables` and
`cells`) and the chat and trace panes (`chat_pane`), reading what `view.SessionView` names. The
keyboard (`keyboard`) edits the operator's lines, scrolls the chat and filters the orders;
trace lines are kept in a pane instead of the screen (`log_pane`), or in plain mode printed in
the same short form among the conversation (`plain`); the conversation is written to a file and
left on the terminal at the end (`transcript`).

It depends on trading, the records and the chat it shows; nothing below it depends on it.
"""
from zandor_trader.console.display import Display
from zandor_trader.console.keyboard import KeyboardReader, LineEditor, discard_typeahead
from zandor_trader.console.layout import plan, render
from zandor_trader.console.log_pane import LogPane
from zandor_trader.console.plain import PlainOutput, plain_output
from zandor_trader.console.transcript import Transcript, closing_text, default_path
from zandor_trader.console.view import OrderFilter, Scroll, SessionView

__all__ = ["Display", "KeyboardReader", "LineEditor", "LogPane", "OrderFilter", "PlainOutput",
           "Scroll", "SessionView", "Transcript", "closing_text", "default_path",
           "discard_typeahead", "plain_output", "plan", "render"]

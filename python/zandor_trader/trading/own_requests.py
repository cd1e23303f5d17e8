"""The session's own requests, served in turn with the operator's: its answers (help, hints)
and its actions (a drill on the simulated broker), whose answer is what they return."""
from typing import Callable, Optional

from zandor_trader.trading.desk import Desk
from zandor_trader.trading.requests import ANSWER, CALL


class OwnRequests:
    KINDS = (ANSWER, CALL)

    def __init__(self, desk: Desk):
        self.desk = desk

    def answer(self, text) -> None:
        """The session's own answers (help, hints), in turn with the other requests' answers."""
        self.desk.reply(text)

    def call(self, action: Callable[[], Optional[str]]) -> None:
        """The session's own commands that act (a drill on the simulated broker): run here, in
        turn with the other requests; what they return is their answer."""
        text = action()
        if text:
            self.desk.reply(text)

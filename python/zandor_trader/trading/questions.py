"""Questions the operator answers with Confirm or Cancel: a /stop while business is open, a
flatten, an order above `confirm_above` lots.

A question is asked through an outlet: in the session, a message with Confirm and Cancel
buttons; without one, a plain reply. A press comes back as a request (PRESS) in its turn with
the others and is answered on the engine's thread: the question is settled (its message edited
to say what was chosen, its buttons taken off) and the press answered. A question holds for
`within` seconds and for as long as its own check finds nothing changed; one that lapsed, or
was answered already, says so when pressed, and nothing is done.
"""
import collections
import secrets
from dataclasses import dataclass
from typing import Callable, Deque, Dict, Optional, Protocol

PRESS = "press"  # the request of a button pressed
CONFIRM, CANCEL = "confirm", "cancel"
LABELS = {CONFIRM: "Confirm", CANCEL: "Cancel"}
DONE = {"Confirm": "Confirmed.", "Cancel": "Cancelled."}  # a press's answer
CONFIRM_WITHIN = 60.0  # seconds a question waits for its answer
KEPT = 200  # questions remembered, so that a late press is told what became of its own
UNKNOWN = "This question is not known to this session (asked before a restart?): ask again."


@dataclass(eq=False)
class Question:
    key: str  # names it in its buttons, unique across sessions
    about: str  # "stop", "flatten", "order"
    text: str
    asked_at: float  # on the engine's clock
    confirm: Callable[[], object]  # what a confirmation does (the engine's thread)
    again: str  # how to ask again once it lapsed ("send /stop again")
    within: float = CONFIRM_WITHIN
    cancel: Optional[Callable[[], object]] = None
    # Why it can no longer be confirmed although in time (the business changed), else None.
    check: Optional[Callable[[], Optional[str]]] = None
    lapsed: Optional[str] = None  # set by whoever made it lapse (another request came)
    outcome: Optional[str] = None  # "Confirm", "Cancel", or "lapsed" once settled

    def why_not(self, now: float) -> Optional[str]:
        """Why it can no longer be confirmed, or None while it can."""
        if self.lapsed is not None:
            return self.lapsed
        if now - self.asked_at > self.within:
            return f"more than {self.within:g} s passed"
        return self.check() if self.check is not None else None


class Outlet(Protocol):
    """Where questions go: `ask` sends one with its buttons, `settle` edits it to show `note`
    below its text without buttons, `answer` answers a press (the client's notice)."""

    def ask(self, question: Question) -> None: ...

    def settle(self, question: Question, note: str) -> None: ...

    def answer(self, query_id: str, text: str) -> None: ...


class TextOutlet:
    """No buttons: the question is a plain reply, and nothing is edited or answered."""

    def __init__(self, reply: Callable[[str], None]):
        self.reply = reply

    def ask(self, question: Question) -> None:
        self.reply(question.text)

    def settle(self, question: Question, note: str) -> None:
        pass

    def answer(self, query_id: str, text: str) -> None:
        pass


class Questions:
    """The questions of one session (the engine's thread). `clock` is the engine's."""

    KINDS = (PRESS,)

    def __init__(self, reply: Callable[[str], None], clock: Callable[[], float],
                 outlet: Optional[Outlet] = None):
        self.clock = clock
        self.outlet: Outlet = outlet if outlet is not None else TextOutlet(reply)
        self._prefix = secrets.token_hex(3)  # a press from an earlier session names none here
        self._count = 0
        self._asked: Dict[str, Question] = {}
        self._order: Deque[str] = collections.deque()

    def ask(self, about: str, text: str, confirm: Callable[[], object], again: str,
            cancel: Optional[Callable[[], object]] = None,
            check: Optional[Callable[[], Optional[str]]] = None) -> Question:
        self._count += 1
        question = Question(f"{self._prefix}.{self._count}", about, text, self.clock(), confirm,
                            again, cancel=cancel, check=check)
        self._asked[question.key] = question
        self._order.append(question.key)
        while len(self._order) > KEPT:
            self._asked.pop(self._order.popleft(), None)
        self.outlet.ask(question)
        return question

    def about(self, key) -> Optional[str]:
        question = self._asked.get(str(key))
        return question.about if question is not None else None

    def settle(self, question: Question, outcome: str, how: str = "") -> None:
        """Closes an open question with `outcome` ("Confirm" or "Cancel"; `how`: typed, not
        pressed) and edits it to say so. A settled one stays as it is."""
        if question.outcome is not None:
            return
        question.outcome = outcome
        self.outlet.settle(question, f"Chosen: {outcome}{f' ({how})' if how else ''}")

    def press(self, key, choice, query_id: Optional[str] = None) -> None:
        """A button pressed: the question confirmed or cancelled, or told why not."""
        question = self._asked.get(str(key))
        if question is None:
            self._answer(query_id, UNKNOWN)
            return
        if question.outcome == "lapsed":
            self._answer(query_id, f"This question lapsed: {question.lapsed}; "
                                   f"{question.again}.")
            return
        if question.outcome is not None:
            self._answer(query_id, f"Answered already: {question.outcome}.")
            return
        why = question.why_not(self.clock())
        if why is not None:
            question.outcome, question.lapsed = "lapsed", why
            self.outlet.settle(question, f"Lapsed: {why}; {question.again}.")
            self._answer(query_id, f"This question lapsed: {why}; {question.again}.")
            return
        label = LABELS.get(choice, LABELS[CANCEL])  # anything but Confirm does nothing
        self.settle(question, label)
        self._answer(query_id, DONE[label])
        action = question.confirm if label == LABELS[CONFIRM] else question.cancel
        if action is not None:
            action()

    def _answer(self, query_id: Optional[str], text: str) -> None:
        if query_id is not None:
            self.outlet.answer(query_id, text)

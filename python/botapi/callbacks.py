"""Callback queries: buttons pressed by the operator, and the bot's answers to them."""
import collections
import dataclasses
from typing import Optional

_INVALID = "query is too old and response timeout expired or query ID is invalid"


@dataclasses.dataclass(frozen=True)
class CallbackAnswer:
    """The bot's answerCallbackQuery to the press `query_id`: the notice `text` ("" for none),
    shown as an alert or not, a `url` to open, how long clients may cache it. `seq` numbers the
    answers from 1 in the order given."""

    query_id: str
    text: str = ""
    show_alert: bool = False
    url: Optional[str] = None
    cache_time: int = 0
    seq: int = dataclasses.field(default=0, compare=False)

    def to_json(self):
        return dataclasses.asdict(self)


class CallbackQueries:
    """One bot's presses and answers, the newest `history` of each. Every access holds the
    server's lock."""

    def __init__(self, bot_id, history):
        self.history = history
        self._prefix = str(bot_id)
        self._next = 1
        self._queries = collections.OrderedDict()  # query id -> its answer, None until given
        self.answers = collections.deque(maxlen=history)  # CallbackAnswers, in order given
        self.answer_count = 0

    def new_id(self):
        """A fresh query id; the press is open (unanswered) from now on."""
        query_id = f"{self._prefix}{self._next:010d}"
        self._next += 1
        self._queries[query_id] = None
        while len(self._queries) > self.history:
            self._queries.popitem(last=False)
        return query_id

    def answer(self, query_id, text, show_alert, url, cache_time):
        """Records the answer; LookupError (Telegram's words) for a query unknown or answered."""
        if self._queries.get(query_id, True) is not None:
            raise LookupError(_INVALID)
        self.answer_count += 1
        answer = CallbackAnswer(query_id, text, show_alert, url, cache_time, self.answer_count)
        self._queries[query_id] = answer
        self.answers.append(answer)
        return answer

    def answer_of(self, query_id):
        """The answer to `query_id`, None while there is none; LookupError when the query is
        unknown (or no longer kept)."""
        try:
            return self._queries[query_id]
        except KeyError:
            raise LookupError(f"no callback query {query_id!r} is kept") from None

"""The control interface of a server running in another process, over HTTP."""
import base64
import json
import urllib.error
import urllib.request

from .callbacks import CallbackAnswer
from .messages import SentMessage
from .tokens import read_token_file


class RemoteServer:
    """Plays the operator against a BotApiServer at `control_url` (its `control_url`).

    `token` is the credential of every call: the server's control token (see
    `from_token_file`), or, on a server that also takes bot tokens, the bot's own token. With
    the control token the calls act on the server's own bot unless `bot` (a bot token) names
    another; each call may name its own `bot`, or its own `token`."""

    def __init__(self, control_url, token=None, *, bot=None):
        self.control_url = control_url.rstrip("/")
        self.token = token
        self.bot = bot

    @classmethod
    def from_token_file(cls, control_url, path, *, bot=None):
        """The control interface at `control_url`, with the control token read from the file
        the server wrote (BotApiServer.write_control_token)."""
        return cls(control_url, read_token_file(path), bot=bot)

    def _call(self, action, wait=30.0, *, token=None, bot=None, **params):
        params["token"] = token or self.token
        if params["token"] is None:
            raise ValueError("no token given: control calls carry the control token")
        if bot or self.bot:
            params["bot"] = bot or self.bot
        request = urllib.request.Request(
            f"{self.control_url}/{action}", data=json.dumps(params).encode(),
            headers={"Content-Type": "application/json"})
        # The server is local: a proxy from the environment must not see the token.
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        try:
            with opener.open(request, timeout=wait) as reply:
                return json.load(reply)["result"]
        except urllib.error.HTTPError as exc:
            try:
                description = json.load(exc).get("description", str(exc))
            except ValueError:
                description = str(exc)
            if exc.code == 504:
                raise TimeoutError(description) from None
            if exc.code == 401:
                raise PermissionError(description) from None
            raise RuntimeError(description) from None

    def post_message(self, text, chat_id, *, token=None, bot=None, user_id=None,
                     first_name="Operator"):
        """Like BotApiServer.post_message: the update id."""
        return self._call("message", token=token, bot=bot, text=text, chat_id=chat_id,
                          user_id=user_id, first_name=first_name)["update_id"]

    def edit_message(self, update_id, text, *, token=None, bot=None):
        """Like BotApiServer.edit_message: the edit's update id."""
        return self._call("edit", token=token, bot=bot, update_id=update_id,
                          text=text)["update_id"]

    def sent(self, *, token=None, bot=None, after=0):
        """Like BotApiServer.sent: what is kept, or only the messages numbered after `after`."""
        return [SentMessage.from_json(m)
                for m in self._call("sent", token=token, bot=bot, after=after)]

    def sent_count(self, *, token=None, bot=None):
        return self._call("sent_count", token=token, bot=bot)

    def wait_sent(self, n, *, token=None, bot=None, timeout=10.0):
        return SentMessage.from_json(self._call("wait_sent", timeout + 5, token=token, bot=bot,
                                                n=n, timeout=timeout))

    def wait_polling(self, polls=1, *, token=None, bot=None, timeout=10.0):
        self._call("wait_polling", timeout + 5, token=token, bot=bot, polls=polls,
                   timeout=timeout)

    def message(self, message_id, *, token=None, bot=None):
        """Like BotApiServer.message: the bot's message as it stands now."""
        return SentMessage.from_json(self._call("sent_message", token=token, bot=bot,
                                                message_id=message_id))

    def wait_edited(self, message_id, edits=1, *, token=None, bot=None, timeout=10.0):
        return SentMessage.from_json(self._call(
            "wait_edited", timeout + 5, token=token, bot=bot, message_id=message_id,
            edits=edits, timeout=timeout))

    def press_button(self, message_id, *, data=None, text=None, token=None, bot=None,
                     user_id=None, first_name="Operator"):
        """Like BotApiServer.press_button: the callback query's id."""
        if (data is None) == (text is None):
            raise ValueError("name the button by its callback data or by its text, one of them")
        return self._call("press", token=token, bot=bot, message_id=message_id, data=data,
                          text=text, user_id=user_id, first_name=first_name)["query_id"]

    def callback_answer(self, query_id, *, token=None, bot=None):
        answer = self._call("callback_answer", token=token, bot=bot, query_id=query_id)
        return answer and CallbackAnswer(**answer)

    def wait_callback_answer(self, query_id, *, token=None, bot=None, timeout=10.0):
        return CallbackAnswer(**self._call("wait_callback_answer", timeout + 5, token=token,
                                           bot=bot, query_id=query_id, timeout=timeout))

    def callback_answers(self, *, token=None, bot=None, after=0):
        return [CallbackAnswer(**a)
                for a in self._call("callback_answers", token=token, bot=bot, after=after)]

    def photo(self, message_id, *, token=None, bot=None):
        """Like BotApiServer.photo: the bytes of a photo the bot sent."""
        reply = self._call("photo", token=token, bot=bot, message_id=message_id)
        return base64.b64decode(reply["data"])

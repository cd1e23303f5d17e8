"""The control interface of a server running in another process, over HTTP."""
import json
import urllib.error
import urllib.request

from .mailbox import SentMessage


class RemoteServer:
    """Plays the operator against a BotApiServer at `control_url` (its `control_url`). Every
    call names a bot's token: `token` here, or the call's own."""

    def __init__(self, control_url, token=None):
        self.control_url = control_url.rstrip("/")
        self.token = token

    def _call(self, action, wait=30.0, *, token=None, **params):
        params["token"] = token or self.token
        if params["token"] is None:
            raise ValueError("no token given: control calls name their bot's token")
        request = urllib.request.Request(
            f"{self.control_url}/{action}", data=json.dumps(params).encode(),
            headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=wait) as reply:
                return json.load(reply)["result"]
        except urllib.error.HTTPError as exc:
            try:
                description = json.load(exc).get("description", str(exc))
            except ValueError:
                description = str(exc)
            if exc.code == 504:
                raise TimeoutError(description) from None
            raise RuntimeError(description) from None

    def post_message(self, text, chat_id, *, token=None, user_id=None, first_name="Operator"):
        return self._call("message", token=token, text=text, chat_id=chat_id, user_id=user_id,
                          first_name=first_name)["update_id"]

    def sent(self, *, token=None, after=0):
        """Like BotApiServer.sent: what is kept, or only the messages numbered after `after`."""
        return [SentMessage(**m) for m in self._call("sent", token=token, after=after)]

    def sent_count(self, *, token=None):
        return self._call("sent_count", token=token)

    def wait_sent(self, n, *, token=None, timeout=10.0):
        return SentMessage(**self._call("wait_sent", timeout + 5, token=token, n=n,
                                        timeout=timeout))

    def wait_polling(self, polls=1, *, token=None, timeout=10.0):
        self._call("wait_polling", timeout + 5, token=token, polls=polls, timeout=timeout)

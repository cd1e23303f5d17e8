"""The secrets of a local server: bot tokens, the control token, and the file that hands the
control token to another process of the same user."""
import hmac
import os
import re
import secrets
import shutil
import tempfile

# A bot token as Telegram issues them: the bot's id, ":", and its secret.
BOT_TOKEN = re.compile(r"\d+:[A-Za-z0-9_-]+")


def random_bot_token():
    """A well-formed bot token no one can guess: a ten-digit bot id and a 35-character secret,
    the shape Telegram gives."""
    return f"{secrets.randbelow(9 * 10**9) + 10**9}:{secrets.token_urlsafe(26)}"


def random_control_token():
    """A token for the control interface: 256 random bits, URL-safe."""
    return secrets.token_urlsafe(32)


def same_token(given, expected):
    """Whether `given` is `expected`, in a time that does not tell how much of it matched."""
    return isinstance(given, str) and hmac.compare_digest(given.encode(), expected.encode())


class TokenFile:
    """A file holding a token, readable by its owner alone: created with mode 0600 (never
    widened and narrowed after) in `directory`, or in a private directory of its own made for
    it; `remove()` deletes it, and that directory."""

    def __init__(self, token, directory=None):
        self._own_directory = None
        if directory is None:
            directory = self._own_directory = tempfile.mkdtemp(prefix="botapi-")
        try:
            # mkstemp creates the file 0600 and exclusively: nobody else can have opened it.
            fd, self.path = tempfile.mkstemp(prefix="control-", suffix=".token", dir=directory)
            with os.fdopen(fd, "w") as out:
                out.write(token + "\n")
        except BaseException:
            self._remove_directory()
            raise

    def remove(self):
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass
        self._remove_directory()

    def _remove_directory(self):
        if self._own_directory is not None:
            shutil.rmtree(self._own_directory, ignore_errors=True)
            self._own_directory = None


def read_token_file(path):
    """The token in a file written by TokenFile."""
    with open(path, encoding="utf-8") as source:
        token = source.read().strip()
    if not token:
        raise ValueError(f"{path} holds no token")
    return token

"""A whole session in display mode on a pseudo-terminal of a given size (POSIX only): keys
typed into it, its output read as the terminal would get it, its CPU time and resident memory
read from /proc. Used by the terminal tests, the display's benchmark and the session soak."""
import fcntl
import glob
import os
import pty
import socket
import struct
import subprocess
import sys
import termios
import threading
import time
from typing import Optional

from botapi import RemoteServer

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHAT = 77
LEAVE_SCREEN = b"\x1b[?1049l"  # the display gives the terminal back
KEEP = 1 << 20  # bytes of output kept (the newest)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def session_env(tmpdir):
    """The session's environment; its temporary files (the control token's among them) in
    `tmpdir`, where the test finds the token."""
    # The terminal's size is the pseudo-terminal's: COLUMNS and LINES (a parallel test run
    # sets them) would override it.
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("ZANDOR_") and k not in ("COLUMNS", "LINES")}
    paths = [os.path.join(ROOT, p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env.update(PYTHONPATH=os.pathsep.join(paths), ZANDOR_TELEGRAM_CHAT_ID=str(CHAT),
               ZANDOR_TRADER_CONFIG=os.devnull, TERM="xterm-256color", TMPDIR=tmpdir)
    return env


class TerminalSession:
    def __init__(self, *args, cwd, width=120, height=40, plain=False, env=None):
        self.port = free_port()
        self.master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", height, width, 0, 0))
        argv = [sys.executable, "-m", "zandor_trader", "--bot-port", str(self.port), *args]
        if plain:
            argv.append("--plain")
        self.tmpdir = os.path.join(cwd, f"tmp-{self.port}")
        os.makedirs(self.tmpdir)
        self.proc = subprocess.Popen(argv, cwd=cwd,
                                     env=dict(session_env(self.tmpdir), **(env or {})),
                                     stdin=slave, stdout=slave, stderr=slave,
                                     start_new_session=True)
        os.close(slave)
        self._lock = threading.Lock()  # guards _out and _seen
        self._out = bytearray()
        self._seen = 0  # bytes ever read
        self._grew = threading.Condition(self._lock)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self.remote: Optional[RemoteServer] = None  # once the control token is written

    def _read(self):
        while True:
            try:
                data = os.read(self.master, 65536)
            except OSError:  # the terminal's other side is closed
                data = b""
            with self._grew:
                if data:
                    self._out += data
                    self._seen += len(data)
                    del self._out[:-KEEP]
                self._grew.notify_all()
            if not data:
                return

    def output(self) -> str:
        with self._lock:
            return self._out.decode("utf-8", "replace")

    def wait_output(self, text: str, timeout: float = 60.0) -> None:
        """Until `text` is in what the terminal got (drawn on screen or printed)."""
        wanted = text.encode()
        end = time.monotonic() + timeout
        with self._grew:
            while wanted not in self._out:
                left = end - time.monotonic()
                assert left > 0 and self.proc.poll() is None, \
                    f"{text!r} not shown; the end of the output:\n{self.output()[-3000:]!r}"
                self._grew.wait(min(left, 1.0))

    def wait_started(self, timeout: float = 60.0) -> None:
        """Until the operator's chat answers (the local server's control interface, with the
        token the session wrote for it)."""
        end = time.monotonic() + timeout
        while True:
            try:
                if self.remote is None:
                    (path,) = glob.glob(os.path.join(self.tmpdir, "botapi-*", "control-*.token"))
                    self.remote = RemoteServer.from_token_file(
                        f"http://127.0.0.1:{self.port}/control", path)
                self.remote.sent()
                return
            except (OSError, ValueError):  # not written yet, or being written
                assert time.monotonic() < end and self.proc.poll() is None, "no Bot API server"
                time.sleep(0.05)

    def type(self, keys: str) -> None:
        os.write(self.master, keys.encode())

    def bot_messages(self):
        assert self.remote is not None, "wait_started() first"
        return [m.text for m in self.remote.sent()]

    def cpu_seconds(self) -> float:
        """User and system time of the session's process so far."""
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def rss_bytes(self) -> int:
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
        return 0

    def finish(self, timeout: float = 60.0) -> int:
        code = self.proc.wait(timeout)
        self._reader.join(timeout)
        os.close(self.master)
        return code

    def after_display(self) -> str:
        """What the session printed once the display gave the terminal back."""
        out = self.output()
        return out.rsplit(LEAVE_SCREEN.decode(), 1)[-1].replace("\r\n", "\n")

    def kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(30)

"""Stand-in for win32api: thread ids and thread messages."""
from comsim._core import (  # noqa: F401
    CloseHandle,
    GetCurrentThreadId,
    PostQuitMessage,
    PostThreadMessage,
)

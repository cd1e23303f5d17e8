"""Stand-in for win32event: event objects and waits."""
from comsim._core import (  # noqa: F401
    CreateEvent,
    MsgWaitForMultipleObjects,
    ResetEvent,
    SetEvent,
    WaitForMultipleObjects,
    WaitForSingleObject,
)

INFINITE = 0xFFFFFFFF
WAIT_OBJECT_0 = 0
WAIT_ABANDONED = 0x80
WAIT_TIMEOUT = 258
QS_ALLEVENTS = 0x04BF
QS_ALLINPUT = 0x04FF
QS_POSTMESSAGE = 0x0008

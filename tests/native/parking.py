"""Whether a thread is parked in a native call, seen from another thread: for the tests that
must act only once a call waits (a wake-up given before the wait would hide a lost one)."""
import sys


def parked(thread):
    """Whether `thread` (started with a Python function as its target, which makes one native
    call) is inside that call with the GIL given up, or has ended. Asked with the GIL held:
    the thread's innermost frame is its target's only while the native code runs (Python
    code that it calls would be innermost), and native code gives the GIL up only where it
    waits. True too while the target's own code waits for the GIL before the call: the
    caller must also know that the call has begun."""
    if not thread.is_alive():
        return True
    frame = sys._current_frames().get(thread.ident)
    target = getattr(thread._target, "__func__", thread._target)
    return frame is not None and frame.f_code is target.__code__

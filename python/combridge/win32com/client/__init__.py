"""Stand-in for win32com.client: late-bound wrappers, event sinks and constants."""
from comsim import _core
from comsim._core import CDispatch, Dispatch, constants  # noqa: F401

from win32com.client import gencache  # noqa: F401


class _EventsClass:
    """Stands for the events class generated from a type library: initialising it connects
    the instance to the component's events."""

    def __init__(self, oobj=None):
        _core.connect(Dispatch(oobj), self)

    def close(self):
        _core.disconnect(self)


def WithEvents(disp, user_event_class):
    """Connect a new instance of ``user_event_class`` to the events of ``disp``.

    As the real bridge: the instance's class derives from the events class and the user
    class; only the events class's initialiser gets the object, then the user class's
    initialiser runs with no argument.
    """
    disp = Dispatch(disp)
    result_class = type("COMEventClass", (_EventsClass, user_event_class), {})
    instance = result_class(disp)
    if hasattr(user_event_class, "__init__"):
        try:
            user_event_class.__init__(instance)
        except BaseException:
            instance.close()  # a sink that failed to initialise receives no events
            raise
    return instance


def DispatchWithEvents(clsid, user_event_class):
    """Create the component and connect an instance of ``user_event_class`` to it."""
    disp = Dispatch(clsid)
    instance = WithEvents(disp, user_event_class)
    return instance

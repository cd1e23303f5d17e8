"""Stand-in for pythoncom: apartments, the message pump and interface marshalling.

Importing it enters an apartment on the importing thread, as the real module does.
"""
from comsim._core import (  # noqa: F401
    CoGetInterfaceAndReleaseStream,
    CoInitialize,
    CoInitializeEx,
    CoMarshalInterThreadInterfaceInStream,
    CoUninitialize,
    PumpWaitingMessages,
    PyIDispatch,
    PyIStream,
    com_error,
)

IID_IDispatch = "{00020400-0000-0000-C000-000000000046}"
IID_IUnknown = "{00000000-0000-0000-C000-000000000046}"
COINIT_APARTMENTTHREADED = 0x2
COINIT_MULTITHREADED = 0x0

CoInitialize()

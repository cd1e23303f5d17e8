"""Stand-in for pywintypes: the bridge's error and handle types."""
from comsim._core import HANDLE, com_error, error  # noqa: F401

HANDLEType = HANDLE


def IID(iid: str) -> str:
    """An interface id; the stand-in keeps it as its text."""
    return iid

"""Stand-in for win32com.client.gencache: loading a type library's constants."""
import types

from comsim import _core


def EnsureModule(typelibCLSID, lcid, major, minor, *args, **kwargs):
    """Make the library's enumeration constants readable on win32com.client.constants.

    Returns a module with the constants as a ``constants`` namespace.
    """
    values = _core.ensure_typelib(typelibCLSID, lcid, major, minor)
    module = types.ModuleType(f"win32com.gen_py.{typelibCLSID}x{lcid}x{major}x{minor}")
    module.CLSID = typelibCLSID
    module.MajorVersion, module.MinorVersion, module.LCID = major, minor, lcid
    module.constants = types.SimpleNamespace(**values)
    return module

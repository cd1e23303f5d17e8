"""Registers the type library and the component factory with the bridge stand-in."""
from cqgsim import constants


def _create():
    from cqgsim.component import CQGCEL  # heavy: only when a component is made

    return CQGCEL()


def register() -> None:
    import comsim

    major, minor = constants.TYPELIB_VERSION
    comsim.register_typelib(constants.TYPELIB_ID, major, minor, dict(constants.ALL))
    comsim.register_component(constants.PROGID, _create, constants.TYPELIB_ID)

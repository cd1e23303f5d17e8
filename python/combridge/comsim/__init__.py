"""What only the COM-bridge stand-in has: registering type libraries and components, firing
their events, running code on a component's thread, and counters for leak checks.

    register_typelib(typelib_id, major, minor, constants)  constants: {name: int}
    register_component(progid, factory, typelib_id)        factory() makes the component
    fire(component, event_name, *args) -> int               sinks the event was queued for
    post(component, fn, *args) -> bool                      run fn on the component's thread
    call(component, fn, *args)                              the same, waiting for the result
    stats() -> dict                                         live_wrappers, live_proxies,
                                                            connected_sinks, pending_calls
"""
from comsim._core import (  # noqa: F401  (re-exported)
    call,
    fire,
    pingpong_floor,
    post,
    register_component,
    register_typelib,
    stats,
)


def _register_defaults():
    # The simulated broker component is the embedded default, when it is installed.
    import importlib.util

    if importlib.util.find_spec("cqgsim") is None:
        return
    from cqgsim import registration

    registration.register()


_register_defaults()

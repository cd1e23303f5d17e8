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


def _register_components():
    # Components register themselves: each entry point of the group names a function that
    # registers one (its type library and factory); the bridge knows none by name. The
    # simulated CQG component is one, when it is installed.
    from importlib.metadata import entry_points

    seen = set()
    for entry in entry_points(group="comsim.components"):
        if entry.value in seen:  # one package seen twice on the path (an in-tree run)
            continue
        seen.add(entry.value)
        try:
            register = entry.load()
        except ImportError:  # declared by a distribution whose package is not installed
            continue
        register()


_register_components()

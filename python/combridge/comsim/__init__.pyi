"""What only the COM-bridge stand-in has: registering type libraries and components, firing
their events, running code on a component's thread, and counters for leak checks."""
from collections.abc import Callable, Mapping
from typing import TypedDict, TypeVar

_R = TypeVar("_R")

class _Stats(TypedDict):
    live_wrappers: int
    live_proxies: int
    connected_sinks: int
    pending_calls: int

def register_typelib(
    typelib_id: str, major: int, minor: int, constants: Mapping[str, int], /
) -> None:
    """Make a type library's enumeration constants loadable by gencache.EnsureModule."""

def register_component(
    progid: str, factory: Callable[[], object], typelib_id: str | None, /
) -> None:
    """factory() makes the component that Dispatch(progid) creates."""

def fire(component: object, event_name: str, /, *args: object) -> int:
    """Queue the event to the component's sinks; the number of sinks it was queued for."""

def post(component: object, fn: Callable[..., object], /, *args: object) -> bool:
    """Run fn(*args) on the component's thread; whether it was queued."""

def call(component: object, fn: Callable[..., _R], /, *args: object) -> _R:
    """Run fn(*args) on the component's thread and wait for its result."""

def stats() -> _Stats:
    """Counters of live wrappers, proxies, connected sinks and pending calls."""

def pingpong_floor(n: int, /) -> float:
    """Seconds for n C++ condition-variable round trips (benchmark floor)."""

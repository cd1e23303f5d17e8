"""Crash hunt over one native module, run as `python -m tests.native.hunt <target>`.

Finds by introspection every type and callable the module exposes (its attributes, the
types of their values, and the heap types the module made, found among the collector's
objects), then instantiates the types, reads every attribute, takes repr, str, hash, len
and iter, and calls every callable with no, odd, huge, NaN and wrong-typed arguments.
Exceptions are expected; a crash, a hang or a SystemError (an error left set, or an internal
error) is a finding. Each step is printed before it is taken, so the last line names the
culprit of a crash; the last line of a clean run is "hunt done".
"""
import gc
import itertools
import math
import os
import sys
import types

ODD = [None, 0, -1, 1, 2**31, 2**63, -2**63 - 1, 10**30, 1.5, -0.5, math.nan, math.inf,
       -math.inf, "", "x", "\udcff", "x" * 100_000, b"", b"\0" * 10, True, object(), [], (),
       {}, [None], (0,), {"a": 1}, type, Exception("odd"), print]
KEYWORDS = [{"timeout": math.nan}, {"zz": 1}, {"timeout": "x"}]

# Calls that wait, pump or start threads by design, with the position of what bounds them:
# there only values that end the call at once (or an error) are tried.
BOUNDED_AT = {
    "WaitForSingleObject": 1, "WaitForMultipleObjects": 2, "MsgWaitForMultipleObjects": 2,
    "wait": 0, "pingpong_floor": 0,
}
# Never called: they are the worker's own loop and run, which the environment runs on the
# thread it starts; from the hunt they would pump its thread for good.
NOT_CALLED = {"pumpMessages", "threadedFunction"}
# Pauses two seconds by design before it looks at its argument's account.
SLOW = {"subscribe_account_and_positions"}
PREFIXES = {
    "bridge": ("comsim", "pythoncom", "pywintypes", "win32com.client", "win32event"),
    "environment": ("zandor_trader.gateways.cqg.wrapper.Ambrel",),
    "adapter": ("zandor_trader.gateways.cqg.wrapper.vantor",),
    "bot": ("zandor_trader.plugins.telegram.bot",),
}
HEAPTYPE = 1 << 9
# What only a type made in C has in its own dictionary (a class statement makes functions).
NATIVE_DESCRIPTORS = (types.MethodDescriptorType, types.WrapperDescriptorType,
                      types.ClassMethodDescriptorType)
findings = []
bound = []  # objects bound to a component, on which slow calls would really wait


def step(text):
    os.write(1, (text[:300] + "\n").encode("utf-8", "backslashreplace"))


def ends_at_once(value):
    if value is None or value is True:
        return False
    if isinstance(value, (int, float)) and not math.isnan(value):
        return value == 0 or (value < 0 and value != -1 and not math.isinf(value))
    return True


def attempt(what, fn, *args, **kwargs):
    step(what)
    try:
        return fn(*args, **kwargs)
    except SystemError as e:  # an error left set, or an internal error of ours
        findings.append(f"{what}: SystemError: {e}")
    except (Exception, KeyboardInterrupt):  # noqa: B902 - refusals are fine
        pass
    return None


def arg_sets(name):
    bound = BOUNDED_AT.get(name)
    if bound is None:
        yield [], {}
    for n in range(1, 5):
        for value in ODD:
            args = [value] * n
            if bound is not None:
                if n <= bound:
                    continue  # the bound left out: it would wait for good
                if not ends_at_once(value):
                    args[bound] = 0
            yield args, {}
    if bound is None:
        for kwargs in KEYWORDS:
            yield [], kwargs


def hunt_callable(label, fn):
    name = getattr(fn, "__name__", "")
    if name in NOT_CALLED or (name in SLOW and getattr(fn, "__self__", None) in bound):
        return
    for args, kwargs in arg_sets(name):
        shown = ", ".join(type(a).__name__ for a in args)
        attempt(f"call {label}({shown}) {sorted(kwargs)}", fn, *args, **kwargs)


def hunt_object(label, obj, depth=0):
    attempt(f"repr {label}", repr, obj)
    attempt(f"str {label}", str, obj)
    attempt(f"hash {label}", hash, obj)
    attempt(f"bool {label}", bool, obj)
    attempt(f"len {label}", len, obj)
    it = attempt(f"iter {label}", iter, obj)
    if it is not None:
        attempt(f"next {label}", lambda: list(itertools.islice(it, 3)))
    names = attempt(f"dir {label}", dir, obj) or []
    for name in list(names) + ["foo", "Foo", "_foo"]:
        if name.startswith("__") and name not in ("__dict__", "__class__"):
            continue
        value = attempt(f"getattr {label}.{name}", getattr, obj, name)
        if callable(value) and not isinstance(value, type) and depth == 0:
            hunt_callable(f"{label}.{name}", value)
    for value in ODD[:12]:
        attempt(f"setattr {label}.foo", setattr, obj, "foo", value)


def module_types(prefixes):
    found = []
    for obj in gc.get_objects():
        if not isinstance(obj, type) or not obj.__flags__ & HEAPTYPE:
            continue
        if not str(obj.__module__).startswith(prefixes):
            continue
        own = vars(obj).values()
        native = any(isinstance(v, NATIVE_DESCRIPTORS) for v in own)
        if not native and any(isinstance(v, types.FunctionType) for v in own):
            continue  # a Python class of the stand-ins, not the native module's
        found.append(obj)
    return sorted(found, key=lambda t: f"{t.__module__}.{t.__qualname__}")


def exercise_bridge():
    """Objects of the bridge's internal types, so that their types are found and hunted."""
    import comsim  # noqa: F401
    import pythoncom
    import win32com.client
    import win32event

    made = [win32com.client.Dispatch([1, 2, 3]), win32event.CreateEvent(None, True, False, None)]
    made.append(iter(made[0]))
    made.append(win32com.client.Dispatch(types.SimpleNamespace(f=len)).f)
    made.append(pythoncom.CoMarshalInterThreadInterfaceInStream(pythoncom.IID_IDispatch,
                                                                made[0]))
    made.append(made[0]._oleobj_)
    return made


def load(target):
    if target == "bridge":
        import comsim._core as module
        return module, exercise_bridge()
    if target == "environment":
        from zandor_trader.gateways.cqg.wrapper import Ambrel as module
        return module, [module.Ambrel()]
    if target == "adapter":
        from zandor_trader.gateways.cqg.wrapper import vantor as module
        module.TIMEOUT = 0  # the adapter's waits run out at once
        from zandor_trader.gateways.cqg.gateway import CqgGateway
        from tests.vantor import conftest, fakes
        import win32com.client
        gateway = CqgGateway({"EPZ5": conftest.ES, "ENQZ5": conftest.NQ})
        gateway.ambrel = types.SimpleNamespace(cqgCEL=win32com.client.Dispatch(fakes.Component()))
        adapter = module.Vantor()
        adapter.Init(gateway)
        bound.append(adapter)
        return module, [module.Vantor(), adapter]
    if target == "bot":
        from botapi import BotApiServer
        server = BotApiServer(token="1000:hunt").__enter__()
        os.environ.update(ZANDOR_TELEGRAM_BASE_URL=server.base_url,
                          ZANDOR_TELEGRAM_TOKEN="1000:hunt", ZANDOR_TELEGRAM_CHAT_ID="1",
                          ZANDOR_TRADER_CONFIG=os.devnull)
        os.environ.pop("HTTPS_PROXY", None)
        os.environ.pop("https_proxy", None)
        import zandor_trader.plugins.telegram.bot as module
        return module, [module.bot]
    raise SystemExit(f"unknown target {target}")


def main(target):
    module, made = load(target)
    ODD.extend(made)  # right types in wrong places
    for name in sorted(dir(module)):
        value = getattr(module, name)
        if isinstance(value, types.BuiltinFunctionType) and value.__self__ is module:
            hunt_callable(f"{module.__name__}.{name}", value)
    for i, obj in enumerate(made):
        hunt_object(f"{type(obj).__name__}#{i}", obj)
    for t in module_types(PREFIXES[target]):
        label = f"{t.__module__}.{t.__qualname__}"
        hunted = False
        for args, kwargs in arg_sets(t.__name__):
            made_now = attempt(f"instantiate {label} with {len(args)} args {sorted(kwargs)}",
                               t, *args, **kwargs)
            if made_now is not None and not hunted:
                hunt_object(f"new {label}", made_now)
                hunted = True
        attempt(f"object.__new__({label})", object.__new__, t)
    # What the hunt may have started must end, or the process could not exit.
    for obj in made:
        if type(obj).__name__ == "Ambrel" and getattr(obj, "thread", None) is not None:
            attempt("Shutdown", obj.Shutdown)
        if hasattr(obj, "close") and target == "bot":
            attempt("close", obj.close)
    if target == "bridge":
        import comsim
        stats = comsim.stats()
        if min(stats.values()) < 0:
            findings.append(f"counters below zero: {stats}")
    for finding in findings:
        step(f"FINDING {finding}")
    step("hunt done")
    sys.stdout.flush()
    os._exit(1 if findings else 0)  # threads the hunt started are not waited for


if __name__ == "__main__":
    main(sys.argv[1])

"""Late-bound wrappers on the component's own thread: names, values, errors."""
import datetime
import os
import threading

import pytest

import pythoncom
import pywintypes
import win32com.client
from win32com.client import gencache

import comsim
from tests.bridge import components
from tests.native.scripts import run_script

DISP_E_MEMBERNOTFOUND = -2147352573
DISP_E_EXCEPTION = -2147352567
CO_E_NOTINITIALIZED = -2147221008
CO_E_CLASSSTRING = -2147221005


@pytest.fixture
def comp():
    components.register()
    return win32com.client.Dispatch("Bridge.Test")


def test_members_resolve_without_regard_to_case(comp):
    assert comp.Name == comp.name == comp.NAME == "component"
    comp.name = "renamed"
    assert comp.Name == "renamed"
    assert comp.item(1).price == 11.0
    assert comp.Summary.Balance(0) == 1000.0  # parameterised member
    assert comp.Properties(1).Value == "guid-1"  # default member of a collection


def test_values_come_back_simple_or_wrapped(comp):
    assert isinstance(comp.Stamp, datetime.datetime) and comp.Stamp.microsecond == 789000
    assert isinstance(comp.Item(0), win32com.client.CDispatch)
    number, quote = comp.Pair()
    assert number == 1 and isinstance(quote, win32com.client.CDispatch) and quote.Price == 3.0
    items = list(comp)
    assert [q.IsValid for q in items] == [True, False]
    assert all(isinstance(q, win32com.client.CDispatch) for q in items)
    # Wrapping again is harmless; wrappers of one object compare equal and are always true.
    assert win32com.client.Dispatch(comp) == comp
    assert bool(comp) and comp.Count == 3


def test_members_a_class_inherits(comp):
    # Count and Item come from a base class; the object has no length, iteration or call.
    quotes = comp.Quotes
    assert len(quotes) == 2 and quotes(1).Price == 6.0 and quotes.item(0).Price == 5.0
    assert [q.Price for q in quotes] == [5.0, 6.0]
    # A known member that fails inside is the component's error, not an unknown member.
    with pytest.raises(pywintypes.com_error) as e:
        quotes.Newest
    assert e.value.hresult == DISP_E_EXCEPTION


def test_wrappers_hash_as_their_object(comp):
    target = components.Component.created[-1]
    assert hash(comp) == hash(win32com.client.Dispatch(comp)) == object.__hash__(target)
    assert len({comp, win32com.client.Dispatch(comp), comp.Item(0)}) == 2


def test_components_receive_their_own_objects(comp):
    quote = comp.Item(0)
    assert comp.Take(quote) is True
    assert isinstance(comp._oleobj_, pythoncom.PyIDispatch)


def test_errors(comp):
    with pytest.raises(AttributeError):
        comp.NoSuchMember
    with pytest.raises(pythoncom.com_error) as e:
        comp.NoSuchMember = 1
    assert e.value.hresult == DISP_E_MEMBERNOTFOUND
    with pytest.raises(pywintypes.com_error) as e:
        comp.Fail()
    assert e.value.hresult == DISP_E_EXCEPTION
    assert e.value.excepinfo[2] == "refused by the component"
    assert e.value.args == (e.value.hresult, e.value.strerror, e.value.excepinfo, e.value.argerror)
    with pytest.raises(pythoncom.com_error) as e:
        comp.FailCom()
    assert e.value.hresult == -2147467259 and e.value.strerror == "custom"


def test_creation_needs_an_apartment_and_a_known_progid():
    components.register()
    outcome = []

    def no_apartment():
        try:
            win32com.client.Dispatch("Bridge.Test")
        except pythoncom.com_error as e:
            outcome.append(e.hresult)

    t = threading.Thread(target=no_apartment)
    t.start()
    t.join(10)
    assert outcome == [CO_E_NOTINITIALIZED]
    with pytest.raises(pythoncom.com_error) as e:
        win32com.client.Dispatch("No.Such.Component")
    assert e.value.hresult == CO_E_CLASSSTRING and e.value.strerror == "Invalid class string"
    assert pythoncom.CoInitialize() == 1  # the importing thread already has its apartment
    pythoncom.CoUninitialize()


def test_type_library_constants():
    comsim.register_typelib("{1111-AB}", 2, 0, {"csUp": 1, "csDown": 2})
    module = gencache.EnsureModule("{1111-ab}", 0, 2, 0)
    assert module.constants.csUp == 1
    assert win32com.client.constants.csDown == 2
    with pytest.raises(AttributeError):
        win32com.client.constants.csSideways
    with pytest.raises(pythoncom.com_error):
        gencache.EnsureModule("{2222-CD}", 0, 1, 0)


def test_wrapped_keyword_arguments_reach_the_component_unwrapped(comp):
    class Callable:
        def __call__(self, obj=None):
            self.got = obj

    callable_ = Callable()
    quote = comp.Item(0)
    assert comp.Take(obj=quote) is True  # a member
    win32com.client.Dispatch(callable_)(obj=quote)  # the default member
    assert isinstance(callable_.got, components.Quote)


def test_type_library_registration_checks_versions_and_survives_reentry():
    with pytest.raises(TypeError):
        comsim.register_typelib("{3333-EF}", "4", 0, {})
    with pytest.raises(TypeError):
        comsim.register_typelib("{3333-EF}", 4, None, {})
    # A version beyond a C long: asking for -1 once returned with an overflow error set.
    comsim.register_typelib("{3333-EF}", 2**70, 0, {"big": 1})
    with pytest.raises(pythoncom.com_error):
        gencache.EnsureModule("{3333-EF}", 0, -1, 0)

    class Reregistering:  # converting the version registers the library anew
        def __index__(self):
            comsim.register_typelib("{4444-EF}", 1, 0, {"fresh": 2})
            return 1

    comsim.register_typelib("{4444-EF}", 1, 0, {"fresh": 1})
    assert gencache.EnsureModule("{4444-EF}", 0, Reregistering(), 0).constants.fresh == 2


def test_an_error_while_resolving_a_name_is_not_taken_for_a_missing_member():
    class Odd:
        def __dir__(self):  # consulted for the name without regard to case
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        win32com.client.Dispatch(Odd()).anything


HOSTILE_NAME = """
    import pywintypes, win32com.client
    # A class deep enough that its method resolution order, once replaced, is freed to the
    # allocator rather than kept for reuse.
    deep = object
    for level in range(30):
        deep = type(f"Level{level}", (deep,), {"Depth": level})
    class Elsewhere:
        Where = "elsewhere"
    Component = type("Component", (deep,), {})
    class Name(str):
        # Looking the name up changes the class's bases, and with them its MRO.
        def __hash__(self):
            Component.__bases__ = (Elsewhere,) if Component.__bases__ == (deep,) else (deep,)
            return str.__hash__(self)
        __eq__ = str.__eq__
    wrapper = win32com.client.Dispatch(Component())
    for name in ("Depth", "Where", "Nowhere") * 3:
        try:
            getattr(wrapper, Name(name))
            print(name, "found")
        except (AttributeError, pywintypes.com_error) as error:
            print(name, "not found:", type(error).__name__)
"""


def test_a_name_whose_lookup_changes_the_class_is_looked_up_safely():
    # The debug allocator poisons what is freed, so a walk of a freed MRO does not go
    # unnoticed (the sanitizer build keeps its own allocator, which does the same).
    env = {} if os.environ.get("PYTHONMALLOC") == "malloc" else {"PYTHONMALLOC": "debug"}
    done = run_script(HOSTILE_NAME, env=env)
    assert done.returncode == 0, done.stderr
    # Whatever the class has when each look-up is made, the look-up ends as an ordinary one.
    lines = done.stdout.splitlines()
    assert len(lines) == 9 and all(
        line.endswith((" found", "not found: AttributeError", "not found: com_error"))
        for line in lines), lines


def test_components_register_themselves_through_the_entry_point_group(tmp_path):
    (tmp_path / "ep_component.py").write_text(
        "import comsim\n"
        "class Component:\n"
        "    Name = 'registered by its entry point'\n"
        "def register():\n"
        "    comsim.register_component('EntryPoint.Component', Component, None)\n")
    info = tmp_path / "ep_component-1.0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: ep-component\nVersion: 1.0\n")
    (info / "entry_points.txt").write_text(
        "[comsim.components]\nep = ep_component:register\ngone = no_such_package:register\n")
    done = run_script(f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        import pythoncom, win32com.client
        print(win32com.client.Dispatch("EntryPoint.Component").Name)
        print(win32com.client.Dispatch("CQG.CQGCEL.4").IsStarted)
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["registered by its entry point", "False"]

"""CELSinkBase: one do-nothing handler per component event, freely subclassable."""
import inspect
import re

import pytest

from .conftest import with_events


def handlers(cls):
    return [name for name in vars(cls) if name.startswith("On")]


def params(cls, name):
    return list(inspect.signature(getattr(cls, name)).parameters)[1:]


IRREGULAR = {
    "OnIdle": [],
    "OnCELStarted": [],
    "OnDataError": ["cqgError", "errorDescription"],
    "OnOrderChanged": ["changeType", "cqgOrder", "oldProperties", "cqgFill", "cqgError"],
    "OnInstrumentResolved": ["symbol", "cqgInstrument", "cqgError"],
    "OnTicksAdded": ["cqgTicks", "added_ticks_count"],
    "OnTicksRemoved": ["cqgTicks", "removedTickIndex"],
    "OnTradingSystemAddNotification": ["cqgTradingSystem", "cqgTradingSystemAddInfo"],
    "OnStrategyQuoteRequestResolved": ["cqgRFQ", "isProcessed", "cqgError"],
    "OnAllOrdersCanceled": ["orderSide", "gwAccountIds", "instrumentNames"],
}


def test_the_base_defines_104_distinct_handlers_in_order(Ambrel):
    names = handlers(Ambrel.CELSinkBase)
    assert len(names) == len(set(names)) == 104
    assert names[:3] == ["OnLineTimeChanged", "OnGWConnectionStatusChanged",
                         "OnDataConnectionStatusChanged"]
    assert names[8:11] == ["OnIdle", "OnDataError", "OnCELStarted"]
    assert names[-2:] == ["OnInstrumentResolved", "OnStrategyQuoteRequestResolved"]


def test_handler_families_follow_one_rule(Ambrel):
    base = Ambrel.CELSinkBase
    checked = 0
    for name in handlers(base):
        p = params(base, name)
        if name in IRREGULAR:
            assert p == IRREGULAR[name], name
            continue
        m = re.fullmatch(r"On(\w+?)(Resolved|Added|Updated|Inserted|Removed)", name)
        if not m or not p or not p[0].startswith("cqg") or name.startswith("OnTradable"):
            continue
        checked += 1
        kind = m.group(2)
        if kind == "Resolved" and len(p) == 2:
            assert p[1] == "cqgError", name
        elif kind == "Added":
            assert len(p) == 1, name
        elif kind in ("Updated", "Inserted", "Removed"):
            assert p[1:] == ["index"], name
    assert checked > 60


def test_every_handler_takes_its_arguments_by_position_or_name_and_does_nothing(Ambrel):
    base = Ambrel.CELSinkBase
    sink = base()
    for name in handlers(base):
        p = params(base, name)
        method = getattr(sink, name)
        assert method(*range(len(p))) is None
        assert method(**{k: None for k in p}) is None


def test_a_wrong_argument_count_is_a_type_error(Ambrel):
    sink = Ambrel.CELSinkBase()
    for name in handlers(Ambrel.CELSinkBase):
        n = len(params(Ambrel.CELSinkBase, name))
        method = getattr(sink, name)
        with pytest.raises(TypeError, match=name):
            method(*range(n + 1))
        if n:
            with pytest.raises(TypeError, match=name):
                method(*range(n - 1))
    with pytest.raises(TypeError, match="unexpected keyword"):
        sink.OnIdle(x=1)
    with pytest.raises(TypeError, match="multiple values"):
        sink.OnIsReady(1, readyStatus=2)
    # Names made at run time (not interned) and names mixed with positions bind alike.
    made = {"".join(["change", "Type"]): 1, "cqgOrder": 2, "oldProperties": 3, "cqgFill": 4}
    assert sink.OnOrderChanged(**made, cqgError=5) is None
    assert sink.OnOrderChanged(1, 2, cqgFill=4, oldProperties=3, cqgError=5) is None
    with pytest.raises(TypeError, match="missing|takes"):
        sink.OnOrderChanged(1, 2, cqgFill=4, oldProperties=3)
    with pytest.raises(TypeError, match="multiple values"):
        sink.OnOrderChanged(1, 2, changeType=4, oldProperties=3, cqgError=5)


def test_the_base_keeps_the_layout_of_object(Ambrel):
    # A C type with fields of its own can then derive from it.
    assert Ambrel.CELSinkBase.__basicsize__ == object.__basicsize__
    assert Ambrel.CELSinkBase.__bases__ == (object,)
    with pytest.raises(TypeError):
        Ambrel.CELSinkBase(1)


def test_plain_subclasses_work_with_and_without_their_own_init(Ambrel):
    class Quiet(Ambrel.CELSinkBase):
        pass

    class Own(Ambrel.CELSinkBase):
        def __init__(self):  # never calls a base initialiser
            self.seen = []

        def OnIsReady(self, status):  # other parameter name than the base's
            self.seen.append(status)

    class Slotted(Ambrel.CELSinkBase):
        __slots__ = ("a", "b")

    for cls in (Quiet, Own, Slotted):
        direct = cls()
        bridged = with_events(cls)
        assert isinstance(bridged, cls) and bridged.disp == "component"
        assert bridged.OnTimedBarsAdded(object()) is None
        assert direct.OnCELStarted() is None
    own = with_events(Own)
    own.OnIsReady(True)
    assert own.seen == [True]
    with pytest.raises(TypeError):
        own.OnIsReady()

"""Small components registered with the stand-in for its tests."""
import datetime
import threading

import comsim


class Quote:
    def __init__(self, price, valid=True):
        self.Price = price
        self.IsValid = valid


class Summary:
    def Balance(self, currency):
        return 1000.0 + currency


class Property:
    def __init__(self, value):
        self.Value = value


class Properties:
    def __init__(self, values):
        self._values = values

    def __call__(self, prop_id):  # the collection's default member
        return Property(self._values[prop_id])


class Collection:
    """Count and Item as the component's collections have them, for collections to inherit."""

    def __init__(self, items):
        self._items = items

    @property
    def Count(self):
        return len(self._items)

    def Item(self, index):
        return self._items[index]

    @property
    def Newest(self):
        return self._items[-1].Missing  # a slip inside the component


class Quotes(Collection):
    pass


class Component:
    """Records the thread of every call and fires events through comsim."""

    created: list["Component"] = []  # every instance, newest last, for tests that fire at it directly

    def __init__(self):
        Component.created.append(self)
        self.Name = "component"
        self.Count = 3
        self.Stamp = datetime.datetime(2026, 12, 7, 12, 34, 56, 789000)
        self.received = None
        self.threads = []

    def Item(self, index):
        self.threads.append(threading.get_ident())
        return Quote(10.0 + index)

    def __iter__(self):
        return iter([Quote(1.0), Quote(2.0, valid=False)])

    @property
    def Summary(self):
        return Summary()

    @property
    def Quotes(self):
        return Quotes([Quote(5.0), Quote(6.0)])

    @property
    def Properties(self):
        return Properties({1: "guid-1", 2: 42})

    def Pair(self):
        return (1, Quote(3.0))

    def Take(self, obj):
        self.received = obj
        return obj is not None and not hasattr(obj, "_oleobj_")

    def Fail(self):
        raise ValueError("refused by the component")

    def FailCom(self):
        import pythoncom
        raise pythoncom.com_error(-2147467259, "custom", None, None)

    def Where(self):
        return threading.get_ident()

    def Fire(self, name, *args):
        return comsim.fire(self, name, *args)


def register():
    comsim.register_component("Bridge.Test", Component, None)

"""Base of the component's collections: Count, Item, iteration.

Members in the component's capitalised style are what the component's clients see; the
simulator's own members of a component object are lower case with an underscore (never the
name of a component member, even without regard to case, as the bridge resolves names).
"""


class Collection:
    """Items by position. Out of range: an error when the component is configured to throw
    from collections, otherwise None."""

    __slots__ = ("_core", "_items")

    def __init__(self, core, items=None):
        self._core = core
        self._items = [] if items is None else items

    @property
    def Count(self) -> int:
        return len(self._items)

    def Item(self, index):
        if isinstance(index, int) and 0 <= index < len(self._items):
            return self._items[index]
        return self._missing(index)

    def _missing(self, key):
        if self._core.api.CollectionsThrowException:
            raise IndexError(f"{type(self).__name__}: no item {key!r}")
        return None

    def __iter__(self):
        return iter(list(self._items))  # a snapshot: callers may change the collection

    def __len__(self) -> int:
        return len(self._items)

    def __call__(self, index):  # the default member
        return self.Item(index)

    # -- the simulator's ---------------------------------------------------------------
    def append_item(self, item) -> None:
        self._items.append(item)

    def remove_item(self, item) -> None:
        """Removes ``item`` if it is there."""
        if item in self._items:
            self._items.remove(item)

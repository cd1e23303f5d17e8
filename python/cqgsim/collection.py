"""Base of the component's collections: Count, Item, iteration."""


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

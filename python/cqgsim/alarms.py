"""Alarms on the simulated clock: calls to make when the clock reaches a given time.

The clock stops at each alarm on its way forward (see MarketData.advance), so an alarm runs
at its own time, after everything due before it. Owned by the component's thread.
"""
import heapq
import itertools


class Alarm:
    __slots__ = ("when", "fn", "args", "cancelled")

    def __init__(self, when, fn, args):
        self.when, self.fn, self.args = when, fn, args
        self.cancelled = False

    def cancel(self):
        self.cancelled = True


class Alarms:
    def __init__(self):
        self._heap = []  # (when, order set, Alarm)
        self._order = itertools.count()

    def at(self, when, fn, *args) -> Alarm:
        alarm = Alarm(when, fn, args)
        heapq.heappush(self._heap, (when, next(self._order), alarm))
        return alarm

    def next_due(self):
        """The time of the earliest alarm still set, or None."""
        while self._heap and self._heap[0][2].cancelled:
            heapq.heappop(self._heap)
        return self._heap[0][0] if self._heap else None

    def take_due(self, now) -> list:
        """The alarms due at ``now``, in the order of their times (set order at one time),
        taken off the list."""
        due = []
        while self._heap and self._heap[0][0] <= now:
            alarm = heapq.heappop(self._heap)[2]
            if not alarm.cancelled:
                due.append(alarm)
        return due

    def clear(self):
        self._heap.clear()

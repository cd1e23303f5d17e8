"""The simulated clock: UTC time that moves only when the simulation moves it, shown in the
time zone the component is configured for."""
import datetime as _dt

import pytz

from cqgsim import constants as C

ZONES = {
    C.tzCentral: "America/Chicago", C.tzEastern: "America/New_York",
    C.tzMountain: "America/Denver", C.tzPacific: "America/Los_Angeles",
    C.tzGreenwich: "Europe/London", C.tzChina: "Asia/Shanghai",
    C.tzHongKong: "Asia/Hong_Kong", C.tzJapan: "Asia/Tokyo", C.tzSingapore: "Asia/Singapore",
}


class SimClock:
    """Owned by the component's thread."""

    def __init__(self, start_utc: _dt.datetime, zone_code: int = C.tzCentral):
        if start_utc.tzinfo is not None:
            start_utc = start_utc.astimezone(_dt.timezone.utc).replace(tzinfo=None)
        self.now = start_utc  # naive UTC
        self._zone = None
        self._offsets = {}  # UTC hour -> offset; zone changes only on whole hours
        self.set_zone(zone_code)

    def set_zone(self, zone_code: int) -> None:
        if zone_code not in ZONES:
            raise ValueError(f"unknown time zone code {zone_code!r}")
        self.zone_code = zone_code
        self._zone = pytz.timezone(ZONES[zone_code])
        self._offsets = {}

    def local(self, utc: _dt.datetime) -> _dt.datetime:
        """Wall-clock time in the configured zone, without a zone attached."""
        hour = utc.replace(minute=0, second=0, microsecond=0)
        offset = self._offsets.get(hour)
        if offset is None:
            offset = pytz.utc.localize(hour).astimezone(self._zone).utcoffset()
            if len(self._offsets) > 4096:
                self._offsets.clear()
            self._offsets[hour] = offset
        return utc + offset

    def local_now(self, delay_us: int = 0) -> _dt.datetime:
        return self.local(self.now + _dt.timedelta(microseconds=delay_us))

"""Photos the bots sent: what Telegram checks of an upload (size, image kind, dimensions), and
a store that keeps the newest ones' bytes within a bound."""
import collections
import dataclasses
import struct

from .errors import ApiError

# Telegram's limits for a photo: 10 MB, width and height adding up to at most 10,000 pixels,
# neither side more than 20 times the other.
MAX_PHOTO_BYTES = 10 * 1024 * 1024
MAX_PHOTO_SIDES = 10_000
MAX_PHOTO_RATIO = 20
# Bytes of photos one bot's mailbox keeps by default; older photos keep their description.
DEFAULT_PHOTO_STORE = 64 * 1024 * 1024


@dataclasses.dataclass(frozen=True)
class Photo:
    """A sent photo as its Message describes it (one size: the one uploaded)."""

    file_id: str
    file_unique_id: str
    width: int
    height: int
    file_size: int

    def to_json(self):
        return dataclasses.asdict(self)


def image_size(data):
    """(width, height) of a PNG, JPEG or GIF image; ApiError for anything else."""
    if data.startswith(b"\x89PNG\r\n\x1a\n") and data[12:16] == b"IHDR" and len(data) >= 24:
        return struct.unpack(">II", data[16:24])
    if data[:6] in (b"GIF87a", b"GIF89a") and len(data) >= 10:
        return struct.unpack("<HH", data[6:10])
    if data.startswith(b"\xff\xd8"):
        size = _jpeg_size(data)
        if size is not None:
            return size
    raise ApiError(400, "Bad Request: IMAGE_PROCESS_FAILED")


# JPEG frame headers carry the size: SOF0 to SOF15 but for DHT, JPG and DAC.
_JPEG_FRAMES = set(range(0xC0, 0xD0)) - {0xC4, 0xC8, 0xCC}


def _jpeg_size(data):
    at = 2
    while at + 4 <= len(data):
        if data[at] != 0xFF:
            return None
        marker = data[at + 1]
        if marker == 0xFF:  # fill byte
            at += 1
            continue
        if marker == 0xD9:  # the image ended before its frame header
            return None
        if marker == 0x01 or 0xD0 <= marker <= 0xD7:  # markers without a length
            at += 2
            continue
        (length,) = struct.unpack(">H", data[at + 2:at + 4])
        if marker in _JPEG_FRAMES:
            if at + 9 > len(data):
                return None
            height, width = struct.unpack(">HH", data[at + 5:at + 9])
            return width, height
        if length < 2:
            return None
        at += 2 + length
    return None


def check_photo(data):
    """The (width, height) of an upload Telegram would take as a photo; ApiError otherwise."""
    if not data:
        raise ApiError(400, "Bad Request: file must be non-empty")
    if len(data) > MAX_PHOTO_BYTES:
        raise ApiError(400, "Bad Request: photo is too big: at most 10 MB")
    width, height = image_size(data)
    if (not width or not height or width + height > MAX_PHOTO_SIDES
            or max(width, height) > MAX_PHOTO_RATIO * min(width, height)):
        raise ApiError(400, "Bad Request: PHOTO_INVALID_DIMENSIONS")
    return width, height


class PhotoStore:
    """The bytes of the newest photos, by file_id, within `capacity` bytes and `count` photos;
    the oldest go first. Every access holds the server's lock."""

    def __init__(self, capacity, count):
        self.capacity = capacity
        self.count = count
        self._data = collections.OrderedDict()  # file_id -> bytes, oldest first
        self._bytes = 0

    def add(self, file_id, data):
        self._data[file_id] = data
        self._bytes += len(data)
        while self._data and (self._bytes > self.capacity or len(self._data) > self.count):
            _, dropped = self._data.popitem(last=False)
            self._bytes -= len(dropped)

    def get(self, file_id):
        """The bytes of `file_id`, or None when they are no longer kept."""
        return self._data.get(file_id)

    def touch(self, file_id):
        """The photo was sent again: it counts as new."""
        self._data.move_to_end(file_id)

"""Small images made here for the photo tests: PNG, JPEG and GIF headers of a chosen size."""
import random
import struct
import zlib


def png(width, height, seed=0):
    """A valid RGB PNG of noise (about 3 bytes a pixel); `seed` chooses the noise."""
    noise = random.Random(seed)
    raw = b"".join(b"\x00" + noise.randbytes(3 * width) for _ in range(height))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data)))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw))
            + chunk(b"IEND", b""))


def jpeg_header(width, height):
    """The start of a baseline JPEG up to its frame header (an APP0 segment before it)."""
    app0 = b"\xff\xe0" + struct.pack(">H", 16) + b"JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
    sof0 = b"\xff\xc0" + struct.pack(">HBHHB", 11, 8, height, width, 1) + b"\x01\x11\x00"
    return b"\xff\xd8" + app0 + sof0 + b"\xff\xd9"


def gif_header(width, height):
    return b"GIF89a" + struct.pack("<HH", width, height) + b"\x00\x00\x00;"

"""Reading back the PNG pictures the charts make: signature and size."""
import struct

SIGNATURE = b"\x89PNG\r\n\x1a\n"


def png_size(data: bytes):
    """(width, height) of a PNG; fails on anything else."""
    assert data[:8] == SIGNATURE, data[:16]
    assert data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


def assert_sane_png(data: bytes):
    width, height = png_size(data)
    assert (width, height) == (1000, 600) or (width, height) == (1000, 450), (width, height)
    assert 5_000 < len(data) < 1_000_000, len(data)

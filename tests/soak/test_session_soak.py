"""The session soak, shortened to fit CI: 75 seconds at speed 600 (a simulated market day and
more, with an order or a listing every second), memory judged after 36 seconds."""
import os

import pytest

from .session_soak import run

pytestmark = pytest.mark.skipif(os.name != "posix", reason="needs a pseudo-terminal")


@pytest.mark.timeout(300)
def test_a_short_session_soak_keeps_memory_flat_and_ends_cleanly():
    report = run(minutes=1.25, speed=600, warm_up=0.6)
    assert report.problems == [], report.summary()
    assert report.commands >= 60 and report.cancels >= 5

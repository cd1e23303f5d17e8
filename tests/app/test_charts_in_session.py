"""/chart in a whole session: the picture arrives as a photo through the local Bot API server,
the first one within FIRST_CHART seconds on a fresh install (no plotting caches yet), and the
conversation shows and keeps it, in plain mode and on the display."""
import os
import re
import time

import pytest

from ..charts.pictures import assert_sane_png
from .test_session import CHAT, assert_ended_cleanly, run_session  # noqa: F401  (a fixture)

FIRST_CHART = 30.0  # seconds from asking to the picture, caches built on a fresh install


def wait_photo(session, deadline):
    """The next photo the bot sent, skipping the texts before it."""
    while True:
        session.seen += 1
        left = max(deadline - time.monotonic(), 0.1)
        message = session.remote.wait_sent(session.seen, timeout=left)
        if message.photo is not None:
            return message


def test_chart_in_plain_mode_a_png_with_the_trace_short_and_whole_records_in_the_log(
        run_session, tmp_path):
    log = tmp_path / "trace.log"
    s = run_session("--instruments", "EPZ5,CLEF6", "--seed", "5", "--speed", "60",
                    "--minutes", "5", "--log", str(log),
                    env={"MPLCONFIGDIR": str(tmp_path / "fresh-plotting-cache")}).start()
    s.remote.post_message("/chart epz5 30", CHAT)  # at once, while the caches are being built
    photo = wait_photo(s, time.monotonic() + FIRST_CHART)
    assert photo.text.startswith("chart EPZ5, 30 bars\n")
    assert_sane_png(s.remote.photo(photo.message_id))
    # With a fill and a working order; the engine answers the commands in between.
    s.say("/send_order EPZ5,1,l,o,m,CQG,None,None", "Order placed")
    s.say("/send_order EPZ5,1,s,o,l,CQG,7000,None", "Order placed")
    s.remote.post_message("/chart EPZ5", CHAT)
    s.remote.post_message("/balance", CHAT)
    photo = wait_photo(s, time.monotonic() + FIRST_CHART)
    assert re.search(r"; 1 fill, 1 working order$", photo.text), photo.text
    s.say("/stop force", "Zandor-Trader terminated")
    assert_ended_cleanly(s, "/stop from the operator")

    out = "\n".join(s.out)
    assert "bot> [chart EPZ5, 30 bars]\n" in out and "bot> [chart EPZ5, 60 bars]\n" in out
    assert "operator> /chart epz5 30" in out
    # Trace lines in the display's short form among the conversation; records whole only in
    # the log.
    assert re.search(r"^main: \[Found\] GW Account id: 100101 name: ZT-SIM-1  \(x\d+\)$", out,
                     re.M)
    assert "OnTimedBarsAdded: bar EPZ5 " in out
    assert "Bar(" not in out and "datetime.datetime" not in out and "Security(" not in out
    whole = log.read_text()
    assert "OnTimedBarsAdded: Bar(datetime=datetime.datetime(" in whole
    assert not re.search(r"\(x\d+\)$", whole, re.M)


@pytest.mark.skipif(os.name != "posix", reason="needs a pseudo-terminal")
def test_chart_on_the_display_is_shown_in_the_chat_and_saved_beside_the_transcript(tmp_path):
    from .terminal_session import TerminalSession

    s = TerminalSession("--instruments", "EPZ5", "--speed", "20", "--minutes", "5",
                        cwd=tmp_path, width=120, height=40)
    try:
        s.wait_started()
        s.type("/chart EPZ5 20\r")
        s.wait_output("[chart EPZ5, 20 bars]", FIRST_CHART)
        s.type("/stop\r")
        assert s.finish() == 0
    finally:
        s.kill()
    (transcript,) = [p for p in os.listdir(tmp_path) if p.endswith(".txt")]
    (picture,) = [p for p in os.listdir(tmp_path) if p.endswith(".png")]
    assert picture == transcript[:-len(".txt")] + "-1-EPZ5.png"
    assert_sane_png((tmp_path / picture).read_bytes())
    lines = (tmp_path / transcript).read_text().splitlines()
    assert f"bot> [chart EPZ5, 20 bars] saved as {picture}" in lines

"""Pictures beside the transcript: saved under its name, and named where they were sent."""
import types

from zandor_trader.chat.chat_log import chat_text
from zandor_trader.console import Transcript


def test_a_picture_is_saved_beside_the_transcript_and_named_in_it(tmp_path):
    transcript = Transcript(str(tmp_path / "zandor-trader-chat-20261208-022640.txt"))
    name = transcript.keep_picture(b"\x89PNG picture", "EPZ5")
    assert name == "zandor-trader-chat-20261208-022640-1-EPZ5.png"
    assert (tmp_path / name).read_bytes() == b"\x89PNG picture"
    assert transcript.keep_picture(b"x", "A/B C").endswith("-2-A_B_C.png")  # a safe name
    photo = chat_text(types.SimpleNamespace(text="chart EPZ5, 60 bars\n22:31 to 23:31",
                                            photo=name))
    missing = chat_text(types.SimpleNamespace(text="chart CLEF6, 5 bars", photo="image.png"))
    transcript.add("operator", "/chart ES")
    transcript.add("bot", photo)
    transcript.add("bot", missing)  # nothing saved under that name: not named
    transcript.close()
    assert (tmp_path / "zandor-trader-chat-20261208-022640.txt").read_text().splitlines() == [
        "operator> /chart ES",
        f"bot> [chart EPZ5, 60 bars] saved as {name}",
        "     22:31 to 23:31",
        "bot> [chart CLEF6, 5 bars]"]

"""The Bot API server going away and coming back while the bot polls."""
import logging

import pytest
from telegram.error import NetworkError

from tests.ambrel.conftest import eventually

from .conftest import INITIAL, OPERATOR, fields


@pytest.mark.timeout(60)
def test_the_server_going_away_and_coming_back(bot, chat, server, caplog):
    caplog.set_level(logging.ERROR, logger="telegram.ext.updater")
    start = len(server.sent())
    server.stop()
    try:
        # The operator's command waits at Telegram while the bot cannot reach it.
        server.post_message("/balance", OPERATOR)
        eventually(lambda: any("Error while getting Updates" in r.getMessage()
                               for r in caplog.records))
        with pytest.raises(NetworkError):
            bot.send_message("the engine speaks during the outage")
        assert fields(bot) == INITIAL
    finally:
        server.start()
    # Back again: the command is served once, and both directions work.
    assert chat.texts("/positions") == ["[T] Fetching balance...", "[T] Fetching positions..."]
    assert fields(bot) == {**INITIAL, "get_balance": True, "get_positions": True}
    bot.send_message("after the outage")
    assert [m.text for m in server.sent()[start:]][-1] == "after the outage"
    # Confirmed by the bot's next poll, which may come after the replies.
    eventually(lambda: server.pending() == [])

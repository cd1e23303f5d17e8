"""The intake: each operator update taken as requests where the bot's handler wrote them."""
import types

from zandor_trader.chat import RequestIntake, take_requests

from ..trading import fakes


def test_take_requests_lowers_each_flag_as_it_reads_and_takes_a_stop_once():
    bot = fakes.Bot()
    bot.get_deals, bot.num_deals_displayed = True, 4
    bot.zandor_trader_status = "Terminated"
    assert take_requests(bot) == [("get_deals", {"num_deals_displayed": 4}), ("stop", {})]
    assert bot.get_deals is False and bot.zandor_trader_status == "Running"
    assert take_requests(bot) == []


def test_a_request_carries_its_message_and_arrival_number():
    bot, taken = fakes.Bot(), []
    intake = RequestIntake(bot, taken.append)
    update = types.SimpleNamespace(effective_message=types.SimpleNamespace(text="/stop force"))
    bot.zandor_trader_status = "Terminated"
    intake.on_dispatched(update, types.SimpleNamespace(args=["force"]))
    bot.get_balance = True
    intake.on_dispatched()
    assert [(r.kind, r.seq, r.text, r.args) for r in taken] == [
        ("stop", 1, "/stop force", ("force",)), ("get_balance", 2, "", ())]


def test_once_closed_every_command_is_still_taken_and_answered_by_the_intake():
    bot, taken, unserved = fakes.Bot(), [], []
    intake = RequestIntake(bot, taken.append, when_closed=unserved.append)
    intake.answer("Unknown command /x: /help lists the commands.")
    intake.close()
    bot.zandor_trader_status = "Terminated"  # the engine's mark, once it ended
    bot.get_positions = True
    intake.on_dispatched()
    intake.answer("Commands, each with an example:")
    assert [(r.kind, r.params) for r in taken] == [
        ("answer", {"text": "Unknown command /x: /help lists the commands."})]
    assert [r.kind for r in unserved] == ["get_positions", "answer"]
    assert bot.get_positions is False  # lowered: never served later by anyone
    assert bot.zandor_trader_status == "Terminated"  # the mark stays: it is no /stop


def test_the_session_own_commands_are_numbered_among_the_bot_ones_and_unserved_once_closed():
    from zandor_trader.chat import SessionCommands

    bot, taken, unserved = fakes.Bot(), [], []
    intake = RequestIntake(bot, taken.append, when_closed=unserved.append)
    commands = SessionCommands(intake.answer, intake.take)
    bot.get_balance = True
    intake.on_dispatched()
    commands.on_update(types.SimpleNamespace(
        effective_message=types.SimpleNamespace(text="/halt", entities=None)))
    bot.get_positions = True
    intake.on_dispatched()
    assert [(r.kind, r.seq) for r in taken] == [("get_balance", 1), ("halt", 2),
                                                 ("get_positions", 3)]
    intake.close()
    commands.on_update(types.SimpleNamespace(
        effective_message=types.SimpleNamespace(text="/flatten EPZ5", entities=None)))
    assert len(taken) == 3 and [(r.kind, r.seq) for r in unserved] == [("flatten", 4)]

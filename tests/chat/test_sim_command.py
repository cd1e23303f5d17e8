"""/sim read from the operator's words: each drill with its parameters, words that make no
drill answered with the syntax expected, and the command routed by the session's commands
(refused where there is no simulated broker)."""
import types

import pytest

from zandor_trader.chat import SessionCommands
from zandor_trader.chat.sim_command import Drill, DrillUsageError, SimCommand, parse_drill


@pytest.mark.parametrize("rest, drill", [
    ("drop gw 30", Drill("drop", link="gw", seconds=30.0)),
    ("DROP Data 2.5", Drill("drop", link="data", seconds=2.5)),
    ("drop gw 86400", Drill("drop", link="gw", seconds=86400.0)),
    ("reject next", Drill("reject")),
    ("reject Next Fat  finger, said the desk ", Drill("reject", reason="Fat  finger, said the desk")),
    ("hold next 15", Drill("hold", seconds=15.0)),
    ("hold next 0.25", Drill("hold", seconds=0.25)),
    ("gap EPZ5 8", Drill("gap", symbol="EPZ5", ticks=8)),
    ("gap es -1000", Drill("gap", symbol="es", ticks=-1000)),
    ("gap CLEF6 +3", Drill("gap", symbol="CLEF6", ticks=3)),
])
def test_each_drill_is_read_with_its_parameters(rest, drill):
    assert parse_drill(rest) == drill


@pytest.mark.parametrize("rest, problem", [
    ("", "name the drill. Usage: /sim drop gw|data SECONDS | reject next [REASON] | hold next "
         "SECONDS | gap SYMBOL TICKS"),
    ("crash gw", "unknown drill 'crash'. Usage: /sim drop"),
    ("drop", "the link to drop is gw or data, not ''. Usage: /sim drop gw|data SECONDS"),
    ("drop feed 5", "the link to drop is gw or data, not 'feed'"),
    ("drop gw", "SECONDS is a number of seconds above 0 and at most 86400, not nothing"),
    ("drop gw 0", "not '0'. Usage: /sim drop gw|data SECONDS"),
    ("drop gw -5", "not '-5'"),
    ("drop gw 86400.5", "not '86400.5'"),
    ("drop gw nan", "not 'nan'"),
    ("drop gw inf", "not 'inf'"),
    ("drop gw 1e999999999", "not '1e999999999'"),
    ("drop gw 5 now", "too many words. Usage: /sim drop gw|data SECONDS"),
    ("reject", "expected next after reject. Usage: /sim reject next [REASON]"),
    ("reject the next one", "expected next after reject"),
    ("hold 15", "expected next after hold. Usage: /sim hold next SECONDS"),
    ("hold next", "not nothing. Usage: /sim hold next SECONDS"),
    ("hold next 5 6", "too many words"),
    ("gap EPZ5", "give the instrument and the ticks. Usage: /sim gap SYMBOL TICKS"),
    ("gap EPZ5 8 up", "give the instrument and the ticks"),
    ("gap EPZ5 0", "TICKS is a whole number other than 0, at most 1000 either way (below 0: "
                   "down), not '0'"),
    ("gap EPZ5 1001", "not '1001'"),
    ("gap EPZ5 -1001", "not '-1001'"),
    ("gap EPZ5 2.5", "not '2.5'"),
])
def test_words_that_make_no_drill_say_what_was_expected(rest, problem):
    with pytest.raises(DrillUsageError) as raised:
        parse_drill(rest)
    assert problem in str(raised.value)


def say(commands, text):
    commands.on_update(types.SimpleNamespace(
        effective_message=types.SimpleNamespace(text=text, entities=None)))


def test_the_session_commands_hand_sim_on_or_refuse_it_without_a_simulated_broker():
    answered, drills = [], []
    commands = SessionCommands(answered.append,
                               sim=SimCommand(answered.append, drills.append))
    say(commands, "/sim  reject next  Fat  finger")
    say(commands, "/SIM@zandor_trader_bot hold next 5")
    say(commands, "/sim")
    say(commands, "/simulate")  # another word: unknown, not a drill
    assert drills == [Drill("reject", reason="Fat  finger"), Drill("hold", seconds=5.0)]
    assert answered == [
        "Drill not understood: name the drill. Usage: /sim drop gw|data SECONDS | reject "
        "next [REASON] | hold next SECONDS | gap SYMBOL TICKS",
        "Unknown command /simulate: /help lists the commands."]

    answered.clear()
    on_a_real_broker = SessionCommands(answered.append)
    say(on_a_real_broker, "/sim drop gw 5")
    assert answered == ["/sim refused: drills run on the simulated broker only, and this "
                        "session trades on the real one."]

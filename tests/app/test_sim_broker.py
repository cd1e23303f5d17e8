"""The session on the simulated broker: the drills' seconds turned into the simulated clock's,
their refusals answered plainly, the chaos driver's rate in real hours and its drills traced,
the clock started at a trading day's opening, and --sim-chaos refused where it cannot run;
/sim taken by the chat's intake with the session's other own commands and presses."""
import datetime
import types

import pytest
from telegram.ext import DispatcherHandlerStop

import cqgsim
from zandor_trader.app.cli import parse_args
from zandor_trader.app.settings import SettingsError, load
from zandor_trader.app.sim_broker import SimDrills, session_start
from zandor_trader.chat.sim_command import Drill

from ..trading import fakes


class Simulation:
    """Says what each drill was asked, as the simulation's handle would; `refuse` or `fail`
    make the next call raise."""

    def __init__(self):
        self.calls = []
        self.config = types.SimpleNamespace(seed=1234)
        self.refuse = self.fail = None

    def _do(self, *call):
        self.calls.append(call)
        error, self.refuse, self.fail = self.refuse or self.fail, None, None
        if error is not None:
            raise error
        return " ".join(str(part) for part in call)

    def drop_for(self, link, seconds):
        return self._do("drop", link, seconds)

    def hold_next(self, seconds):
        return self._do("hold", seconds)

    def reject_next(self, reason=None):
        return self._do("reject", reason)

    def gap(self, symbol, ticks):
        return self._do("gap", symbol, ticks)

    def start_chaos(self, rate, *, on_drill=None):
        self.calls.append(("chaos", rate))
        return types.SimpleNamespace(stop=lambda: on_drill("Gateway connection down for 7 s"),
                                     fired=lambda: [(None, "Gateway connection down for 7 s")])


def drills(speed=10.0):
    gateway = fakes.gateway_with_adapter()
    lines = []
    d = SimDrills(speed, gateway, log=lines.append)
    d.sim = Simulation()
    return d, lines


def test_the_operators_seconds_are_real_and_the_simulators_simulated():
    d, _ = drills(speed=60)
    assert d.run(Drill("drop", link="data", seconds=2.5)) == (
        "drop data 150.0 on the simulated clock (2.5 s of real time at speed 60)")
    assert d.run(Drill("hold", seconds=15.0)) == (
        "hold 900.0 on the simulated clock (15 s of real time at speed 60)")
    assert d.run(Drill("reject", reason="Fat finger")) == "reject Fat finger"
    assert d.run(Drill("reject")) == "reject None"  # the broker's own default reason
    assert d.sim.calls == [("drop", "data", 150.0), ("hold", 900.0), ("reject", "Fat finger"),
                           ("reject", None)]


def test_a_gap_names_an_instrument_of_the_session_by_code_or_symbol():
    d, _ = drills()
    assert d.run(Drill("gap", symbol="epz5", ticks=-8)) == "gap EPZ5 -8"
    assert d.run(Drill("gap", symbol="GCEG6", ticks=4)) == (
        "Drill refused: GCEG6 is not traded in this session (instruments: EPZ5, CLEF6).")
    assert d.sim.calls == [("gap", "EPZ5", -8)]


def test_a_drill_that_cannot_be_done_is_answered_with_why():
    d, _ = drills()
    d.sim.refuse = cqgsim.DrillRefused("the gateway connection is not up: there is nothing "
                                       "to drop")
    assert d.run(Drill("drop", link="gw", seconds=5)) == (
        "Drill refused: the gateway connection is not up: there is nothing to drop.")
    d.sim.fail = TimeoutError("the component's thread did not run the query (is it pumping?)")
    assert d.run(Drill("reject")) == ("Drill not done: the component's thread did not run the "
                                      "query (is it pumping?).")
    assert d.run(Drill("reject")) == "reject None"  # and the next one is done
    stopped, _ = drills(speed=0)
    assert stopped.run(Drill("hold", seconds=5)) == (
        "Drill refused: the simulated clock stands still (--speed 0): the drill would never "
        "end.")
    assert stopped.run(Drill("gap", symbol="EPZ5", ticks=2)) == "gap EPZ5 2"
    assert SimDrills(10, fakes.gateway_with_adapter()).run(Drill("reject")) == (
        "Drill refused: the simulated broker is not running yet.")


def test_chaos_runs_at_the_rate_of_real_hours_and_traces_each_drill_until_stopped():
    d, lines = drills(speed=60)
    assert d.start_chaos(30) == ("Chaos drills: 30 an hour at random (seed 1234: --seed "
                                 "repeats them), each shown as a trace line")
    assert d.sim.calls == [("chaos", 0.5)]  # per hour of the simulated clock
    d.stop()
    d.stop()  # once only
    assert lines == ["Chaos drill: Gateway connection down for 7 s", "Chaos drills fired: 1"]
    stopped, _ = drills(speed=0)  # settings made by hand may ask for it
    with pytest.raises(ValueError, match="--speed above 0"):
        stopped.start_chaos(30)


@pytest.mark.parametrize("configured, opening", [
    # Monday 08:30 Chicago: the trading day opened on Sunday at 17:00 (23:00 UTC).
    (datetime.datetime(2025, 12, 1, 14, 30), datetime.datetime(2025, 11, 30, 23, 0)),
    (datetime.datetime(2025, 11, 30, 23, 0), datetime.datetime(2025, 11, 30, 23, 0)),
    # In the daily break (16:30) and on Saturday: the next opening.
    (datetime.datetime(2025, 12, 1, 22, 30), datetime.datetime(2025, 12, 1, 23, 0)),
    (datetime.datetime(2025, 12, 6, 12, 0), datetime.datetime(2025, 12, 7, 23, 0)),
    # Summer time: 17:00 Chicago is 22:00 UTC.
    (datetime.datetime(2025, 7, 9, 15, 0), datetime.datetime(2025, 7, 8, 22, 0)),
])
def test_a_session_starts_its_clock_at_a_trading_days_opening(configured, opening):
    assert session_start(configured) == opening


def test_sim_chaos_from_each_source_and_refused_where_it_cannot_run(tmp_path):
    assert load({}, environ={}).sim_chaos == 0
    assert load({}, environ={"ZANDOR_SIM_CHAOS": "12.5"}).sim_chaos == 12.5
    assert parse_args(["--sim-chaos", "30"], environ={}).sim_chaos == 30
    for env, complaint in [
            ({"ZANDOR_SIM_CHAOS": "-1"}, "ZANDOR_SIM_CHAOS: '-1' must be a number of at least 0"),
            ({"ZANDOR_SIM_CHAOS": "nan"}, "must be a number of at least 0"),
            ({"ZANDOR_SIM_CHAOS": "5", "ZANDOR_SPEED": "0"},
             "sim_chaos: the simulated clock stands still (speed 0)"),
            ({"ZANDOR_SIM_CHAOS": "5", "ZANDOR_BROKER": "cel", "ZANDOR_INSTRUMENTS": "EPZ5",
              "ZANDOR_ACCOUNT": "1", "ZANDOR_USER": "u", "ZANDOR_PASSWORD": "p"},
             "sim_chaos: failure drills run on the simulated broker only, not on cel")]:
        with pytest.raises(SettingsError) as raised:
            load({}, environ=env)
        assert complaint in str(raised.value)
    with pytest.raises(SystemExit):
        parse_args(["--sim-chaos", "inf"], environ={})


def test_own_commands_go_through_the_intake_numbered_among_the_bots_and_unserved_once_closed():
    from zandor_trader.app.session import own_commands, session_commands
    from zandor_trader.chat import RequestIntake
    from zandor_trader.chat.presses import Presses
    from zandor_trader.trading.requests import NOT_SERVED, unserved_answer

    def say(commands, text):
        commands.on_update(types.SimpleNamespace(
            effective_message=types.SimpleNamespace(text=text, entities=None)))

    def press(presses, chat_id):
        with pytest.raises(DispatcherHandlerStop):
            presses.on_update(types.SimpleNamespace(
                effective_chat=types.SimpleNamespace(id=chat_id),
                callback_query=types.SimpleNamespace(id="q1", data="k.1:confirm", message=None)))

    bot, taken, unserved = fakes.Bot(), [], []
    intake = RequestIntake(bot, taken.append, when_closed=unserved.append)
    d, _ = drills()
    commands = session_commands(intake, own_commands(intake.take), d)  # as the session has it
    presses = Presses(7, intake.take, lambda line: None)
    bot.get_balance = True
    intake.on_dispatched()
    say(commands, "/sim hold next 2")
    say(commands, "/chart EPZ5")
    say(commands, "/sim hold")  # no drill: answered with the usage, in turn
    for text in ("/buy ES 2 @6850", "/sell ES 1", "/cancel F3CC", "/replace F3CC 6851"):
        say(commands, text)
    press(presses, 7)
    assert [(r.kind, r.seq) for r in taken] == [
        ("get_balance", 1), ("call", 2), ("chart", 3), ("answer", 4), ("buy", 5), ("sell", 6),
        ("cancel", 7), ("replace", 8), ("press", 9)]
    assert taken[1].params["action"]() == "hold 20.0 on the simulated clock (2 s of real time " \
                                           "at speed 10)"
    assert taken[3].params["text"].startswith("Drill not understood: expected next after hold")
    assert [r.params["args"] for r in taken[4:8]] == [
        ("ES", "2", "@6850"), ("ES", "1"), ("F3CC",), ("F3CC", "6851")]
    intake.close()
    say(commands, "/sim drop gw 5")
    say(commands, "/buy ES 1")
    press(presses, 7)
    assert [(r.kind, r.seq, unserved_answer(r)) for r in unserved] == [
        ("call", 10, NOT_SERVED), ("buy", 11, NOT_SERVED), ("press", 12, NOT_SERVED)]
    assert d.sim.calls == [("hold", 20.0)]  # the late drill was never run

    # On a real broker the refusal is the intake's answer too.
    taken.clear()
    say(session_commands(RequestIntake(bot, taken.append), {}, None), "/sim drop gw 5")
    assert [(r.kind, r.params["text"][:14]) for r in taken] == [("answer", "/sim refused: ")]

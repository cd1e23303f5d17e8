"""Failure drills through whole sessions, played from the operator's chat: each /sim drill
answered with what it did and followed by the alerts a real failure of its kind causes; the
chaos driver's drills traced; /sim refused on a real broker."""
import re

import pytest

from .test_session import CHAT, assert_ended_cleanly, run_session  # noqa: F401  (the fixture)

# The real broker has no default password; the sessions on the simulated one take it too.
ENV = dict(ZANDOR_PASSWORD="Zq-drill-pw-41")
BUY = "/send_order EPZ5,1,l,o,m,CQG,None,None"
PLACED = re.compile(r"Order placed: (\{[0-9A-F-]+\}) EPZ5\.CME (LONG|SHORT) 1 ")
FILLED_AT = re.compile(r"Deal: \S+ order \S+ EPZ5\.CME \w+ 1 @ ([\d.]+) at ")


def placed_id(reply):
    return PLACED.match(reply).group(1)


def test_each_drill_is_answered_and_causes_the_alerts_of_its_failure(run_session):
    s = run_session("--instruments", "EPZ5", "--seed", "7", "--speed", "10",
                    "--stale-after", "1", "--minutes", "5", env=ENV).start()
    assert re.match(r"Simulated clock from Sun 2025-11-30 17:00 Chicago time", s.out[1])

    # The gateway down: orders are not sent until it is back.
    assert s.say("/sim drop gw 60", "Gateway connection down", "LOST") == [
        "Gateway connection down for 600 s on the simulated clock (60 s of real time at "
        "speed 10)", "Gateway connection LOST."]
    *_, refused = s.say(BUY, "order not sent")
    assert re.fullmatch(r"Gateway connection down since \d\d:\d\d; order not sent\.", refused)
    # A second drop makes the outage end sooner.
    assert s.say("/sim drop gw 0.5", "Gateway connection down", "restored")[-1] == (
        "Gateway connection restored.")

    # Market data down: lost, stale, back.
    lost, stale, back, flowing = s.say("/sim drop data 3", "Market data connection down",
                                       "LOST", "is stale", "restored", "flowing again")[-4:]
    assert (lost, back, flowing) == ("Market data connection LOST.",
                                     "Market data connection restored.",
                                     "Market data of EPZ5.CME is flowing again.")
    assert re.fullmatch(r"Market data of EPZ5\.CME is stale: nothing for \d+ s\.", stale)

    # The next order rejected, with the operator's reason; the one after trades.
    assert s.say("/sim reject next Fat  finger", "Next order") == [
        "Next order will be rejected: Fat  finger"]
    *_, placed, rejected = s.say(BUY, "Order placed", "Order rejected")
    assert rejected.endswith(f"{placed_id(placed)} EPZ5.CME LONG 1 MARKET OPEN: FAILED. "
                             f"Reason: Fat  finger")

    # The next request held: the order is placed once it is answered, and fills.
    assert s.say("/sim hold next 2", "Next request") == [
        "Next request will go unanswered for 20 s on the simulated clock (2 s of real time "
        "at speed 10)"]
    *_, placed, deal = s.say(BUY, "Order placed", "Deal: ")
    assert placed_id(placed) in deal
    price = float(FILLED_AT.match(deal).group(1))

    # A gap up through a resting sell: it fills at its limit.
    limit = f"{price + 1.25:.2f}"
    *_, resting = s.say(f"/send_order EPZ5,1,s,o,l,CQG,{limit},None", "Order placed")
    assert s.say("/sim gap EPZ5 40", "gaps")[-1].startswith("EPZ5 gaps up 40 ticks (10.00)")
    (deal,) = s.expect("Deal: ")
    assert placed_id(resting) in deal and f"SHORT 1 @ {limit} at" in deal

    # Drills that cannot be done, or words that make none, are answered with why.
    assert s.say("/sim gap GCEG6 4", "Drill") == [
        "Drill refused: GCEG6 is not traded in this session (instruments: EPZ5)."]
    assert s.say("/sim drop gw x", "Drill")[-1].startswith(
        "Drill not understood: SECONDS is a number of seconds above 0")
    *_, listing = s.say("/help", "Commands, each with an example")
    assert "/sim drop gw|data SECONDS | reject next [REASON] | hold next SECONDS | gap SYMBOL " \
           "TICKS: rehearse a failure on the simulated broker; SECONDS are real seconds" in listing
    assert "    e.g. /sim drop gw 30" in listing

    s.say("/stop force", "Zandor-Trader terminated")
    assert_ended_cleanly(s, "/stop from the operator")


# Long: the held placement waits out the adapter's 10 s bound.
@pytest.mark.long
def test_a_request_held_past_its_bound_is_told_timed_out_then_tracked(run_session):
    s = run_session("--instruments", "EPZ5", "--seed", "8", "--speed", "10", "--minutes", "5",
                    env=ENV).start()
    s.say("/sim hold next 15", "Next request will go unanswered for 150 s")
    *_, timed_out = s.say(BUY, "Placement of")
    assert timed_out.startswith("Placement of EPZ5 LONG 1 MARKET timed out: its outcome is not "
                                "known yet.")
    # The broker takes the order when the hold ends: the session matches it to the placement
    # and tells its fill as its own.
    *_, tracked = s.expect("Placement of")
    *_, deal = s.expect("Deal: ")
    guid = re.fullmatch(r"Placement of EPZ5 LONG 1 MARKET timed out; the broker has it as "
                        r"(\{[0-9A-F-]+\}), now tracked", tracked).group(1)
    assert re.match(r"Deal: \S+ order " + re.escape(guid) + r" EPZ5\.CME LONG 1 @ ", deal)
    s.say("/stop force", "Zandor-Trader terminated")
    assert_ended_cleanly(s, "/stop from the operator")


def test_chaos_fires_drills_at_random_each_traced_and_stops_with_the_session(run_session):
    # 36,000 an hour: one every tenth of a second on average. At speed 100 a drill's outage
    # or hold (up to 60 simulated seconds) lasts 0.6 s at most: a held logoff ends soon.
    s = run_session("--instruments", "EPZ5,CLEF6", "--seed", "11", "--speed", "100",
                    "--sim-chaos", "36000", "--minutes", "5", env=ENV).start()
    assert ("Chaos drills: 36000 an hour at random (seed 11: --seed repeats them), each shown "
            "as a trace line") in s.out
    for _ in range(3):
        s.wait_line(r"^Chaos drill: ")
    s.remote.post_message("/stop force", CHAT)
    assert_ended_cleanly(s, "/stop from the operator")
    fired = int(next(line for line in s.out if line.startswith("Chaos drills fired: "))
                .rsplit(" ", 1)[1])
    traced = [line for line in s.out if line.startswith("Chaos drill: ")]
    assert fired >= len(traced) >= 3
    # What the operator was told of them (the chat, as plain mode prints it) is what a real
    # failure would cause.
    told = [line[len("bot> "):] for line in s.out if line.startswith("bot> ")]
    kinds = ("Gateway connection", "Market data connection", "Next order", "Next request",
             "EPZ5 ga", "CLEF6 ga")
    assert all(line.split(": ", 1)[1].startswith(kinds) for line in traced), traced
    if any("Gateway connection down" in line for line in traced):
        assert "Gateway connection LOST." in told


REAL_BROKER = """
import sys
import cqgsim  # the simulated component, registered under the real one's ProgID
from zandor_trader.app.cli import parse_args
from zandor_trader.app.session import run
cqgsim.configure(mode="live", seed=3, speed=10)
sys.exit(run(parse_args(["--broker", "cel", "--instruments", "EPZ5", "--account", "100101",
                         "--user", "trader", "--plain", "--minutes", "5", "--bot-port", "0"])))
"""


def test_drills_are_refused_on_a_real_broker(run_session, tmp_path):
    (tmp_path / "real.ini").write_text("[instrument EPZ5]\nexchange = CME\n")
    s = run_session(command=("-c", REAL_BROKER), env=dict(
        ENV, ZANDOR_TRADER_CONFIG=str(tmp_path / "real.ini"))).start()
    assert not [line for line in s.out if line.startswith("Simulated")]
    assert s.say("/sim drop gw 5", "/sim refused") == [
        "/sim refused: drills run on the simulated broker only, and this session trades on "
        "the real one."]
    s.say("/stop force", "Zandor-Trader terminated")
    assert_ended_cleanly(s, "/stop from the operator")

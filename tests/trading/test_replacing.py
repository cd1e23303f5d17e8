"""/replace on the scripted simulated broker: the same order at the new price once the cancel
is confirmed, and each other way it goes told: filled before its cancel, the cancel refused or
not answered in time, the new order refused, a cancel or a flatten in between; refusals before
anything is cancelled."""
import dataclasses

from zandor_trader.trading import Request

from .test_fast_lane import lane, press, say, served, working  # noqa: F401  (the fixture)


def placed_id(answer):
    assert answer.startswith("Order placed: {"), answer
    return answer.split()[2]


def hold_cancels(s):
    s.sim.respond("Cancel", "hold")


def release_cancels(s):
    s.sim.release("Cancel")
    s.sim.respond("Cancel")
    return served(s)


def test_the_same_order_at_the_new_price_once_the_cancel_is_confirmed(lane):
    s = lane
    old = placed_id(say(s, "/buy ES 2 @6840")[0])
    asked, cancelled, replaced = say(s, f"/replace {old[1:9]} 6841.5")
    assert asked == (f"Replace of order {old}: cancel requested; once the broker confirms it, "
                     f"the same order is placed at 6841.50.")
    assert cancelled.startswith(f"Order cancelled: {old} ")
    new = placed_id(replaced)
    assert replaced == (f"Order placed: {new} ES.CME LONG 2 LIMIT price=6841.50\n"
                        f"It replaces order {old}, cancelled.")
    # Part of it fills before the cancel arrives: what is left is placed again.
    hold_cancels(s)
    say(s, f"/replace {new} 6842")
    s.sim.fill(new, quantity=1)
    told = release_cancels(s)
    assert told[-1].endswith(f" ES.CME LONG 1 LIMIT price=6842.00\nIt replaces order {new}, "
                             f"cancelled after 1 of 2 filled: the 1 left.")
    assert any(t.startswith("Deal: ") for t in told)
    assert [(o.quantity, o.price) for o in working(s)] == [(1, 6842)]


def test_nothing_is_placed_when_it_filled_first_its_cancel_was_refused_or_not_answered(lane):
    s = lane
    first = placed_id(say(s, "/buy ES 1 @6840")[0])
    hold_cancels(s)
    say(s, f"/replace {first} 6841")
    s.sim.fill(first)
    assert release_cancels(s)[-1] == (f"Replace of order {first} not done: it filled before its "
                                      f"cancel (1 @ 6840.00); nothing placed.")

    second = placed_id(say(s, "/sell ES 1 @6860")[0])
    s.sim.respond("Cancel", "error", times=1, description="Too late to cancel")
    assert say(s, f"/replace {second} 6859")[-1] == (
        f"Replace of order {second} not done: the broker refused its cancel (Too late to "
        f"cancel); the order still works at 6860.00; nothing placed.")

    hold_cancels(s)
    say(s, f"/replace {second} 6859")
    s.now[0] += 9.9
    s.engine.orders.advance(s.now[0])
    assert served(s) == []  # still waiting
    s.now[0] += 0.1
    s.engine.orders.advance(s.now[0])
    assert served(s) == [f"Replace of order {second} not done: its cancel was not answered "
                         f"within 10 s; nothing placed. The order may still be cancelled later: "
                         f"/orders shows it."]
    release_cancels(s)  # cancelled later after all: still nothing placed
    assert working(s) == [] and len(s.gateway.trades.orders()) == 2


def test_a_new_order_refused_leaves_the_old_one_cancelled_and_says_so(lane):
    s = lane
    old = placed_id(say(s, "/buy ES 2 @6840")[0])
    hold_cancels(s)
    say(s, f"/replace {old} 6841")
    s.engine.risk.halt()  # before the cancel is confirmed
    told = release_cancels(s)
    assert told[-1].startswith("Order refused: trading is halted by the operator")
    assert told[-1].endswith(f"\nIt was to replace order {old}, which is cancelled.")
    assert working(s) == []


def test_a_cancel_or_a_flatten_in_between_gives_the_replace_up(lane):
    s = lane
    first = placed_id(say(s, "/buy ES 1 @6840")[0])
    second = placed_id(say(s, "/buy ES 1 @6839")[0])
    hold_cancels(s)
    say(s, f"/replace {first} 6841")
    given_up, requested = say(s, f"/cancel {first[1:7]}")
    assert given_up == f"Replace of order {first} given up: you cancelled it; nothing is placed."
    assert requested.startswith(f"Cancel requested for order {first} ")
    say(s, f"/replace {second} 6841")
    s.engine.submit(Request("flatten", {"symbol": None}))
    told = release_cancels(s)
    assert f"Replace of order {second} not done: a flatten came in between; nothing placed." \
        in told
    assert working(s) == [] and len(s.gateway.trades.orders()) == 2


def test_refused_before_anything_is_cancelled(lane):
    s = lane
    old = placed_id(say(s, "/buy ES 2 @6840")[0])
    hold_cancels(s)
    for command, answer in [
            ("/replace", "Usage: /replace ID PRICE: the order's new limit or stop price, e.g. "
                         "/replace F3CCA1DE 6851.50"),
            ("/replace {0000} 1", "Replace refused: CQG has no order with id '{0000}'."),
            (f"/replace {old} 6840.00", f"Replace refused: order {old} is at 6840.00 already."),
            (f"/replace {old} x", "Replace refused: the new price must be a positive number, "
                                  "not 'x'."),
            (f"/replace {old} 7500", "Replace refused: price 7500 is 9.5% from the last price "
                                     f"6850.0 of ES.CME (at most 5%); order {old} is left as "
                                     f"it is."),
            (f"/replace {old} 6841", f"Replace of order {old}: cancel requested; once the "
                                     f"broker confirms it, the same order is placed at "
                                     f"6841.00."),
            (f"/replace {old} 6842", f"Replace refused: order {old} is being replaced already.")]:
        assert say(s, command) == [answer], command
    s.sim.fill(old)
    release_cancels(s)
    assert say(s, f"/replace {old} 6842") == [
        f"Replace refused: order {old} is FILLED, not active."]


def test_a_replace_above_confirm_above_asks_first(lane):
    s = lane
    limits = s.engine.limits
    s.engine.limits = dataclasses.replace(limits, confirm_above=None)
    old = placed_id(say(s, "/buy ES 4 @6840")[0])
    s.engine.limits = limits
    (asked,) = say(s, f"/replace {old} 6841")
    assert asked.startswith(f"Replace order {old} (ES.CME LONG 4 LIMIT price=6840.00) with "
                            f"ES.CME LONG 4 LIMIT price=6841.00?\n")
    assert [o.order_id for o in working(s)] == [old]  # nothing cancelled yet
    told = press(s)
    assert told[0].startswith(f"Replace of order {old}: cancel requested")
    assert told[-1].endswith(f"It replaces order {old}, cancelled.")

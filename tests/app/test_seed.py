"""The session's market seed: a new one each run unless given, so order ids and deal numbers
do not repeat across sessions; a given seed is kept."""
from zandor_trader.app.cli import parse_args
from zandor_trader.app.session import market_seed


def test_each_run_draws_its_own_seed_unless_one_is_given():
    assert parse_args([]).seed is None
    assert len({market_seed(None) for _ in range(20)}) == 20
    assert market_seed(parse_args(["--seed", "5"]).seed) == 5

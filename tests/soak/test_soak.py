"""The soak run, shortened to fit CI: a tenth of the records and orders of the full run."""
import pytest

from .harness import Plan, run


@pytest.mark.long
@pytest.mark.timeout(300)
def test_a_short_soak_run_keeps_every_promise():
    report = run(Plan(records=100_000, orders=1_000, resubscribe_every=20, minute_every=10))
    assert report.problems == [], report.summary()
    assert report.records >= 100_000 and report.resubscriptions >= 10 and report.reads > 0

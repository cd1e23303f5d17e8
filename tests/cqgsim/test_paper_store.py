"""The paper store: the accounts outlive the run, ids never repeat, a fill is kept before
its event, a reset starts afresh and says so."""
import os
import re
import signal
import sqlite3
import subprocess
import sys

import pytest

import cqgsim
from cqgsim import constants as C
from tests.cqgsim.pump import ComponentHost
from tests.cqgsim.sinks import Snapshots
from tests.cqgsim.test_orders import ACCOUNT, Desk

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _fill_ids(desk):
    return [e[6][5] for e in desk.sink.of("OnOrderChanged") if e[6] is not None]


def _position(desk):
    p = desk.account.Positions.ItemByIndex(0)
    return p.Quantity, p.AveragePrice


def test_a_second_run_on_the_store_continues_where_the_first_ended(tmp_path):
    cqgsim.configure(paper_store=tmp_path / "paper.sqlite")  # the same seed both runs
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        orders = [desk.order(C.otMarket, 2, C.osdBuy), desk.order(C.otMarket, 1, C.osdSell),
                  desk.order(C.otLimit, 1, C.osdSell, 6900.0)]
        for o in orders:
            o.Place()
        desk.sim.sync()
        first_guids, first_fills = {o.GUID for o in orders}, _fill_ids(desk)
        resting = orders[2].GUID
        assert _position(desk) == (1, 6850.25) and desk.summary("Balance") == (999_987.5,)
    with ComponentHost(Snapshots) as host:
        desk = Desk(host, clear=False)
        added = [e for e in desk.sink.of("OnOrderChanged") if e[0] == C.ctAdded]
        assert [(e[1], e[2]) for e in added] == [(resting, C.osInOrderBook)]
        assert _position(desk) == (1, 6850.25) and desk.summary("Balance") == (999_987.5,)
        assert desk.cel.Orders.Count == 1
        desk.sink.clear()
        new = desk.order(C.otMarket, 1, C.osdBuy)
        new.Place()
        desk.market(6900.0, 6900.25)  # the restored order still trades
        desk.sim.sync()
        assert new.GUID not in first_guids
        assert _fill_ids(desk) == [str(int(first_fills[-1]) + 1), str(int(first_fills[-1]) + 2)]
        assert desk.changes(resting)[-1][2:5] == (C.osFilled, 1, 6900.0)
        assert _position(desk) == (1, 6850.25)


def test_a_bust_is_kept_and_a_reset_starts_a_fresh_account_and_says_so(tmp_path):
    store = tmp_path / "paper.sqlite"
    cqgsim.configure(paper_store=store)
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        desk.order(C.otMarket, 3, C.osdBuy).Place()
        busted = desk.order(C.otMarket, 1, C.osdBuy)
        busted.Place()
        desk.order(C.otLimit, 1, C.osdBuy, 6800.0).Place()
        desk.sim.set_order_status(busted.GUID, "osBusted")
        desk.sim.sync()
        last_fill = _fill_ids(desk)[-1]
    assert cqgsim.describe_paper_store(store) == (
        f"Paper account #1 ({store}): 2 accounts, 1 open position, 1 working order, 2 fills, "
        "after 1 run.")
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        assert _position(desk) == (3, 6850.25)
    assert cqgsim.reset_paper_store(store) == (
        f"Paper account reset ({store}): paper account #2 starts afresh from the configured "
        "balances, flat, without orders; the old one had 1 open position, 1 working order, "
        f"2 fills. Fill ids go on from {int(last_fill) + 1}.")
    assert cqgsim.describe_paper_store(store) == (
        f"Paper account #2 ({store}): 0 accounts, 0 open positions, 0 working orders, 0 fills, "
        "after 2 runs.")
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        assert desk.account.Positions.Count == 0 and desk.cel.Orders.Count == 0
        assert desk.summary("Balance") == (1_000_000.0,)
        desk.order(C.otMarket, 1, C.osdBuy).Place()
        desk.sim.sync()
        assert _fill_ids(desk) == [str(int(last_fill) + 1)]


def test_a_file_that_is_no_paper_store_is_refused_when_configured(tmp_path):
    text = tmp_path / "notes.txt"
    text.write_text("not a database, " * 100)
    other = tmp_path / "other.sqlite"
    with sqlite3.connect(other) as db:
        db.execute("CREATE TABLE trades (id INTEGER)")
    for path, why in ((text, "file is not a database"), (other, "not a paper store")):
        with pytest.raises(cqgsim.PaperStoreError, match=why):
            cqgsim.configure(paper_store=path)
    assert cqgsim.current().paper_store is None


@pytest.mark.skipif(os.name != "posix", reason="SIGKILL")
def test_a_fill_is_in_the_store_before_its_event_even_when_the_process_is_killed(tmp_path):
    store = tmp_path / "paper.sqlite"
    child = subprocess.run([sys.executable, "-m", "tests.cqgsim.paper_child", str(store)],
                           cwd=ROOT, capture_output=True, text=True, timeout=60)
    assert child.returncode == -signal.SIGKILL, child.stderr
    fill_id, guid = re.search(r"FILL (\d+) (\S+)", child.stdout).groups()
    with sqlite3.connect(store) as db:
        assert db.execute("SELECT guid, quantity, price FROM fills WHERE fill_id = ?",
                          (fill_id,)).fetchall() == [(guid, 2, 6850.25)]
    cqgsim.configure(paper_store=store)
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        assert _position(desk) == (2, 6850.25)
        desk.order(C.otMarket, 1, C.osdSell).Place()
        desk.sim.sync()
        assert _fill_ids(desk) == [str(int(fill_id) + 1)]

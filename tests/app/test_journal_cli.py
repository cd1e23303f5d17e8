"""`zandor-trader journal`: the trader's books as CSV or a table, from the journal the
settings name; and the settings of the book of record."""
import datetime
import io
import os

import pytest

from zandor_trader.app import journal_cli
from zandor_trader.app.cli import parse_args
from zandor_trader.app.settings import journal_location
from zandor_trader.core.constants import Direction, Exchange
from zandor_trader.core.order import Deal
from zandor_trader.core.security import Security
from zandor_trader.trading.journal import Journal

ES = Security("EPZ5", Exchange.CME)


@pytest.fixture
def journal(tmp_path):
    path = str(tmp_path / "zandor-trader-100101.sqlite")
    j = Journal(path, 100101)
    for n, day in ((1, 1), (2, 2)):
        j.deal(Deal(deal_id=f"100000{n}", order_id="{A}", security=ES, direction=Direction.LONG,
                    filled_avg_price=6850.25, filled_quantity=n,
                    updated_time=datetime.datetime(2025, 12, day, 22, 30, 20)))
    j.request(1, "get_balance", "/balance")
    j.close()
    return path


def run(*argv):
    out = io.StringIO()
    code = journal_cli.main(list(argv), out)
    return code, out.getvalue()


def test_deals_as_csv_with_the_exact_header_and_times_with_their_offset(journal):
    code, out = run("--journal", journal, "deals", "--format", "csv")
    assert code == 0
    assert out.splitlines() == [
        "time,deal_id,order_id,symbol,exchange,side,quantity,price",
        "2025-12-01T22:30:20+08:00,1000001,{A},EPZ5,CME,LONG,1,6850.25",
        "2025-12-02T22:30:20+08:00,1000002,{A},EPZ5,CME,LONG,2,6850.25"]


def test_since_takes_a_date_or_a_time_with_its_offset(journal):
    _, out = run("--journal", journal, "deals", "--since", "2025-12-02T00:00:00+08:00",
                 "--format", "csv")
    assert [line.split(",")[1] for line in out.splitlines()[1:]] == ["1000002"]
    _, out = run("--journal", journal, "deals", "--since", "2025-12-03T00:00+08:00")
    assert out.splitlines()[-1] == "(0 rows)"
    with pytest.raises(SystemExit):
        run("--journal", journal, "deals", "--since", "last week")


def test_a_table_lines_up_and_counts_its_rows(journal):
    code, out = run("--journal", journal, "requests")
    lines = out.splitlines()
    assert code == 0 and lines[0].split() == ["time", "seq", "kind", "text"]
    assert lines[1].split()[1:] == ["1", "get_balance", "/balance"]
    assert lines[0].index("seq") == lines[1].index(" 1 ") + 1
    assert lines[-1] == "(1 row)"


def test_the_journal_the_settings_name(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    env = {"ZANDOR_TRADER_CONFIG": os.devnull}
    assert journal_location(environ=env) == "zandor-trader-100101.sqlite"
    assert journal_location(environ=dict(env, ZANDOR_ACCOUNT="100102")) == \
        "zandor-trader-100102.sqlite"
    assert journal_location(environ=dict(env, ZANDOR_JOURNAL="/books/j.sqlite")) == \
        "/books/j.sqlite"
    assert journal_location("mine.sqlite", environ=env) == "mine.sqlite"
    monkeypatch.setenv("ZANDOR_TRADER_CONFIG", os.devnull)
    monkeypatch.delenv("ZANDOR_JOURNAL", raising=False)
    monkeypatch.delenv("ZANDOR_ACCOUNT", raising=False)
    assert run("deals") == (1, "")
    assert "no journal at zandor-trader-100101.sqlite" in capsys.readouterr().err
    (tmp_path / "notes.txt").write_text("no database\n" * 50)
    assert run("--journal", "notes.txt", "deals") == (1, "")
    assert "notes.txt cannot be read as a journal" in capsys.readouterr().err


def test_settings_of_the_book(tmp_path):
    environ = {"ZANDOR_TRADER_CONFIG": os.devnull}
    s = parse_args(["--instruments", "EPZ5"], environ)
    assert (s.journal_path(), s.paper_store_path(), s.daily_summary, s.paper_reset) == (
        "zandor-trader-100101.sqlite", "zandor-paper.sqlite", datetime.time(16, 0), False)
    s = parse_args(["--journal", str(tmp_path / "j.sqlite"), "--daily-summary", "off",
                    "--paper-reset"], environ)
    assert s.paper_store_path() == str(tmp_path / "zandor-paper.sqlite")
    assert s.daily_summary is None and s.paper_reset is True
    s = parse_args([], dict(environ, ZANDOR_DAILY_SUMMARY="15:15",
                            ZANDOR_PAPER_STORE="/tmp/p.sqlite"))
    assert (s.daily_summary, s.paper_store_path()) == (datetime.time(15, 15), "/tmp/p.sqlite")
    with pytest.raises(SystemExit):
        parse_args(["--daily-summary", "teatime"], environ)

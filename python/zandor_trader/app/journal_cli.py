"""zandor-trader journal: the trader's books from the session's journal, as CSV or a table.

    zandor-trader journal [--journal PATH] deals|orders|requests [--since DATE] [--format csv|table]

Times are ISO 8601 with their offset (a deal's is the broker's time of the fill).
"""
import argparse
import csv
import datetime as _dt
import os
import sqlite3
import sys
from typing import List, Optional, Sequence, TextIO

from zandor_trader.app.settings import SettingsError, journal_location
from zandor_trader.trading import journal_reads
from zandor_trader.trading.journal_tables import LISTED


def since_moment(text: str) -> _dt.datetime:
    """--since: a date (from its midnight, local time) or a date and time (with or without
    an offset; without one, local time)."""
    try:
        moment = _dt.datetime.fromisoformat(text.strip())
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"not a date (YYYY-MM-DD) or an ISO 8601 time: {text!r}") from None
    return moment if moment.tzinfo is not None else moment.astimezone()


def parse_args(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="zandor-trader journal", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--journal", help="the journal (default: the session's, from the "
                                          "settings: zandor-trader-<account>.sqlite here)")
    parser.add_argument("--config", help="the settings file that names the journal or account")
    parser.add_argument("what", choices=sorted(LISTED), help="which book to list")
    parser.add_argument("--since", type=since_moment, help="only rows at or after DATE")
    parser.add_argument("--format", choices=("csv", "table"), default="table")
    return parser.parse_args(argv)


def write_csv(columns: Sequence[str], rows: List[tuple], out: TextIO) -> None:
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(columns)
    writer.writerows(["" if v is None else v for v in row] for row in rows)


def write_table(columns: Sequence[str], rows: List[tuple], out: TextIO) -> None:
    cells = [list(columns)] + [["-" if v is None else str(v) for v in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(columns))]
    for row in cells:
        out.write("  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip() + "\n")
    out.write(f"({len(rows)} {'row' if len(rows) == 1 else 'rows'})\n")


def main(argv: Sequence[str], out: Optional[TextIO] = None) -> int:
    args = parse_args(argv)
    out = out or sys.stdout
    try:
        path = journal_location(args.journal, config_path=args.config)
    except SettingsError as exc:
        print(f"zandor-trader journal: {exc}", file=sys.stderr)
        return 2
    if not os.path.isfile(path):
        print(f"zandor-trader journal: no journal at {path} (--journal names one)",
              file=sys.stderr)
        return 1
    try:
        rows = journal_reads.listing(path, args.what, args.since)
    except sqlite3.Error as exc:
        print(f"zandor-trader journal: {path} cannot be read as a journal: {exc}",
              file=sys.stderr)
        return 1
    (write_csv if args.format == "csv" else write_table)(LISTED[args.what], rows, out)
    return 0

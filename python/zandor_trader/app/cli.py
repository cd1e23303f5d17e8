"""zandor-trader (python -m zandor_trader): a live trading session on the CQG component.

The session logs on, follows the instruments and the account, and serves the operator's
commands from the chat (/balance, /positions, /orders, /deals, /send_order, /buy, /sell,
/cancel, /replace, /cancel_order, /cancel_orders, /close_positions, /flatten, /risk, /halt,
/resume, /pnl, /chart, /stop; /sim to rehearse a failure on the simulated broker). It runs
until /stop, --minutes, or Ctrl-C.

Settings come from the settings file (--config, ZANDOR_TRADER_CONFIG, or zandor_trader.ini),
then ZANDOR_* environment variables, then these options. The gateway password
(ZANDOR_PASSWORD) and the bot token (ZANDOR_TELEGRAM_TOKEN) are taken from the environment
or the settings file only.

zandor-trader journal [--journal PATH] deals|orders|requests [--since DATE]
[--format csv|table] lists the session's book of record.
"""
import argparse
import math
import sys

from zandor_trader.app.session import run
from zandor_trader.app.settings import BROKERS, SettingsError, load


def _positive(kind):
    def parse(text: str):
        value = kind(text)
        if not math.isfinite(value) or value <= 0:  # nan and inf too: no time is that long
            raise argparse.ArgumentTypeError(f"must be a positive number, not {text}")
        return value
    return parse


def _not_negative(text: str) -> float:
    value = float(text)
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"must be a number of at least 0, not {text}")
    return value


def _port(text: str) -> int:
    value = int(text)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"must be a port number from 0 to 65535, not {text}")
    return value


def _instruments(text: str):
    names = tuple(name.strip() for name in text.split(",") if name.strip())
    if not names:
        raise argparse.ArgumentTypeError("give at least one instrument")
    return names


# (option, settings name, type, help); every default is None: "not given here".
OPTIONS = (
    ("--config", "config", str, "the settings file (default: ZANDOR_TRADER_CONFIG, else "
                                "zandor_trader.ini when there is one)"),
    ("--broker", "broker", str, f"{' or '.join(BROKERS)}: the simulated component or the one "
                                "registered under the ProgID (default: cel on Windows, else sim)"),
    ("--progid", "progid", str, "ProgID of the broker's component (default CQG.CQGCEL.4)"),
    ("--instruments", "instruments", _instruments, "CQG symbols to follow, SYM,SYM"),
    ("--account", "account", int, "gateway account id"),
    ("--user", "user", str, "gateway user name"),
    ("--max-order-quantity", "max_order_quantity", _positive(int),
     "largest quantity of one order (default 10)"),
    ("--max-position", "max_position", _positive(int),
     "largest position in one instrument, long or short (default 20)"),
    ("--price-band", "price_band", str,
     "percent of the last price a limit or stop price may be off (default 5)"),
    ("--max-daily-loss", "max_daily_loss", str,
     "money the trading day may lose, realized and open, before only orders that reduce risk "
     "are taken (default off)"),
    ("--flatten-on-loss", "flatten_on_loss", str,
     "yes: flatten the account when the daily loss limit is reached (default no)"),
    ("--confirm-above", "confirm_above", str,
     "an order of more contracts than this waits for the operator's Confirm (default off)"),
    ("--stale-after", "stale_after", _not_negative,
     "seconds without market data before the operator is told (default 120; 0: never)"),
    ("--minutes", "minutes", _positive(float),
     "end the session after this many minutes (default: run until /stop)"),
    ("--seed", "seed", int, "random seed of the simulated market (default: a new one each run, printed at the start)"),
    ("--speed", "speed", _not_negative, "simulated seconds per real second (default 10)"),
    ("--sim-chaos", "sim_chaos", str, "failure drills fired at random on the simulated broker, "
                                      "this many an hour of real time on average (default 0: "
                                      "none)"),
    ("--bars", "bars", _positive(int), "one-minute bars kept per instrument, what /chart can draw "
                                         "(default 240)"),
    ("--refresh", "refresh", _positive(float),
     "seconds between balance and position refreshes of the display (default 5)"),
    ("--log", "log_file", str, "also append every trace line, whole, to FILE"),
    ("--bot-port", "bot_port", _port,
     "port of the local Bot API server (0: any free one), which then also serves its control "
     "interface: another process may play the operator with the control token, written to a "
     "file only you can read (its path is printed); without this option the server takes any "
     "free port and serves no control interface"),
    ("--journal", "journal", str, "the journal (default: zandor-trader-<account>.sqlite here)"),
    ("--paper-store", "paper_store", str, "the simulated broker's accounts (default: "
                                          "zandor-paper.sqlite beside the journal)"),
    ("--daily-summary", "daily_summary", str, "exchange time of the trading day's close, when "
                                              "its summary is sent, or off (default 16:00)"),
)


def parse_args(argv=None, environ=None):
    parser = argparse.ArgumentParser(
        prog="zandor-trader", description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    for option, name, kind, text in OPTIONS:
        parser.add_argument(option, dest=name, type=kind, default=None, help=text)
    parser.add_argument("--plain", action="store_true", default=None,
                        help="no live display: the chat on standard output, trace lines among it in "
                             "short form")
    parser.add_argument("--paper-reset", dest="paper_reset", action="store_true", default=None,
                        help="start a fresh paper account on the simulated broker's store")
    args = parser.parse_args(argv)
    options = vars(args)
    if options.get("price_band") is not None:
        options["price_band"] = _price_band(parser, options["price_band"])
    try:
        return load(options, environ)
    except SettingsError as exc:
        parser.error(str(exc))


def _price_band(parser, text):
    from decimal import Decimal, InvalidOperation

    try:
        value = Decimal(text)
    except InvalidOperation:
        value = Decimal("NaN")
    if not value.is_finite() or value <= 0:
        parser.error(f"argument --price-band: must be a positive number, not {text}")
    return value


def main(argv=None) -> int:
    args = sys.argv[1:] if argv is None else list(argv)
    if args[:1] == ["journal"]:
        from zandor_trader.app.journal_cli import main as journal_main
        return journal_main(args[1:])
    return run(parse_args(args))

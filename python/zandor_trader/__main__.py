"""zandor-trader (python -m zandor_trader): a live trading session on the simulated CQG component.

The session logs on, follows a few instruments and the account, and serves the operator's
commands from the chat (/balance, /positions, /orders, /deals, /send_order, /cancel_order,
/cancel_orders, /close_positions, /stop). It runs until /stop, --minutes, or Ctrl-C.
"""
import argparse
import sys

from zandor_trader.session import Settings, run, securities_for


def _instruments(text: str):
    names = [name.strip() for name in text.split(",") if name.strip()]
    if not names:
        raise argparse.ArgumentTypeError("give at least one instrument")
    return names


def _positive(kind):
    def parse(text: str):
        value = kind(text)
        if value <= 0:
            raise argparse.ArgumentTypeError(f"must be positive, not {text}")
        return value
    return parse


def _not_negative(text: str) -> float:
    value = float(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, not {text}")
    return value


def parse_args(argv=None) -> Settings:
    d = Settings()
    parser = argparse.ArgumentParser(
        prog="zandor-trader", description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--instruments", type=_instruments, default=list(d.instruments),
                        metavar="SYM,SYM", help="CQG symbols to follow (default: %(default)s)")
    parser.add_argument("--minutes", type=_positive(float), default=None,
                        help="end the session after this many minutes (default: run until /stop)")
    parser.add_argument("--seed", type=int, default=d.seed,
                        help="random seed of the simulated market (default: a new one each "
                             "run, printed at the start)")
    parser.add_argument("--speed", type=_not_negative, default=d.speed,
                        help="simulated seconds per real second (default: %(default)s)")
    parser.add_argument("--plain", action="store_true",
                        help="no live display: trace lines and the chat on standard output")
    parser.add_argument("--account", type=int, default=d.account,
                        help="gateway account id (default: %(default)s)")
    parser.add_argument("--user", default=d.user, help="gateway user name")
    parser.add_argument("--password", default=d.password, help="gateway password")
    parser.add_argument("--bars", type=_positive(int), default=d.bars,
                        help="one-minute bars kept per instrument (default: %(default)s)")
    parser.add_argument("--refresh", type=_positive(float), default=d.refresh,
                        help="seconds between balance and position refreshes of the display "
                             "(default: %(default)s)")
    parser.add_argument("--log", dest="log_file", default=None, metavar="FILE",
                        help="also append the trace lines to FILE (display mode)")
    parser.add_argument("--bot-port", type=int, default=d.bot_port,
                        help="port of the local Bot API server (default: any free port)")
    args = parser.parse_args(argv)
    try:
        securities_for(args.instruments)
    except ValueError as exc:
        parser.error(str(exc))
    return Settings(**vars(args))


def main(argv=None) -> int:
    return run(parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())

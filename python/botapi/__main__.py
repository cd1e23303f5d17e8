"""Runs the local Bot API server until interrupted: python -m botapi [--port N] [--flood]."""
import argparse
import signal
import threading

from .flood import FloodLimit
from .server import BotApiServer


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m botapi", description=__doc__)
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free)")
    parser.add_argument("--username", default="zandor_trader_bot", help="the bots' user name")
    parser.add_argument("--max-poll-timeout", type=float, default=1.0,
                        help="longest wait of a long poll, in seconds")
    parser.add_argument("--flood", action="store_true",
                        help="answer sends over the flood limit with 429, as Telegram does")
    parser.add_argument("--chat-rate", type=float, default=1.0,
                        help="with --flood: messages a second to one chat")
    parser.add_argument("--overall-rate", type=float, default=30.0,
                        help="with --flood: messages a second in all")
    parser.add_argument("--retry-after", type=float, default=None,
                        help="with --flood: the retry_after answered (default: the time "
                             "until a send would pass, in whole seconds)")
    args = parser.parse_args(argv)
    flood = FloodLimit(per_chat=args.chat_rate, overall=args.overall_rate,
                       retry_after=args.retry_after) if args.flood else None
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    with BotApiServer(username=args.username, port=args.port,
                      max_poll_timeout=args.max_poll_timeout, flood=flood) as server:
        print(f"ZANDOR_TELEGRAM_BASE_URL={server.base_url}", flush=True)
        print(f"control: {server.control_url}", flush=True)
        done.wait()


if __name__ == "__main__":
    main()

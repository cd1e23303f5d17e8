"""Runs the local Bot API server until interrupted: python -m botapi [--port N] [--flood]
[--control MODE]."""
import argparse
import dataclasses
import signal
import threading

from .flood import FloodLimit
from .server import BotApiServer

_CONTROL_MODES = {"bot-token": None, "token": True, "off": False}
_FLOOD_DEFAULTS = {f.name: f.default for f in dataclasses.fields(FloodLimit)}


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m botapi", description=__doc__)
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free)")
    parser.add_argument("--username", default="zandor_trader_bot", help="the bots' user name")
    parser.add_argument("--max-poll-timeout", type=float, default=1.0,
                        help="longest wait of a long poll, in seconds")
    parser.add_argument("--control", choices=_CONTROL_MODES, default="bot-token",
                        help="the control interface: 'token' takes only a random control "
                             "token, written to a file only you can read (its path is "
                             "printed); 'bot-token' (the default) also a bot's own token, "
                             "acting on that bot; 'off' serves none")
    parser.add_argument("--control-dir", default=None,
                        help="with --control token: the directory of the token's file "
                             "(default: a private temporary one)")
    parser.add_argument("--flood", action="store_true",
                        help="answer sends over the flood limit with 429, as Telegram does")
    parser.add_argument("--chat-rate", type=float, default=_FLOOD_DEFAULTS["per_chat"],
                        help="with --flood: messages a second to one chat")
    parser.add_argument("--chat-burst", type=int, default=_FLOOD_DEFAULTS["chat_burst"],
                        help="with --flood: messages to one chat at once before the rate")
    parser.add_argument("--overall-rate", type=float, default=_FLOOD_DEFAULTS["overall"],
                        help="with --flood: messages a second in all")
    parser.add_argument("--retry-after", type=float, default=None,
                        help="with --flood: the retry_after answered (default: the time "
                             "until a send would pass, in whole seconds)")
    args = parser.parse_args(argv)
    try:
        flood = FloodLimit(per_chat=args.chat_rate, chat_burst=args.chat_burst,
                           overall=args.overall_rate,
                           retry_after=args.retry_after) if args.flood else None
    except ValueError as exc:
        parser.error(str(exc))
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    with BotApiServer(username=args.username, port=args.port,
                      max_poll_timeout=args.max_poll_timeout, flood=flood,
                      control=_CONTROL_MODES[args.control]) as server:
        print(f"ZANDOR_TELEGRAM_BASE_URL={server.base_url}", flush=True)
        if args.control == "token":
            path = server.write_control_token(args.control_dir)
            print(f"control: {server.control_url} (token in {path})", flush=True)
        elif args.control == "bot-token":
            print(f"control: {server.control_url}", flush=True)
        else:
            print("control: off", flush=True)
        done.wait()


if __name__ == "__main__":
    main()

"""Checks the type stubs of the native modules against the modules as built: mypy's stubtest
over Ambrel, vantor, bot and comsim. The bot module starts polling when it loads, so a local
Bot API server is started first and the bot is closed at the end.

    python .ci/stubtest.py [stubtest options]

Run it with the interpreter of an environment where the package (and mypy) is installed, or
in the tree after an in-place build with PYTHONPATH and MYPYPATH set to python:python/combridge.
"""
import os
import sys

MODULES = [
    "zandor_trader.gateways.cqg.wrapper.Ambrel",
    "zandor_trader.gateways.cqg.wrapper.vantor",
    "zandor_trader.plugins.telegram.bot",
    "comsim",
]
TOKEN = "1000:stubtest"


def main() -> int:
    from botapi import BotApiServer
    from mypy import stubtest

    with BotApiServer(token=TOKEN) as server:
        for name in ("HTTPS_PROXY", "https_proxy"):
            os.environ.pop(name, None)
        os.environ.update(ZANDOR_TELEGRAM_BASE_URL=server.base_url, ZANDOR_TELEGRAM_TOKEN=TOKEN,
                          ZANDOR_TELEGRAM_CHAT_ID="1", ZANDOR_TRADER_CONFIG=os.devnull)
        try:
            return stubtest.test_stubs(stubtest.parse_options(MODULES + sys.argv[1:]))
        finally:
            bot = sys.modules.get("zandor_trader.plugins.telegram.bot")
            if bot is not None:
                bot.bot.close()


if __name__ == "__main__":
    sys.exit(main())

"""The application: the one place where the parts are made, wired together and run.

The settings (`settings`, with the secrets kept out of every output by `secrecy`) come from
the settings file, the environment and the command line (`cli`, behind `python -m
zandor_trader` and `zandor-trader`). A `session.Session` starts the component environment
through the CQG gateway, the trading engine, the operator bot on the Bot API it chooses
(`bot_api`, loaded by `bot_loader`, with the session's callbacks added by `bot_hooks`), the
chat and, on a terminal, the console; it runs the engine on the gateway's thread and closes
every part in reverse order. On the simulated broker, `sim_broker` sets up its market and
clock and runs the failure drills.
"""
from zandor_trader.app.cli import main, parse_args
from zandor_trader.app.session import Session, run
from zandor_trader.app.settings import Settings, SettingsError, load

__all__ = ["Session", "Settings", "SettingsError", "load", "main", "parse_args", "run"]

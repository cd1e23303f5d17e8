"""The operator's Telegram bot. Loading the module builds `bot` and starts polling.

Command handlers raise request flags and leave their parameters on the bot object; the
trading engine reads and lowers them through the TelegramBot properties and answers with
TelegramBot.send_message. Only the configured chat is served.
"""
from typing import Any, Callable, TypeAlias, TypeVar

from typing_extensions import disjoint_base

from telegram import Update
from telegram.ext import CallbackContext, ExtBot, Updater

# The callback context of python-telegram-bot 13 with its default (dict) data types.
_Context: TypeAlias = CallbackContext[dict[Any, Any], dict[Any, Any], dict[Any, Any]]

_T = TypeVar("_T")

# Read from zandor_trader_config when the module loads.
TELEGRAM_TOKEN: str
TELEGRAM_CHAT_ID: int | None
TELEGRAM_BASE_URL: str | None

class CustomedExtBot(ExtBot):
    """The Telegram client's bot, also carrying the request fields that the command handlers
    raise and the trading engine serves."""

    zandor_trader_status: str

@disjoint_base
class TelegramBot:
    """The polling client and the sixteen request fields it shares with the trading engine.

    Flags read back as bool; their setters take any object and store its truth value.
    """

    def __init__(self, token: str) -> None: ...
    @property
    def updater(self) -> Updater[_Context, dict[Any, Any], dict[Any, Any], dict[Any, Any]]: ...
    updates: list[Update]  # set by get_updates
    @property
    def zandor_trader_status(self) -> str: ...
    @zandor_trader_status.setter
    def zandor_trader_status(self, val: str) -> None: ...
    @property
    def get_balance(self) -> bool: ...
    @get_balance.setter
    def get_balance(self, val: object) -> None: ...
    @property
    def get_positions(self) -> bool: ...
    @get_positions.setter
    def get_positions(self, val: object) -> None: ...
    @property
    def get_orders(self) -> bool: ...
    @get_orders.setter
    def get_orders(self, val: object) -> None: ...
    @property
    def active_orders(self) -> bool: ...
    @active_orders.setter
    def active_orders(self, val: object) -> None: ...
    @property
    def num_orders_displayed(self) -> int: ...
    @num_orders_displayed.setter
    def num_orders_displayed(self, val: int) -> None: ...
    @property
    def get_deals(self) -> bool: ...
    @get_deals.setter
    def get_deals(self, val: object) -> None: ...
    @property
    def num_deals_displayed(self) -> int: ...
    @num_deals_displayed.setter
    def num_deals_displayed(self, val: int) -> None: ...
    @property
    def cancel_order(self) -> bool: ...
    @cancel_order.setter
    def cancel_order(self, val: object) -> None: ...
    @property
    def cancel_order_id(self) -> str | None: ...
    @cancel_order_id.setter
    def cancel_order_id(self, val: str | None) -> None: ...
    @property
    def gateway_name(self) -> str | None: ...
    @gateway_name.setter
    def gateway_name(self, val: str | None) -> None: ...
    @property
    def cancel_orders(self) -> bool: ...
    @cancel_orders.setter
    def cancel_orders(self, val: object) -> None: ...
    @property
    def send_order(self) -> bool: ...
    @send_order.setter
    def send_order(self, val: object) -> None: ...
    @property
    def order_string(self) -> str: ...
    @order_string.setter
    def order_string(self, val: str) -> None: ...
    @property
    def close_positions(self) -> bool: ...
    @close_positions.setter
    def close_positions(self, val: object) -> None: ...
    @property
    def close_positions_gateway_name(self) -> str | None: ...
    @close_positions_gateway_name.setter
    def close_positions_gateway_name(self, val: str | None) -> None: ...
    def close(self) -> None:
        """Stop polling and dispatching. The fields keep their values."""

    def get_updates(self) -> None:
        """Fetch the pending updates into `updates` and print the first."""

    def get_chat_id(self) -> int:
        """The user id of the sender of the first pending update."""

    def send_message(self, msg: str, chat_id: int = ...) -> None:
        """Send `msg` to the chat `chat_id` (default TELEGRAM_CHAT_ID), split at line breaks
        when it is longer than one message may be. Paced to Telegram's flood limits (see
        pace_sends), in turn with the command handlers' replies; a message answered "retry
        after N" is sent again N seconds later; one given up is reported on a printed line
        and its RetryAfter raised."""

    def send_paced(self, send: Callable[[], _T], chat_id: int = ...) -> _T:
        """Call `send()`, which sends one message of any kind to the chat `chat_id` through
        the client (updater.bot), in turn with send_message's messages and counted against
        the same flood limits; after a "retry after N" it is called again N seconds later.
        Returns what send() returned; a message given up is reported on a printed line and
        its error raised."""

    def pace_sends(self, chat_rate: float | None = None, chat_burst: float | None = None,
                   total_rate: float | None = None,
                   total_burst: float | None = None) -> dict[str, float]:
        """Set how fast send_message sends: rate messages a second after a burst, to one
        chat and in all (a rate of 0: no limit; None keeps the current value). Returns the
        limits in force; by default 1 a second after 3 to a chat, and 30 a second in all."""

bot: TelegramBot

# The command handlers, as the dispatcher calls them.
def stop(update: Update, context: _Context) -> None: ...
def balance(update: Update, context: _Context) -> None: ...
def positions(update: Update, context: _Context) -> None: ...
def orders(update: Update, context: _Context) -> None: ...
def deals(update: Update, context: _Context) -> None: ...
def cancel_order(update: Update, context: _Context) -> None: ...
def cancel_orders(update: Update, context: _Context) -> None: ...
def send_order(update: Update, context: _Context) -> None: ...
def close_positions(update: Update, context: _Context) -> None: ...
def echo(update: Update, context: _Context) -> None: ...
def help(update: Update, context: _Context) -> None: ...

def error_handler(update: object, context: _Context) -> None:
    """The dispatcher's error handler, registered by TelegramBot: prints context.error on one
    line, naming its type and the message being handled (the bot's token blanked), instead of
    the client library's traceback. A host that wants its own takes this one off with
    dispatcher.remove_error_handler(error_handler) (or clears dispatcher.error_handlers)."""

# Runs ahead of the handlers: stops every update that is not a new message of the operator's chat.
def _operator_chat_only(update: Update, context: _Context) -> None: ...

# `python -m zandor_trader.plugins.telegram`: "Yes I am here!" to the operator, close, "Closed.".
def _self_test() -> None: ...

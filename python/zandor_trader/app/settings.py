"""The session's settings, made from the settings file, ZANDOR_* environment variables and
the command line (each over the one before), then passed to the parts that need them.

Nothing is read when this module is imported. Secrets (the gateway password, the bot token)
come from the environment or the settings file only, never from the command line, and are
held as `Secret` values whose text forms hide them.

The settings file is an INI file named by ``ZANDOR_TRADER_CONFIG`` (or ``--config``), else
``zandor_trader.ini`` in the working directory when there is one. Its section
``[zandor_trader]`` takes the keys of SOURCES; a section ``[instrument SYMBOL]`` describes one
instrument (keys of INSTRUMENT_KEYS).
"""
import configparser
import datetime as _dt
import os
from dataclasses import dataclass, field, replace
from decimal import Decimal
from typing import TYPE_CHECKING, Callable, Dict, Mapping, Optional, Tuple, TypedDict, cast

from zandor_trader.app import conversions as conv
from zandor_trader.app.secrecy import Secret
from zandor_trader.trading.pretrade import Limits

if TYPE_CHECKING:
    from zandor_trader.core.security import Security

SECTION = "zandor_trader"
INSTRUMENT_SECTION = "instrument "
DEFAULT_FILE = "zandor_trader.ini"
PROGID = "CQG.CQGCEL.4"
BROKERS = ("sim", "cel")
# What the simulated broker is given when the settings name nothing else.
SIM_DEFAULTS = {"instruments": ("EPZ5", "ENQZ5", "CLEF6"), "account": 100101,
                "user": "operator", "password": Secret("simulated")}
PAPER_STORE = "zandor-paper.sqlite"  # the simulated broker's accounts, beside the journal
DAILY_CLOSE = _dt.time(16, 0)


class SettingsError(ValueError):
    """The settings are incomplete or wrong; the message says which and how to mend it."""


@dataclass(frozen=True)
class Instrument:
    symbol: str                       # the CQG symbol
    security: str                     # the host's security code
    exchange: str                     # a value of core.constants.Exchange
    description: str = ""
    tick_size: Optional[Decimal] = None  # None: as the component reports it
    max_position: Optional[int] = None   # None: Limits.max_position


@dataclass
class Settings:
    broker: str = "sim"
    progid: str = PROGID
    instruments: Tuple[Instrument, ...] = ()
    account: Optional[int] = None
    user: Optional[str] = None
    password: Optional[Secret] = field(default=None, repr=False)
    telegram_token: Optional[Secret] = field(default=None, repr=False)
    telegram_chat_id: Optional[int] = None
    telegram_base_url: Optional[str] = None
    limits: Limits = Limits()
    stale_after: float = 120.0  # seconds without market data before the operator is told
    minutes: Optional[float] = None
    seed: Optional[int] = None  # the simulated market's; None: a new one each run
    speed: float = 10.0
    sim_chaos: float = 0.0  # drills an hour at random on the simulated broker; 0: none
    plain: bool = False
    bars: int = 240  # one-minute bars kept per instrument: what /chart can draw
    refresh: float = 5.0
    log_file: Optional[str] = None
    bot_port: Optional[int] = None  # the local server's port, and its control interface
    journal: Optional[str] = None  # None: zandor-trader-<account>.sqlite here
    paper_store: Optional[str] = None  # None: PAPER_STORE beside the journal
    paper_reset: bool = False
    daily_summary: Optional[_dt.time] = DAILY_CLOSE  # exchange time; None: no summary

    @property
    def symbols(self) -> Tuple[str, ...]:
        return tuple(i.symbol for i in self.instruments)

    def journal_path(self) -> str:
        return self.journal or journal_file(self.account)

    def paper_store_path(self) -> str:
        return self.paper_store or os.path.join(os.path.dirname(self.journal_path()), PAPER_STORE)


# What the conversions and the command line give, by name, for the fields of Settings (other
# than broker, instruments and limits), of Limits, and of an Instrument (other than symbol).
class _SettingValues(TypedDict, total=False):
    progid: str
    account: Optional[int]
    user: Optional[str]
    password: Optional[Secret]
    telegram_token: Optional[Secret]
    telegram_chat_id: Optional[int]
    telegram_base_url: Optional[str]
    stale_after: float
    minutes: Optional[float]
    seed: Optional[int]
    speed: float
    sim_chaos: float
    plain: bool
    bars: int
    refresh: float
    log_file: Optional[str]
    bot_port: Optional[int]
    journal: Optional[str]
    paper_store: Optional[str]
    paper_reset: bool
    daily_summary: Optional[_dt.time]


class _LimitValues(TypedDict, total=False):
    max_order_quantity: int
    max_position: int
    price_band: Decimal
    max_daily_loss: Optional[Decimal]
    flatten_on_loss: bool
    confirm_above: Optional[int]


class _InstrumentValues(TypedDict, total=False):
    security: str
    exchange: str
    description: str
    tick_size: Optional[Decimal]
    max_position: Optional[int]


# Settings that the file and the environment can give: name -> (environment variable, key in
# the file's [zandor_trader] section, conversion). The command line gives the same names,
# except the secrets.
SOURCES: Dict[str, Tuple[str, str, Callable[[str], object]]] = {
    "broker": ("ZANDOR_BROKER", "broker", conv.choice(BROKERS)),
    "progid": ("ZANDOR_PROGID", "progid", conv.text),
    "instruments": ("ZANDOR_INSTRUMENTS", "instruments", conv.symbols),
    "account": ("ZANDOR_ACCOUNT", "account", conv.whole(0)),
    "user": ("ZANDOR_USER", "user", conv.text),
    "password": ("ZANDOR_PASSWORD", "password", conv.secret),
    "telegram_token": ("ZANDOR_TELEGRAM_TOKEN", "telegram_token", conv.secret),
    "telegram_chat_id": ("ZANDOR_TELEGRAM_CHAT_ID", "telegram_chat_id", conv.integer),
    "telegram_base_url": ("ZANDOR_TELEGRAM_BASE_URL", "telegram_base_url", conv.text),
    "max_order_quantity": ("ZANDOR_MAX_ORDER_QUANTITY", "max_order_quantity", conv.whole(1)),
    "max_position": ("ZANDOR_MAX_POSITION", "max_position", conv.whole(1)),
    "price_band": ("ZANDOR_PRICE_BAND", "price_band", conv.decimal),
    "max_daily_loss": ("ZANDOR_MAX_DAILY_LOSS", "max_daily_loss", conv.money_or_off),
    "flatten_on_loss": ("ZANDOR_FLATTEN_ON_LOSS", "flatten_on_loss", conv.yes_no),
    "confirm_above": ("ZANDOR_CONFIRM_ABOVE", "confirm_above", conv.count_or_off),
    "stale_after": ("ZANDOR_STALE_AFTER", "stale_after", conv.number(0)),
    "seed": ("ZANDOR_SEED", "seed", conv.integer),
    "speed": ("ZANDOR_SPEED", "speed", conv.number(0)),
    "sim_chaos": ("ZANDOR_SIM_CHAOS", "sim_chaos", conv.number(0)),
    "bars": ("ZANDOR_BARS", "bars", conv.whole(1)),
    "refresh": ("ZANDOR_REFRESH", "refresh", conv.number(0, above=True)),
    "journal": ("ZANDOR_JOURNAL", "journal", conv.text),
    "paper_store": ("ZANDOR_PAPER_STORE", "paper_store", conv.text),
    "daily_summary": ("ZANDOR_DAILY_SUMMARY", "daily_summary", conv.daily),
}
SECRETS = ("password", "telegram_token")
LIMITS = ("max_order_quantity", "max_position", "price_band", "max_daily_loss",
          "flatten_on_loss", "confirm_above")
# Keys of an [instrument SYMBOL] section, with their conversions.
INSTRUMENT_KEYS: Dict[str, Callable[[str], object]] = {
    "security": conv.text, "exchange": lambda v: conv.text(v).upper(), "description": str.strip,
    "tick_size": conv.decimal, "max_position": conv.whole(1)}


def settings_file(environ: Mapping[str, str], path: Optional[str] = None) -> Optional[str]:
    """The settings file to read: the one named, else ZANDOR_TRADER_CONFIG, else
    zandor_trader.ini when there is one."""
    path = path or environ.get("ZANDOR_TRADER_CONFIG")
    if path:
        return path
    return DEFAULT_FILE if os.path.exists(DEFAULT_FILE) else None


def read_file(path: Optional[str]) -> configparser.ConfigParser:
    parser = configparser.ConfigParser(interpolation=None)
    if path is None or path == os.devnull:
        return parser
    try:
        with open(path, encoding="utf-8") as f:
            parser.read_file(f, source=path)
    except OSError as exc:
        raise SettingsError(f"cannot read the settings file {path}: {exc.strerror}") from None
    except configparser.Error as exc:
        raise SettingsError(f"the settings file {path} is malformed: {_malformed(exc)}") from None
    return parser


def _malformed(exc: configparser.Error) -> str:
    """What is wrong with the file, by line number: never the line itself, which may hold a
    secret (a password written without its '=')."""
    if isinstance(exc, configparser.MissingSectionHeaderError):
        return f"line {exc.lineno} comes before any section header such as [{SECTION}]"
    if isinstance(exc, configparser.ParsingError):
        lines = ", ".join(str(number) for number, _ in exc.errors)
        return f"line {lines} is not 'key = value' (nor a section header or a comment)"
    if isinstance(exc, configparser.DuplicateSectionError):
        return f"section [{exc.section}] is there twice (line {exc.lineno})"
    if isinstance(exc, configparser.DuplicateOptionError):
        return f"key '{exc.option}' is twice in [{exc.section}] (line {exc.lineno})"
    return type(exc).__name__


def journal_file(account) -> str:
    """The journal of `account` when none is named: in the working directory."""
    return f"zandor-trader-{account}.sqlite"


def journal_location(journal: Optional[str] = None, environ: Optional[Mapping[str, str]] = None,
                     config_path: Optional[str] = None) -> str:
    """The journal a reader of it means: the one named, else the `journal` setting, else
    the account's (the account setting, else the simulated broker's)."""
    if journal:
        return journal
    environ = os.environ if environ is None else environ
    parser = read_file(settings_file(environ, config_path))
    section = parser[SECTION] if parser.has_section(SECTION) else {}
    named = environ.get("ZANDOR_JOURNAL") or section.get("journal")
    if named:
        return named.strip()
    account = environ.get("ZANDOR_ACCOUNT") or section.get("account") or SIM_DEFAULTS["account"]
    return journal_file(str(account).strip())


def default_broker() -> str:
    """The real component on Windows; the simulated one wherever the stand-ins are."""
    return "cel" if os.name == "nt" else "sim"


def load(options: Optional[Mapping[str, object]] = None,
         environ: Optional[Mapping[str, str]] = None,
         config_path: Optional[str] = None, catalogue=None) -> Settings:
    """Settings from the command-line `options` (name -> value, None where not given), over
    `environ` (default os.environ), over the settings file. `catalogue(symbol)` gives what
    the simulated broker knows of an instrument (default: its catalogue)."""
    environ = os.environ if environ is None else environ
    options = dict(options or {})
    for name in SECRETS:
        if options.get(name) is not None:
            raise SettingsError(f"the {name} is not taken from the command line: set "
                                f"{SOURCES[name][0]} or '{SOURCES[name][1]}' in the settings file")
    config_option = options.pop("config", None)
    if config_option is not None and not isinstance(config_option, str):
        raise TypeError(f"the settings file's name must be a str, not {config_option!r}")
    path = settings_file(environ, config_path or config_option)
    parser = read_file(path)
    section = parser[SECTION] if parser.has_section(SECTION) else {}
    where = f"in {path}" if path else ""
    known_keys = {key for _, key, _ in SOURCES.values()}
    unknown = [key for key in section if key not in known_keys]
    if unknown:  # a misspelt limit must not leave the default in force unnoticed
        raise SettingsError(f"[{SECTION}] {where}: unknown key '{unknown[0]}' "
                            f"(keys: {', '.join(sorted(known_keys))})")

    values: Dict[str, object] = {}
    for name, (variable, key, convert) in SOURCES.items():
        given = options.get(name)
        if given is not None:
            try:
                values[name] = convert(given) if isinstance(given, str) else given
            except ValueError as exc:
                raise SettingsError(f"--{name.replace('_', '-')}: {given!r} {exc}") from None
            continue
        for origin, raw, from_file in ((variable, environ.get(variable), False),
                                       (f"'{key}' {where}", section.get(key), True)):
            if raw is None or raw == "":
                continue
            try:
                values[name] = convert(raw)
            except ValueError as exc:
                # A value of the file is not repeated: a mistake there may have put a secret
                # on that line (a password as an indented line under the key before).
                shown = "(hidden)" if name in SECRETS else "its value" if from_file else repr(raw)
                raise SettingsError(f"{origin}: {shown} {exc}") from None
            break

    broker = values.pop("broker", None) or default_broker()
    if broker == "sim" and os.name == "nt":
        raise SettingsError("the simulated broker is not available on Windows: use --broker cel")
    if values.get("sim_chaos"):
        if broker != "sim":
            raise SettingsError("sim_chaos: failure drills run on the simulated broker only, "
                                f"not on {broker}")
        if values.get("speed") == 0:
            raise SettingsError("sim_chaos: the simulated clock stands still (speed 0), so "
                                "no drill would ever fire")
    if broker == "sim":
        for name, default in SIM_DEFAULTS.items():
            values.setdefault(name, default)
    missing = [n for n in ("instruments", "account", "user", "password") if n not in values]
    if missing:
        hints = "; ".join(f"{n}: {SOURCES[n][0]} or '{SOURCES[n][1]}' in the settings file"
                          + ("" if n in SECRETS else f" or --{n}") for n in missing)
        raise SettingsError(f"the {broker} broker needs these settings: {hints}")

    if broker == "sim" and catalogue is None:
        from cqgsim import catalogue as sim_catalogue
        catalogue = sim_catalogue.find
    symbols = values.pop("instruments")
    limits = {n: values.pop(n) for n in LIMITS if n in values}
    for name, value in options.items():
        if name not in SOURCES and value is not None:
            values[name] = value
    # Each value was made by its name's conversion, given by the caller as the field takes it,
    # or is a default of SIM_DEFAULTS: this is where they take their types.
    names = cast(Tuple[str, ...], symbols)
    instruments = tuple(_instrument(symbol, parser, catalogue if broker == "sim" else None, where)
                        for symbol in names)
    _refuse_duplicates(names, instruments)
    return Settings(broker=cast(str, broker), instruments=instruments,
                    limits=replace(Limits(), **cast(_LimitValues, limits)),
                    **cast(_SettingValues, values))


def _instrument(symbol: str, parser: configparser.ConfigParser, catalogue, where: str) -> Instrument:
    name = INSTRUMENT_SECTION + symbol
    given: Dict[str, object] = {}
    if parser.has_section(name):
        for key, raw in parser[name].items():
            convert = INSTRUMENT_KEYS.get(key)
            if convert is None:
                raise SettingsError(f"[{name}] {where}: unknown key '{key}' "
                                    f"(keys: {', '.join(INSTRUMENT_KEYS)})")
            try:
                given[key] = convert(raw)
            except ValueError as exc:
                raise SettingsError(f"[{name}] {where}: '{key}': its value {exc}") from None
    spec = catalogue(symbol) if catalogue is not None else None
    if spec is not None:  # the simulated broker's own details, where the settings say nothing
        symbol = spec.symbol
        given.setdefault("exchange", spec.exchange)
        given.setdefault("description", spec.description)
        given.setdefault("tick_size", Decimal(repr(spec.tick_size)))
    if "exchange" not in given:
        raise SettingsError(f"instrument {symbol} needs its exchange: add a section "
                            f"[{name}] with 'exchange = ...' to the settings file")
    from zandor_trader.core.constants import Exchange
    known = [e.value for e in Exchange if e is not Exchange.OTHER]
    if given["exchange"] not in known:
        raise SettingsError(f"instrument {symbol}: exchange {given['exchange']!r} is not one "
                            f"of {', '.join(known)}")
    given.setdefault("security", symbol)
    # Each value made by its key's conversion, or the catalogue's own.
    return Instrument(symbol=symbol, **cast(_InstrumentValues, given))


def _refuse_duplicates(names: Tuple[str, ...], instruments: Tuple[Instrument, ...]) -> None:
    """Each contract once: two names for one (EP and EPZ5 on the simulated broker) or one
    security code for two would give its settings and limits to the wrong instrument."""
    for field_name, what in (("symbol", "contract"), ("security", "security code")):
        seen: Dict[str, str] = {}
        for name, instrument in zip(names, instruments):
            value = getattr(instrument, field_name)
            if value in seen:
                first = seen[value]
                named = f"instrument {name} is named twice" if first == name else \
                    f"instruments {first} and {name} name the same {what} {value}"
                raise SettingsError(f"{named}: give each instrument once")
            seen[value] = name


def security_of(instrument: Instrument) -> "Security":
    """The host security of one instrument."""
    from zandor_trader.core.constants import Exchange
    from zandor_trader.core.security import Security

    return Security(instrument.security, Exchange(instrument.exchange), instrument.description)


def securities(settings: Settings) -> Dict[str, "Security"]:
    """The host security of each instrument, by CQG symbol."""
    return {i.symbol: security_of(i) for i in settings.instruments}


def position_limits(settings: Settings) -> Dict["Security", int]:
    """The position limit of each instrument that has its own, by its security."""
    return {security_of(i): i.max_position for i in settings.instruments
            if i.max_position is not None}

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
import os
from dataclasses import dataclass, field, replace
from decimal import Decimal, InvalidOperation
from typing import TYPE_CHECKING, Callable, Dict, Mapping, Optional, Sequence, Tuple, TypedDict, cast

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
    bars: int = 10
    refresh: float = 5.0
    log_file: Optional[str] = None
    bot_port: int = 0

    @property
    def symbols(self) -> Tuple[str, ...]:
        return tuple(i.symbol for i in self.instruments)

    def secrets(self) -> Tuple[Secret, ...]:
        return tuple(s for s in (self.password, self.telegram_token) if s)


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
    bot_port: int


class _LimitValues(TypedDict, total=False):
    max_order_quantity: int
    max_position: int
    price_band: Decimal


class _InstrumentValues(TypedDict, total=False):
    security: str
    exchange: str
    description: str
    tick_size: Optional[Decimal]
    max_position: Optional[int]


# -- conversions ---------------------------------------------------------------------------
def _text(value: str) -> str:
    value = value.strip()
    if not value:
        raise ValueError("must not be empty")
    return value


def _whole(minimum: int) -> Callable[[str], int]:
    def parse(value: str) -> int:
        number = int(value.strip())
        if number < minimum:
            raise ValueError(f"must be at least {minimum}")
        return number
    return parse


def _number(minimum: float, above: bool = False) -> Callable[[str], float]:
    def parse(value: str) -> float:
        number = float(value.strip())
        if not number == number or number in (float("inf"),) or (
                number <= minimum if above else number < minimum):
            raise ValueError(f"must be {'above' if above else 'at least'} {minimum:g}")
        return number
    return parse


def _decimal(value: str) -> Decimal:
    try:
        number = Decimal(value.strip())
    except InvalidOperation:
        raise ValueError("must be a number") from None
    if not number.is_finite() or number <= 0:
        raise ValueError("must be a positive number")
    return number


def _symbols(value: str) -> Tuple[str, ...]:
    names = tuple(n.strip() for n in value.split(",") if n.strip())
    if not names:
        raise ValueError("give at least one instrument")
    return names


def _choice(options: Sequence[str]) -> Callable[[str], str]:
    def parse(value: str) -> str:
        value = value.strip().lower()
        if value not in options:
            raise ValueError(f"must be one of {', '.join(options)}")
        return value
    return parse


def _secret(value: str) -> Secret:
    if not value.strip():
        raise ValueError("must not be empty")
    return Secret(value.strip())


# Settings that the file and the environment can give: name -> (environment variable, key in
# the file's [zandor_trader] section, conversion). The command line gives the same names,
# except the secrets.
SOURCES: Dict[str, Tuple[str, str, Callable[[str], object]]] = {
    "broker": ("ZANDOR_BROKER", "broker", _choice(BROKERS)),
    "progid": ("ZANDOR_PROGID", "progid", _text),
    "instruments": ("ZANDOR_INSTRUMENTS", "instruments", _symbols),
    "account": ("ZANDOR_ACCOUNT", "account", _whole(0)),
    "user": ("ZANDOR_USER", "user", _text),
    "password": ("ZANDOR_PASSWORD", "password", _secret),
    "telegram_token": ("ZANDOR_TELEGRAM_TOKEN", "telegram_token", _secret),
    "telegram_chat_id": ("ZANDOR_TELEGRAM_CHAT_ID", "telegram_chat_id", int),
    "telegram_base_url": ("ZANDOR_TELEGRAM_BASE_URL", "telegram_base_url", _text),
    "max_order_quantity": ("ZANDOR_MAX_ORDER_QUANTITY", "max_order_quantity", _whole(1)),
    "max_position": ("ZANDOR_MAX_POSITION", "max_position", _whole(1)),
    "price_band": ("ZANDOR_PRICE_BAND", "price_band", _decimal),
    "stale_after": ("ZANDOR_STALE_AFTER", "stale_after", _number(0)),
    "seed": ("ZANDOR_SEED", "seed", int),
    "speed": ("ZANDOR_SPEED", "speed", _number(0)),
    "sim_chaos": ("ZANDOR_SIM_CHAOS", "sim_chaos", _number(0)),
    "bars": ("ZANDOR_BARS", "bars", _whole(1)),
    "refresh": ("ZANDOR_REFRESH", "refresh", _number(0, above=True)),
}
SECRETS = ("password", "telegram_token")
LIMITS = ("max_order_quantity", "max_position", "price_band")
# Keys of an [instrument SYMBOL] section, with their conversions.
INSTRUMENT_KEYS: Dict[str, Callable[[str], object]] = {
    "security": _text, "exchange": lambda v: _text(v).upper(), "description": str.strip,
    "tick_size": _decimal, "max_position": _whole(1)}


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
        raise SettingsError(f"the settings file {path} is malformed: {exc}") from None
    return parser


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
        for origin, raw in ((variable, environ.get(variable)),
                            (f"'{key}' {where}", section.get(key))):
            if raw is None or raw == "":
                continue
            try:
                values[name] = convert(raw)
            except ValueError as exc:
                shown = "(hidden)" if name in SECRETS else repr(raw)
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
    instruments = tuple(
        _instrument(symbol, parser, catalogue if broker == "sim" else None, where)
        for symbol in cast(Tuple[str, ...], symbols))
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
                raise SettingsError(f"[{name}] {where}: '{key}' {raw!r} {exc}") from None
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
    known = [e.value for e in Exchange]
    if given["exchange"] not in known:
        raise SettingsError(f"instrument {symbol}: exchange {given['exchange']!r} is not one "
                            f"of {', '.join(known)}")
    given.setdefault("security", symbol)
    # Each value made by its key's conversion, or the catalogue's own.
    return Instrument(symbol=symbol, **cast(_InstrumentValues, given))


def securities(settings: Settings) -> Dict[str, "Security"]:
    """The host security of each instrument, by CQG symbol."""
    from zandor_trader.core.constants import Exchange
    from zandor_trader.core.security import Security

    return {i.symbol: Security(i.security, Exchange(i.exchange), i.description)
            for i in settings.instruments}

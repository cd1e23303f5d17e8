"""Settings: the file, ZANDOR_* variables and options each over the one before; instruments
and limits from them; secrets never from the command line and never shown."""
import importlib
from decimal import Decimal

import pytest

from zandor_trader.app.cli import parse_args
from zandor_trader.app.secrecy import RedactingStream, Redactor, Secret
from zandor_trader.app.settings import Instrument, SettingsError, load
from zandor_trader.trading import Limits

SETTINGS_FILE = """
[zandor_trader]
broker = cel
progid = Vendor.Component.7
instruments = EPZ5, ZNH6
account = 555
user = trader
password = file-password
max_order_quantity = 4
price_band = 2.5

[instrument EPZ5]
security = ES
exchange = cme
tick_size = 0.25

[instrument ZNH6]
exchange = CBOT
tick_size = 0.015625
max_position = 3
"""


@pytest.fixture
def settings_file(tmp_path):
    path = tmp_path / "zandor.ini"
    path.write_text(SETTINGS_FILE)
    return str(path)


def test_the_file_gives_broker_instruments_account_and_limits(settings_file):
    s = load({}, {"ZANDOR_TRADER_CONFIG": settings_file})
    assert (s.broker, s.progid, s.account, s.user) == ("cel", "Vendor.Component.7", 555, "trader")
    assert s.password.reveal() == "file-password"
    assert s.instruments == (
        Instrument("EPZ5", "ES", "CME", tick_size=Decimal("0.25")),
        Instrument("ZNH6", "ZNH6", "CBOT", tick_size=Decimal("0.015625"), max_position=3))
    assert (s.limits.max_order_quantity, s.limits.max_position, s.limits.price_band) == (
        4, 20, Decimal("2.5"))


def test_the_environment_is_over_the_file_and_options_over_both(settings_file):
    env = {"ZANDOR_TRADER_CONFIG": settings_file, "ZANDOR_ACCOUNT": "777",
           "ZANDOR_USER": "env-user", "ZANDOR_PASSWORD": "env-password",
           "ZANDOR_MAX_POSITION": "9", "ZANDOR_INSTRUMENTS": "EPZ5"}
    s = load({"account": 888, "max_position": None}, env)
    assert (s.account, s.user, s.password.reveal(), s.limits.max_position) == (
        888, "env-user", "env-password", 9)
    assert s.symbols == ("EPZ5",)
    s = parse_args(["--config", settings_file, "--user", "cli-user", "--price-band", "1",
                    "--instruments", "ZNH6"], env)
    assert (s.user, s.limits.price_band, s.symbols) == ("cli-user", Decimal(1), ("ZNH6",))


def test_the_daily_loss_limit_and_its_flatten_come_like_the_other_limits(tmp_path):
    path = tmp_path / "loss.ini"
    path.write_text("[zandor_trader]\nmax_daily_loss = 2500.50\nflatten_on_loss = yes\n")
    env = {"ZANDOR_TRADER_CONFIG": str(path)}
    assert Limits() == load({}, {"ZANDOR_TRADER_CONFIG": "/dev/null"}).limits  # off, no flatten
    s = load({}, env)
    assert (s.limits.max_daily_loss, s.limits.flatten_on_loss) == (Decimal("2500.50"), True)
    s = load({}, dict(env, ZANDOR_MAX_DAILY_LOSS="off", ZANDOR_FLATTEN_ON_LOSS="No"))
    assert (s.limits.max_daily_loss, s.limits.flatten_on_loss) == (None, False)
    s = parse_args(["--max-daily-loss", "900", "--flatten-on-loss", "no"],
                   dict(env, ZANDOR_MAX_DAILY_LOSS="off"))
    assert (s.limits.max_daily_loss, s.limits.flatten_on_loss) == (Decimal(900), False)


def test_confirm_above_comes_like_the_other_limits_and_is_off_by_default(tmp_path):
    path = tmp_path / "confirm.ini"
    path.write_text("[zandor_trader]\nconfirm_above = 5\n")
    env = {"ZANDOR_TRADER_CONFIG": str(path)}
    assert load({}, {"ZANDOR_TRADER_CONFIG": "/dev/null"}).limits.confirm_above is None
    assert load({}, env).limits.confirm_above == 5
    assert load({}, dict(env, ZANDOR_CONFIRM_ABOVE="off")).limits.confirm_above is None
    assert parse_args(["--confirm-above", "0"], env).limits.confirm_above == 0  # every order
    with pytest.raises(SettingsError, match="ZANDOR_CONFIRM_ABOVE: '-1' must be at least 0"):
        load({}, dict(env, ZANDOR_CONFIRM_ABOVE="-1"))


def test_the_simulated_broker_takes_what_its_catalogue_knows(tmp_path):
    s = load({"instruments": ("EP", "CLEF6")}, {"ZANDOR_TRADER_CONFIG": "/dev/null"})
    assert s.broker == "sim" and s.account == 100101 and s.password.reveal() == "simulated"
    assert [(i.symbol, i.exchange, i.tick_size) for i in s.instruments] == [
        ("EPZ5", "CME", Decimal("0.25")), ("CLEF6", "NYMEX", Decimal("0.01"))]


@pytest.mark.parametrize("env, options, complaint", [
    ({"ZANDOR_BROKER": "cel"}, {},
     "the cel broker needs these settings: instruments: ZANDOR_INSTRUMENTS or 'instruments' in "
     "the settings file or --instruments; account: "),
    ({"ZANDOR_BROKER": "cel", "ZANDOR_INSTRUMENTS": "ZNH6", "ZANDOR_ACCOUNT": "1",
      "ZANDOR_USER": "u", "ZANDOR_PASSWORD": "p"}, {},
     "instrument ZNH6 needs its exchange: add a section [instrument ZNH6]"),
    ({"ZANDOR_BROKER": "ibkr"}, {}, "ZANDOR_BROKER: 'ibkr' must be one of sim, cel"),
    ({}, {"broker": "SIMX"}, "--broker: 'SIMX' must be one of sim, cel"),
    ({"ZANDOR_MAX_ORDER_QUANTITY": "0"}, {}, "ZANDOR_MAX_ORDER_QUANTITY: '0' must be at least 1"),
    ({"ZANDOR_PRICE_BAND": "nan"}, {}, "ZANDOR_PRICE_BAND: 'nan' must be a positive number"),
    ({"ZANDOR_MAX_DAILY_LOSS": "-500"}, {},
     "ZANDOR_MAX_DAILY_LOSS: '-500' must be a positive number"),
    ({}, {"flatten_on_loss": "maybe"}, "--flatten-on-loss: 'maybe' must be yes or no"),
    ({}, {"password": "on-the-command-line"}, "the password is not taken from the command line"),
])
def test_wrong_or_missing_settings_say_what_to_set(env, options, complaint):
    env = dict(env, ZANDOR_TRADER_CONFIG="/dev/null")
    with pytest.raises(SettingsError) as refused:
        load(options, env)
    assert complaint in str(refused.value)
    assert "on-the-command-line" not in str(refused.value)


def test_a_misspelt_key_in_the_settings_file_is_refused(tmp_path):
    path = tmp_path / "typo.ini"
    path.write_text("[zandor_trader]\nmax_positon = 2\n")
    with pytest.raises(SettingsError, match=r"unknown key 'max_positon' \(keys: account, "):
        load({}, {"ZANDOR_TRADER_CONFIG": str(path)})
    path.write_text("[instrument EPZ5]\ntick = 0.25\n")
    with pytest.raises(SettingsError, match=r"\[instrument EPZ5\] in .*: unknown key 'tick'"):
        load({}, {"ZANDOR_TRADER_CONFIG": str(path)})


def test_the_command_line_has_no_option_for_a_secret(capsys):
    for option in ("--password", "--telegram-token", "--token"):
        with pytest.raises(SystemExit) as exited:
            parse_args([option, "Zq-secret-Zq"], {"ZANDOR_TRADER_CONFIG": "/dev/null"})
        assert exited.value.code == 2
    err = capsys.readouterr().err
    assert "unrecognized arguments" in err or "ambiguous option" in err


def test_a_secret_is_hidden_in_every_text_form_and_in_errors_about_it(settings_file):
    env = {"ZANDOR_TRADER_CONFIG": settings_file, "ZANDOR_TELEGRAM_TOKEN": "4242:Tok-Zq9",
           "ZANDOR_TELEGRAM_CHAT_ID": "5"}
    s = load({}, env)
    for text in (repr(s), str(s), repr(s.password), f"{s.telegram_token}"):
        assert "file-password" not in text and "Tok-Zq9" not in text
    assert s.telegram_token.reveal() == "4242:Tok-Zq9"
    with pytest.raises(SettingsError) as refused:
        load({}, dict(env, ZANDOR_TELEGRAM_TOKEN=" "))
    assert str(refused.value) == "ZANDOR_TELEGRAM_TOKEN: (hidden) must not be empty"


def test_output_is_scrubbed_of_the_secrets_even_written_in_pieces_or_url_quoted():
    import io

    redact = Redactor([Secret("4242:Tok/Zq9"), None])
    target = io.StringIO()
    stream = RedactingStream(target, redact)
    stream.write("url /bot4242:Tok")
    stream.write("/Zq9/getUpdates failed\nquoted 4242%3ATok%2FZq9 deal 1000001 ")
    stream.flush()
    assert target.getvalue() == "url /bot***/getUpdates failed\nquoted *** deal 1000001 "


def test_the_bot_configuration_is_read_when_asked_and_set_by_the_host(monkeypatch, tmp_path):
    import zandor_trader_config as config

    monkeypatch.setenv("ZANDOR_TRADER_CONFIG", str(tmp_path / "none.ini"))
    monkeypatch.setenv("ZANDOR_TELEGRAM_CHAT_ID", "12")
    monkeypatch.delenv("ZANDOR_TELEGRAM_TOKEN", raising=False)
    try:
        assert (config.TELEGRAM_TOKEN, config.TELEGRAM_CHAT_ID) == (config.PLACEHOLDER_TOKEN, 12)
        monkeypatch.setenv("ZANDOR_TELEGRAM_CHAT_ID", "13")
        assert config.TELEGRAM_CHAT_ID == 13  # read afresh: nothing kept from import
        config.configure("1:set", 7.9, None)
        assert (config.TELEGRAM_TOKEN, config.TELEGRAM_CHAT_ID, config.TELEGRAM_BASE_URL) == (
            "1:set", 7, None)
    finally:
        importlib.reload(config)
    assert config.TELEGRAM_CHAT_ID == 13


STAND_IN_PROBE = """
import sys
from zandor_trader import chat, console, trading
from zandor_trader.app import bot_api, bot_hooks, bot_loader, session
from zandor_trader.app.cli import parse_args
from zandor_trader.gateways.cqg import gateway, sink
settings = parse_args(["--broker", "cel", "--instruments", "EPZ5", "--account", "1"])
print(session.Session(settings)._telegram()[1:])
print(sorted({m.split(".")[0] for m in sys.modules} & {"cqgsim", "botapi", "comsim"}))
"""


def test_the_real_broker_and_telegram_need_no_stand_in(tmp_path):
    """On Windows the stand-ins are not installed: the session's own modules, the settings
    and the choice of the Bot API must not import them."""
    import subprocess
    import sys

    from .test_session import session_environment

    config = tmp_path / "real.ini"
    config.write_text("[zandor_trader]\nuser = trader\npassword = pw\n"
                      "[instrument EPZ5]\nexchange = CME\n")
    env = session_environment(ZANDOR_TRADER_CONFIG=str(config), ZANDOR_TELEGRAM_TOKEN="1:t",
                              ZANDOR_TELEGRAM_BASE_URL="http://127.0.0.1:9/bot")
    done = subprocess.run([sys.executable, "-c", STAND_IN_PROBE], env=env, cwd=tmp_path,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-2:] == ["(77, 'http://127.0.0.1:9/bot')", "[]"]


SECRET = "S3cr3t-Zq8w"


@pytest.mark.parametrize("content, complaint", [
    (f"[zandor_trader]\nuser = trader\npassword {SECRET}\n",
     "line 3 is not 'key = value' (nor a section header or a comment)"),
    (f"password = {SECRET}\n[zandor_trader]\n",
     "line 1 comes before any section header such as [zandor_trader]"),
    (f"[zandor_trader]\naccount = 100101\n  {SECRET}\n", "'account' in "),  # a value's 2nd line
    (f"[zandor_trader]\npassword = x\npassword = {SECRET}\n",
     "key 'password' is twice in [zandor_trader] (line 3)"),
    (f"[instrument EPZ5]\nmax_position = {SECRET}\n", "'max_position': its value must be a "
                                                      "whole number"),
])
def test_no_settings_error_repeats_a_line_of_the_file(tmp_path, content, complaint):
    path = tmp_path / "broken.ini"
    path.write_text(content)
    with pytest.raises(SettingsError) as refused:
        load({}, {"ZANDOR_TRADER_CONFIG": str(path)})
    assert complaint in str(refused.value)
    assert SECRET not in str(refused.value) and "S3cr3t" not in repr(refused.value)


@pytest.mark.parametrize("instruments, complaint", [
    ("EP,EPZ5", "instruments EP and EPZ5 name the same contract EPZ5: give each instrument once"),
    ("EPZ5,CLEF6,EPZ5", "instrument EPZ5 is named twice: give each instrument once"),
])
def test_one_contract_twice_is_refused(instruments, complaint):
    with pytest.raises(SettingsError, match=complaint):
        load({"instruments": tuple(instruments.split(","))}, {"ZANDOR_TRADER_CONFIG": "/dev/null"})


def test_each_instruments_limit_lands_on_its_own_security(tmp_path):
    from zandor_trader.app.settings import position_limits

    path = tmp_path / "limits.ini"
    path.write_text("[instrument EP]\nmax_position = 2\n[instrument CLEF6]\nmax_position = 7\n"
                    "[instrument ENQ]\nsecurity = NQ\nmax_position = 4\n")
    s = load({"instruments": ("EP", "ENQ", "CLEF6")}, {"ZANDOR_TRADER_CONFIG": str(path)})
    assert {str(sec): limit for sec, limit in position_limits(s).items()} == {
        "EPZ5.CME": 2, "NQ.CME": 4, "CLEF6.NYMEX": 7}
    path.write_text("[instrument EPZ5]\nsecurity = ES\n[instrument CLEF6]\nsecurity = ES\n")
    with pytest.raises(SettingsError, match="instruments EPZ5 and CLEF6 name the same "
                                            "security code ES"):
        load({"instruments": ("EPZ5", "CLEF6")}, {"ZANDOR_TRADER_CONFIG": str(path)})


@pytest.mark.parametrize("option", ["--minutes", "--stale-after", "--refresh", "--speed"])
@pytest.mark.parametrize("value", ["nan", "inf", "-inf"])
def test_numbers_that_are_no_time_are_refused_before_the_session_starts(option, value, capsys):
    with pytest.raises(SystemExit) as exited:
        parse_args([f"{option}={value}"], {"ZANDOR_TRADER_CONFIG": "/dev/null"})
    assert exited.value.code == 2
    assert f"argument {option}: must be" in capsys.readouterr().err


def test_nan_from_the_environment_is_refused_too():
    for name in ("ZANDOR_STALE_AFTER", "ZANDOR_REFRESH", "ZANDOR_SPEED"):
        with pytest.raises(SettingsError, match=f"{name}: 'nan' must be a number"):
            load({}, {"ZANDOR_TRADER_CONFIG": "/dev/null", name: "nan"})


def test_the_session_scrubs_the_bot_token_only():
    """The password goes to the broker's logon only, so nothing needs scrubbing of it, and
    scrubbing it would blank words it never stood in (the simulated broker's "simulated")."""
    from zandor_trader.app.session import Session
    from zandor_trader.app.settings import Settings

    session = Session(Settings(password=Secret("simulated"), telegram_token=Secret("77:Tok-Zq")))
    assert session.redact("simulated CQG /bot77:Tok-Zq/getMe 77%3ATok-Zq") == (
        "simulated CQG /bot***/getMe ***")


def interleaved(stream):
    """A print() on another thread cut in two (its text, then its line end) with a whole line
    of this thread written in between."""
    import threading

    half, resume = threading.Event(), threading.Event()

    def other():
        stream.write("Session stopping: Ctrl-C")
        half.set()
        resume.wait(10)
        stream.write("\n")

    thread = threading.Thread(target=other)
    thread.start()
    assert half.wait(10)
    stream.write("[2] OnTimedBarsAdded: bar\n")
    resume.set()
    thread.join(10)


def test_a_line_written_in_two_pieces_is_never_cut_by_another_threads_line():
    import io

    target = io.StringIO()
    stream = RedactingStream(target, Redactor())
    interleaved(stream)
    stream.write("unfinished")
    stream.flush(every_thread=True)
    assert target.getvalue().splitlines() == [
        "[2] OnTimedBarsAdded: bar", "Session stopping: Ctrl-C", "unfinished"]


def test_the_bot_configuration_names_a_malformed_line_by_its_number_only(monkeypatch, tmp_path):
    import zandor_trader_config as config

    path = tmp_path / "broken.ini"
    path.write_text(f"[zandor_trader]\ntelegram_chat_id = 5\npassword {SECRET}\n")
    monkeypatch.setenv("ZANDOR_TRADER_CONFIG", str(path))
    monkeypatch.delenv("ZANDOR_TELEGRAM_CHAT_ID", raising=False)
    with pytest.raises(ValueError) as refused:
        config.TELEGRAM_CHAT_ID
    assert str(refused.value) == f"the settings file {path} is malformed at line 3"
    assert SECRET not in repr(refused.value) and refused.value.__cause__ is None

"""Runs of the bot in a process of its own: the self-test entry and the settings it loads."""
import os
import subprocess
import sys
import textwrap

import pytest

from .conftest import OPERATOR, bot_environment

MODULE = "zandor_trader.plugins.telegram"


def run(args, env, timeout=60):
    return subprocess.run([sys.executable, *args], env=env, capture_output=True, text=True,
                          timeout=timeout)


def test_self_test_greets_the_operator_and_closes(server):
    token = "5000:self-test"
    done = run(["-m", MODULE], bot_environment(server, ZANDOR_TELEGRAM_TOKEN=token))
    assert (done.returncode, done.stdout) == (0, "Closed.\n"), done.stderr
    assert [(m.chat_id, m.text) for m in server.sent(token=token)] == [
        (OPERATOR, "Yes I am here!")]


@pytest.mark.skipif(sys.version_info < (3, 13), reason="the GIL can be off from 3.13 on")
def test_the_modules_keep_the_gil_on(server):
    # On a free-threaded interpreter each module, loading, must turn the GIL on; elsewhere
    # it is always on. PYTHON_GIL would override what the modules declare.
    token = "5003:gil"
    env = bot_environment(server, ZANDOR_TELEGRAM_TOKEN=token)
    env.pop("PYTHON_GIL", None)
    script = textwrap.dedent("""
        import sys
        import comsim._core
        import zandor_trader.gateways.cqg.wrapper.Ambrel
        import zandor_trader.gateways.cqg.wrapper.vantor
        from zandor_trader.plugins.telegram import bot
        print(sys._is_gil_enabled())
        bot._self_test()
    """)
    done = run(["-c", script], env)
    assert (done.returncode, done.stdout) == (0, "True\nClosed.\n"), done.stderr


def test_self_test_without_an_operator_chat_fails_but_still_closes(server):
    env = bot_environment(server, ZANDOR_TELEGRAM_TOKEN="5001:self-test")
    del env["ZANDOR_TELEGRAM_CHAT_ID"]
    done = run(["-m", MODULE], env)
    assert (done.returncode, done.stdout) == (1, "Closed.\n")
    assert ("TypeError: Argument 'chat_id' has incorrect type (expected int, got NoneType)"
            in done.stderr)


def test_without_an_operator_chat_nothing_is_served(server):
    token = "5002:no-chat"
    env = bot_environment(server, ZANDOR_TELEGRAM_TOKEN=token)
    del env["ZANDOR_TELEGRAM_CHAT_ID"]
    script = textwrap.dedent(f"""
        import sys, threading
        from botapi import RemoteServer

        refused = threading.Event()

        class Out:  # tells when the refusal's line is printed whole
            def __init__(self, inner):
                self.inner, self.seen = inner, False
            def write(self, text):
                self.seen = self.seen or text.startswith("Refused")
                return self.inner.write(text)
            def flush(self):
                self.inner.flush()
                if self.seen:
                    refused.set()

        sys.stdout = Out(sys.stdout)
        from zandor_trader.plugins.telegram import bot as m
        remote = RemoteServer({server.control_url!r}, token={token!r})
        remote.wait_polling()
        remote.post_message("/stop", {OPERATOR})
        assert refused.wait(30)
        print(m.bot.zandor_trader_status)
        m.bot.close()
    """)
    done = run(["-c", script], env)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        f"Refused an update from chat {OPERATOR}: not the operator's chat", "Running"]
    assert server.sent(token=token) == []


def fake_config(tmp_path, server, token, chat_id):
    """An environment whose host configuration module sets TELEGRAM_CHAT_ID to `chat_id`."""
    (tmp_path / "zandor_trader_config.py").write_text(
        f"TELEGRAM_TOKEN = {token!r}\nTELEGRAM_CHAT_ID = {chat_id!r}\n"
        f"TELEGRAM_BASE_URL = {server.base_url!r}\n")
    env = bot_environment(server)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(tmp_path), env.get("PYTHONPATH")]))
    return env


def test_chat_setting_is_taken_as_an_integer_at_load(tmp_path, server):
    token = "5003:fake-config"
    script = textwrap.dedent("""
        import sys
        from zandor_trader.plugins.telegram import bot as m
        m.bot.send_message("to the truncated chat")
        m.bot.close()
        print(m.TELEGRAM_CHAT_ID, [n for n in sys.modules if ".cqg.wrapper." in n])
    """)
    done = run(["-c", script], fake_config(tmp_path, server, token, OPERATOR + 0.9))
    assert done.returncode == 0, done.stderr
    assert done.stdout == f"{OPERATOR + 0.9} []\n"  # neither gateway module came along
    assert [m.chat_id for m in server.sent(token=token)] == [OPERATOR]

    done = run(["-c", "import zandor_trader.plugins.telegram.bot"],
               fake_config(tmp_path, server, token, str(OPERATOR)))
    assert done.returncode == 1
    assert done.stderr.strip().endswith("TypeError: Expected int, got str")

"""The session's own commands: /flatten, /risk, /halt and /resume become requests for the
engine, in the order sent; wrong arguments are answered with the command's usage."""
import types

from zandor_trader.chat import SessionCommands


def message(text):
    return types.SimpleNamespace(effective_message=types.SimpleNamespace(text=text, entities=None))


def test_session_commands_become_requests_and_wrong_arguments_get_the_usage():
    answered, requested = [], []
    commands = SessionCommands(answered.append, requested.append)
    for text in ("/flatten", "/FLATTEN epz5", "/risk now", "/halt", "/resume", "/flatten A B",
                 "/balance"):
        commands.on_update(message(text))
    assert [(r.kind, r.params, r.text, r.args) for r in requested] == [
        ("flatten", {"symbol": None}, "/flatten", ()),
        ("flatten", {"symbol": "epz5"}, "/FLATTEN epz5", ("epz5",)),
        ("risk", {}, "/risk now", ("now",)),  # words after a command without any are ignored
        ("halt", {}, "/halt", ()),
        ("resume", {}, "/resume", ())]
    assert answered == ["Usage: /flatten [symbol], e.g. /flatten EPZ5"]


def test_without_an_engine_to_serve_them_the_session_commands_say_so():
    answered = []
    SessionCommands(answered.append).on_update(message("/halt"))
    assert answered == ["/halt is not served in this session."]

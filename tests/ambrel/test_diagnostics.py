"""Trace and AssertMessage."""
import sys
import threading

import pytest

from .conftest import trace_lines


class RecordingStdout:
    def __init__(self):
        self.ops = []

    def write(self, text):
        self.ops.append(("write", text))
        return len(text)

    def flush(self):
        self.ops.append(("flush",))


def test_trace_writes_one_flushed_line_with_the_thread_ident(Ambrel, monkeypatch):
    out = RecordingStdout()
    monkeypatch.setattr(sys, "stdout", out)
    ident = threading.current_thread().ident
    assert Ambrel.Trace("Startup CQGCEL..") is None
    Ambrel.Trace(message="")
    Ambrel.Trace("Größe 5 € 🚀")
    # One write per line, so lines of concurrent threads cannot be cut apart.
    assert out.ops == [("write", f"{ident}: Startup CQGCEL..\n"), ("flush",),
                       ("write", f"{ident}: \n"), ("flush",),
                       ("write", f"{ident}: Größe 5 € 🚀\n"), ("flush",)]


@pytest.mark.parametrize("message", [5, b"bytes", None, ["x"]])
def test_trace_refuses_non_text_and_prints_nothing(Ambrel, capsys, message):
    with pytest.raises(TypeError, match="can only concatenate str"):
        Ambrel.Trace(message)
    assert capsys.readouterr().out == ""


def test_trace_argument_errors(Ambrel):
    with pytest.raises(TypeError):
        Ambrel.Trace()
    with pytest.raises(TypeError):
        Ambrel.Trace("a", "b")
    with pytest.raises(TypeError):
        Ambrel.Trace(text="a")


def test_trace_accepts_str_subclasses_and_survives_missing_stdout(Ambrel, capsys, monkeypatch):
    class Text(str):
        pass

    Ambrel.Trace(Text("sub"))
    assert capsys.readouterr().out.endswith(": sub\n")
    monkeypatch.setattr(sys, "stdout", None)
    Ambrel.Trace("nowhere to go")  # like print(): silently dropped


def test_trace_idents_differ_between_threads_and_repeat_within_one(Ambrel, capsys):
    def worker():
        Ambrel.Trace("w1")
        Ambrel.Trace("w2")

    t = threading.Thread(target=worker)
    t.start()
    t.join()
    Ambrel.Trace("m")
    lines = dict((msg, ident) for ident, msg in trace_lines(capsys.readouterr().out))
    assert lines["w1"] == lines["w2"] == t.ident
    assert lines["m"] == threading.get_ident() != t.ident


@pytest.mark.parametrize("condition", [True, 1, "x", [0], object()])
def test_assert_message_passes_on_truth_silently(Ambrel, capsys, condition):
    assert Ambrel.AssertMessage(condition, "never") is None
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("condition", [False, 0, 0.0, "", [], None])
def test_assert_message_raises_runtime_error_carrying_the_message(Ambrel, capsys, condition):
    with pytest.raises(RuntimeError) as info:
        Ambrel.AssertMessage(condition, "Logon timeout")
    assert info.value.args == ("Logon timeout",)
    assert type(info.value) is RuntimeError
    assert capsys.readouterr().out == ""


def test_assert_message_keeps_any_message_as_the_one_argument(Ambrel):
    with pytest.raises(RuntimeError) as info:
        Ambrel.AssertMessage(condition=False, message=("a", 1))
    assert info.value.args == (("a", 1),)


def test_assert_message_passes_on_errors_of_the_truth_test(Ambrel):
    class Odd:
        def __bool__(self):
            raise ValueError("no truth")

    with pytest.raises(ValueError, match="no truth"):
        Ambrel.AssertMessage(Odd(), "m")

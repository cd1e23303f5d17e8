"""Start: runs a sample against a fresh environment and always shuts it down."""
import subprocess
import sys
import textwrap
import threading

import pytest

from .conftest import messages_of, trace_lines


@pytest.fixture
def Sample(Ambrel):
    class Sample(Ambrel.CELSinkBase):
        runs = []  # (step, argument)
        fail_in = None
        fail_with = ValueError

        def __init__(self):
            pass

        def Init(self, env):
            Sample.runs.append(("Init", env))
            if Sample.fail_in == "Init":
                raise Sample.fail_with("sample Init failed")

        def Start(self):
            Sample.runs.append(("Start", None))
            if Sample.fail_in == "Start":
                raise Sample.fail_with("boom")

    return Sample


def shut_down(component, capsys_out):
    """Whether Shutdown ran: the component saw it and the caller printed its last line."""
    return (component.calls[-1][0] == "Shutdown"
            and messages_of(capsys_out, threading.get_ident())[-1] == "CQGCEL is shut down.")


def test_start_runs_the_sample_and_shuts_down(Ambrel, use_component, Sample, capsys):
    made = use_component()
    seen = []
    assert Ambrel.Start(Sample, customConfiguration=lambda c: seen.append(c)) is None
    assert [step for step, _ in Sample.runs] == ["Init", "Start"]
    env = Sample.runs[0][1]
    assert isinstance(env, Ambrel.Ambrel) and not env.thread.is_alive()
    assert len(seen) == 1
    assert shut_down(made[0], capsys.readouterr().out)


def test_start_skips_the_sample_after_a_data_error(Ambrel, use_component, Sample, capsys):
    made = use_component(on_startup="data_error")
    Ambrel.Start(Sample)
    assert Sample.runs == []
    assert shut_down(made[0], capsys.readouterr().out)


@pytest.mark.parametrize("fail_in, text", [("Init", "sample Init failed"), ("Start", "boom")])
def test_start_prints_an_ordinary_error_and_still_shuts_down(
        Ambrel, use_component, Sample, capsys, fail_in, text):
    made = use_component()
    Sample.fail_in = fail_in
    assert Ambrel.Start(Sample) is None
    out = capsys.readouterr().out
    plain = [line for ident, line in trace_lines(out) if ident is None]
    assert plain == [f"Exception: {text}"]
    assert shut_down(made[0], out)


def test_start_reports_a_failed_worker_and_stops_it(Ambrel, use_component, thread_errors, capsys):
    from . import fakes

    use_component()

    def refuse():
        raise ValueError("component refused")

    fakes.register(refuse)
    Ambrel.Start(Ambrel.CELSinkBase)
    out = capsys.readouterr().out
    plain = [line for ident, line in trace_lines(out) if ident is None]
    assert len(plain) == 1
    assert plain[0].startswith("Exception: CQGCEL worker ended before it was prepared: ")
    assert messages_of(out, threading.get_ident())[-1] == "CQGCEL is shut down."
    assert len(thread_errors) == 1 and not thread_errors[0].thread.is_alive()


def test_start_lets_interrupts_pass_but_shuts_down_first(Ambrel, use_component, Sample, capsys):
    made = use_component()
    Sample.fail_in, Sample.fail_with = "Start", KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        Ambrel.Start(Sample)
    out = capsys.readouterr().out
    assert "Exception:" not in out
    assert shut_down(made[0], out)
    assert not Sample.runs[0][1].thread.is_alive()


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=60, env={"PYTHONPATH": ":".join(sys.path)})


def test_loading_ensures_the_type_library_first_and_fails_without_it(Ambrel):
    done = run_python("""
        import sys, win32com.client
        calls = []
        def ensure(*args):
            calls.append((args, "zandor_trader.gateways.cqg.wrapper.Ambrel" in sys.modules))
            raise OSError("type library missing")
        win32com.client.gencache.EnsureModule = ensure
        try:
            import zandor_trader.gateways.cqg.wrapper.Ambrel
        except OSError as e:
            print("refused:", e, calls)
        else:
            print("loaded")
        """)
    assert done.stdout.strip() == (
        "refused: type library missing "
        "[(('{51F35562-AEB4-4AB3-99E8-AC9666344B64}', 0, 4, 0), False)]"), done.stderr

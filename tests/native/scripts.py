"""Running a short Python script in a fresh interpreter that imports what the tests import
(the installed package, or the tree with an in-place build)."""
import os
import subprocess
import sys
import textwrap

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# This process's own import path: the child finds the same modules, and the tests' helpers.
PATH = os.pathsep.join([ROOT] + [p for p in sys.path if p])


def script_env():
    env = dict(os.environ, PYTHONPATH=PATH)
    env.setdefault("PYTHONFAULTHANDLER", "1")
    return env


def run_script(source, timeout=60, env=None, **kwargs):
    """Runs `source` in a new interpreter, with `env` added to its environment; returns the
    CompletedProcess (text output)."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(source)],
                          env=dict(script_env(), **(env or {})), cwd=ROOT, capture_output=True,
                          text=True, timeout=timeout, **kwargs)

"""Running a short Python script in a fresh interpreter, with the tests' import path."""
import os
import subprocess
import sys
import textwrap

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PATH = os.pathsep.join(os.path.join(ROOT, p) for p in ("python", "python/combridge", ""))


def run_script(source, timeout=60, **kwargs):
    """Runs `source` in a new interpreter; returns the CompletedProcess (text output)."""
    env = dict(os.environ)
    env["PYTHONPATH"] = PATH + os.pathsep + env.get("PYTHONPATH", "")
    env.setdefault("PYTHONFAULTHANDLER", "1")
    return subprocess.run([sys.executable, "-c", textwrap.dedent(source)], env=env, cwd=ROOT,
                          capture_output=True, text=True, timeout=timeout, **kwargs)


def start_script(source, **kwargs):
    """Starts `source` in a new interpreter with pipes for its input and output."""
    env = dict(os.environ)
    env["PYTHONPATH"] = PATH + os.pathsep + env.get("PYTHONPATH", "")
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(source)], env=env, cwd=ROOT,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, **kwargs)

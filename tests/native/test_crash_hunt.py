"""The crash hunt (see hunt.py) over each native module, in a process of its own: it must
end with no crash, no hang and no SystemError."""
import os
import subprocess
import sys

import pytest

from .scripts import PATH, ROOT


@pytest.mark.parametrize("target", ["bridge", "environment", "adapter", "bot"])
def test_crash_hunt(target):
    env = dict(os.environ, PYTHONPATH=PATH + os.pathsep + os.environ.get("PYTHONPATH", ""))
    try:
        done = subprocess.run([sys.executable, "-m", "tests.native.hunt", target], cwd=ROOT,
                              env=env, capture_output=True, text=True, errors="replace",
                              timeout=300)
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b"").decode(errors="replace").splitlines()
        pytest.fail(f"the hunt hung at: {out[-1:]}")
    lines = done.stdout.splitlines()
    findings = [line for line in lines if line.startswith("FINDING")]
    assert (done.returncode, findings, lines[-1:]) == (0, [], ["hunt done"]), (
        f"last step: {lines[-2:]}\n{done.stderr[-3000:]}")

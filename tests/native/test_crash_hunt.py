"""The crash hunt (see hunt.py) over each native module, in a process of its own: it must
end with no crash, no hang and no SystemError."""
import subprocess
import sys

import pytest

from .scripts import ROOT, script_env


@pytest.mark.parametrize("target", ["bridge", "environment", "adapter", "bot"])
def test_crash_hunt(target):
    try:
        done = subprocess.run([sys.executable, "-m", "tests.native.hunt", target], cwd=ROOT,
                              env=script_env(), capture_output=True, text=True, errors="replace",
                              timeout=300)
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b"").decode(errors="replace").splitlines()
        pytest.fail(f"the hunt hung at: {out[-1:]}")
    lines = done.stdout.splitlines()
    findings = [line for line in lines if line.startswith("FINDING")]
    assert (done.returncode, findings, lines[-1:]) == (0, [], ["hunt done"]), (
        f"last step: {lines[-2:]}\n{done.stderr[-3000:]}")

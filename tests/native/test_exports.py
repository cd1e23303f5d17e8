"""Each extension module exports its init function and nothing else, so that modules loaded
with global symbols cannot bind each other's copies of the shared C++ layer."""
import importlib.util
import shutil
import subprocess
import sys

import pytest

from .scripts import run_script

MODULES = {
    "comsim._core": "PyInit__core",
    "zandor_trader.gateways.cqg.wrapper.Ambrel": "PyInit_Ambrel",
    "zandor_trader.gateways.cqg.wrapper.vantor": "PyInit_vantor",
    "zandor_trader.plugins.telegram.bot": "PyInit_bot",
}


@pytest.mark.skipif(sys.platform == "win32" or not shutil.which("nm"),
                    reason="reads an ELF dynamic symbol table with nm")
@pytest.mark.parametrize("name", MODULES)
def test_only_the_init_function_is_exported(name):
    path = importlib.util.find_spec(name).origin  # found, not imported
    listing = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True,
                             text=True, check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == [MODULES[name]]


@pytest.mark.skipif(sys.platform == "win32", reason="dlopen flags")
def test_environment_made_before_the_adapter_loads_starts_with_global_symbols():
    # The adapter's module loading second must not rebind the environment module's own
    # wait-event type: the environment made before it would no longer know its events.
    done = run_script("""
        import os, sys
        sys.setdlopenflags(os.RTLD_GLOBAL | os.RTLD_NOW)
        from zandor_trader.gateways.cqg.wrapper import Ambrel
        env = Ambrel.Ambrel()
        from zandor_trader.gateways.cqg.wrapper import vantor
        env.Init(vantor.Vantor, None)
        env.Shutdown()
        print("shut down")
    """, timeout=30)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "shut down"

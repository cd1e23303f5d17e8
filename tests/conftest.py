"""Whole-suite switches. ZT_RTLD_GLOBAL=1 loads every extension module with its symbols
global (RTLD_GLOBAL | RTLD_NOW), as some embedding hosts do; CI runs the suite once so."""
import os
import sys

if os.environ.get("ZT_RTLD_GLOBAL") == "1":
    sys.setdlopenflags(os.RTLD_GLOBAL | os.RTLD_NOW)

"""Simulated broker component, registered as "CQG.CQGCEL.4" with the COM-bridge stand-in.

Configure it before the component is created (``configure``), then reach the simulation
that drives a created component through ``latest()``. See README.md beside this file.
"""
from cqgsim.config import AccountSpec, Config, configure, current, reset
from cqgsim.registry import instances, latest

__all__ = ["AccountSpec", "Config", "configure", "current", "reset", "instances", "latest"]

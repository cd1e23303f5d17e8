"""Simulated broker component, registered as "CQG.CQGCEL.4" with the COM-bridge stand-in.

Configure it before the component is created (``configure``), then reach the simulation
that drives a created component through ``latest()``. See README.md beside this file.
"""
from cqgsim.config import AccountSpec, Config, configure, current, reset
from cqgsim.drills import DrillRefused
from cqgsim.paper import PaperStoreError
from cqgsim.paper import describe_store as describe_paper_store
from cqgsim.paper import reset_store as reset_paper_store
from cqgsim.registry import instances, latest

__all__ = ["AccountSpec", "Config", "configure", "current", "reset", "instances", "latest",
           "DrillRefused", "PaperStoreError", "describe_paper_store", "reset_paper_store"]

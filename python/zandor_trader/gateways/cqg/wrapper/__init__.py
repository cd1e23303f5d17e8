"""Compiled modules that wrap the CQG CEL component: Ambrel (environment) and vantor (adapter)."""

"""The host application's layout, read from its source: imports go one way between its
packages, every package says what it is for, and no module or class outgrows one reading."""
import ast
import pathlib

import pytest

import zandor_trader

ROOT = pathlib.Path(zandor_trader.__file__).parent
# What each package may import of zandor_trader (itself aside). Trading is handed the gateway
# it trades through; the gateway keeps its orders and deals in trading's trade log.
MAY_IMPORT = {
    "core": set(),
    "trading": {"core", "gateways"},
    "gateways": {"core", "trading.trades"},
    "chat": {"core", "trading", "plugins"},
    "console": {"core", "trading", "chat", "gateways"},
    "charts": {"core", "trading"},
    "plugins": set(),
    "app": {"core", "trading", "chat", "console", "charts", "gateways", "plugins"},
    "__main__": {"app"},
}
MODULE_LINES, CLASS_LINES = 400, 260


def modules():
    return sorted(p for p in ROOT.rglob("*.py") if "__pycache__" not in p.parts)


def dotted(path: pathlib.Path) -> str:
    parts = path.relative_to(ROOT.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def package_of(path: pathlib.Path) -> str:
    return dotted(path) if path.name == "__init__.py" else dotted(path).rpartition(".")[0]


def imported(source: str, package: str):
    """Every module the code `source` of a module in `package` imports, wherever the import
    stands (in a function, under TYPE_CHECKING), relative imports resolved; `from package
    import name` counts as importing package.name."""
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.Import):
            yield from (alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.split(".")[:len(package.split(".")) - node.level + 1]
                base = ".".join(anchor + ([base] if base else []))
            yield from (f"{base}.{alias.name}" for alias in node.names)


def layer(module: str) -> str:
    """The package of zandor_trader a dotted name belongs to ("" for the root itself)."""
    return module.split(".")[1] if module.count(".") else ""


def allowed(importer: str, target: str) -> bool:
    own, theirs = layer(importer), layer(target)
    if theirs in ("", own):
        return True
    rules = MAY_IMPORT.get(own, set())
    return theirs in rules or any(target == f"zandor_trader.{r}" or
                                  target.startswith(f"zandor_trader.{r}.") for r in rules)


def test_imports_go_one_way_between_the_packages():
    wrong = []
    for path in modules():
        importer = dotted(path)
        for target in imported(path.read_text(), package_of(path)):
            if target.startswith("zandor_trader.") and not allowed(importer, target):
                wrong.append(f"{importer} imports {target}")
    assert wrong == []


def test_the_rules_catch_an_import_against_the_layers():
    assert not allowed("zandor_trader.trading.engine", "zandor_trader.chat.outbox")
    assert not allowed("zandor_trader.trading.engine", "zandor_trader.console")
    assert not allowed("zandor_trader.chat.intake", "zandor_trader.console.view")
    assert not allowed("zandor_trader.gateways.cqg.gateway", "zandor_trader.trading.engine")
    assert not allowed("zandor_trader.core.order", "zandor_trader.trading.trades")
    assert allowed("zandor_trader.gateways.cqg.gateway", "zandor_trader.trading.trades.TradeLog")
    assert allowed("zandor_trader.console.panels", "zandor_trader.trading.replies.name")


def test_imports_are_read_wherever_they_stand_and_relative_ones_resolved():
    source = ("from ..chat import Outbox\nfrom . import replies\nfrom .engine import Engine\n"
              "if TYPE_CHECKING:\n    import zandor_trader.console.view\n"
              "def later():\n    from zandor_trader import app\n")
    assert sorted(imported(source, "zandor_trader.trading")) == [
        "zandor_trader.app", "zandor_trader.chat.Outbox", "zandor_trader.console.view",
        "zandor_trader.trading.engine.Engine", "zandor_trader.trading.replies"]


@pytest.mark.parametrize("package", sorted(p.parent.name for p in ROOT.glob("*/__init__.py")))
def test_every_package_says_what_it_is_for(package):
    docstring = ast.get_docstring(ast.parse((ROOT / package / "__init__.py").read_text()))
    assert docstring and len(docstring) > 40, package


def test_no_module_or_class_outgrows_one_reading():
    too_long = []
    for path in modules():
        source = path.read_text()
        tree = ast.parse(source)
        lines = len(source.splitlines())
        if lines > MODULE_LINES:
            too_long.append(f"{dotted(path)}: {lines} lines")
        too_long += [f"{dotted(path)}.{node.name}: {node.end_lineno - node.lineno + 1} lines"
                     for node in ast.walk(tree) if isinstance(node, ast.ClassDef)
                     and node.end_lineno - node.lineno + 1 > CLASS_LINES]
    assert too_long == []

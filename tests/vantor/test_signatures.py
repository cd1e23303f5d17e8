"""The text signatures of the environment's and the adapter's functions (what inspect, help()
and the stub check see) name the parameters that the functions bind, in number and order."""
import inspect

import pytest

from zandor_trader.gateways.cqg.wrapper import Ambrel, vantor
from tests.arguments import binding_disagreement


def builtins_of(owner):
    return [name for name, value in vars(owner).items()
            if inspect.isbuiltin(value) or inspect.ismethoddescriptor(value)
            if not name.startswith("__") and getattr(value, "__text_signature__", None)]


CASES = ([(Ambrel, name, ()) for name in builtins_of(Ambrel)]
         + [(vantor, name, ()) for name in builtins_of(vantor)]
         + [(Ambrel.Ambrel, name, (Ambrel.Ambrel(),)) for name in builtins_of(Ambrel.Ambrel)]
         + [(Ambrel.CELSinkBase, name, (Ambrel.CELSinkBase(),))
            for name in builtins_of(Ambrel.CELSinkBase)]
         + [(vantor.Vantor, name, (vantor.Vantor(),)) for name in builtins_of(vantor.Vantor)])


def test_every_public_function_has_a_text_signature():
    missing = [f"{owner.__name__}.{name}"
               for owner in (Ambrel, vantor, Ambrel.Ambrel, Ambrel.SinkInternal,
                             Ambrel.CELSinkBase, vantor.Vantor)
               for name, value in vars(owner).items()
               if (inspect.isbuiltin(value) or inspect.ismethoddescriptor(value))
               and not name.startswith("_") and not getattr(value, "__text_signature__", None)]
    assert missing == []
    assert len(CASES) > 130  # 104 sink handlers among them


@pytest.mark.parametrize("owner, name, bound", CASES,
                         ids=[f"{o.__name__}.{n}" for o, n, _ in CASES])
def test_signature_names_the_bound_parameters(owner, name, bound):
    assert binding_disagreement(getattr(owner, name), *bound) is None

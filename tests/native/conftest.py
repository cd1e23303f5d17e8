"""The environment's fixtures, for the tests that cross the modules."""
from tests.ambrel.conftest import Ambrel, new_env, use_component  # noqa: F401  (fixtures)

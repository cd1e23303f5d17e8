import pytest

import cqgsim


@pytest.fixture(autouse=True)
def _fresh_configuration():
    cqgsim.reset()
    yield
    cqgsim.reset()

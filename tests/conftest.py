"""Test-session settings and fixtures shared by all Python tests."""

import pytest

from support import ORIGINAL


def pytest_configure(config):
    # Tests that take many seconds or hundreds of MB; deselect with -m "not slow".
    config.addinivalue_line("markers", "slow: a long-running stress test")


@pytest.fixture
def output(tmp_path):
    """An output path that already holds ORIGINAL."""
    path = tmp_path / "out.TextGrid"
    path.write_bytes(ORIGINAL)
    return path

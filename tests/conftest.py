"""Test-session settings shared by all Python tests."""


def pytest_configure(config):
    # Tests that take many seconds or hundreds of MB; deselect with -m "not slow".
    config.addinivalue_line("markers", "slow: a long-running stress test")

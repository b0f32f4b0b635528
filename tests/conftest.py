import sys
from pathlib import Path

import pytest

# Make the shared test helpers (tests.support) importable however pytest was started.
_REPO_ROOT = str(Path(__file__).resolve().parents[1])
if _REPO_ROOT not in sys.path:
    sys.path.insert(0, _REPO_ROOT)

from tests.support.completion_server import running_completion_server  # noqa: E402


@pytest.fixture
def completion_server():
    """A text-completion service on 127.0.0.1, stopped after the test."""
    with running_completion_server() as server:
        yield server


@pytest.fixture
def ledgora(monkeypatch):
    """A Ledgora emulator on free ports of 127.0.0.1 with its records in memory,
    stopped after the test; VORN_IAM_URL points the cloud login at it."""
    from vorn_metrics_plugin.ledgora_emulator import LedgoraEmulator

    with LedgoraEmulator() as emulator:
        monkeypatch.setenv("VORN_IAM_URL", emulator.iam_url)
        yield emulator


@pytest.fixture
def added_folders():
    """Catalogue folders that a test adds are removed after it."""
    from vorn_metrics_plugin.mra.mra_api import remove_catalogs

    yield
    remove_catalogs()

import types

import pytest

from tests.support.recording_logger import record_module_logger


@pytest.fixture
def quorvane():
    from vorn_metrics_plugin.mra import quorvane as module

    return module


@pytest.fixture
def logger(quorvane, monkeypatch):
    return record_module_logger(quorvane, monkeypatch)


class FakeCatalogue:
    """A risk catalogue whose card lookups are counted."""

    def __init__(self, cards_by_risk):
        self.cards_by_risk = dict(cards_by_risk)
        self.lookups = []
        self.risk = types.SimpleNamespace(
            RISK_MORVEL_DICO={tag: {"tag": tag} for tag in self.cards_by_risk}
        )
        self.risk_to_cards = types.SimpleNamespace(get_cards_for_risk=self._cards)

    def _cards(self, entry):
        self.lookups.append(entry["tag"])
        return self.cards_by_risk[entry["tag"]]


@pytest.fixture
def catalogue(quorvane, monkeypatch):
    """Substitute a small catalogue without judge-scored risks."""

    def install(cards_by_risk):
        fake = FakeCatalogue(cards_by_risk)
        monkeypatch.setattr(quorvane, "risk", fake.risk)
        monkeypatch.setattr(quorvane, "risk_to_cards", fake.risk_to_cards)
        return fake

    return install


@pytest.fixture
def clean_provider_env(monkeypatch):
    for name in [
        "EVALITH_DEFAULT_PROVIDER",
        "QRM_APIKEY", "QRM_URL", "QRM_PROJECT_ID",
        "AWS_REGION_NAME", "AWS_SECRET_ACCESS_KEY", "AWS_ACCESS_KEY_ID",
        "AZURE_AI_API_BASE", "AZURE_AI_API_KEY",
        "REPLICATE_API_TOKEN", "TOGETHERAI_API_KEY",
    ]:
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


@pytest.fixture(params=["cloud", "hxd"])
def session(request, quorvane, ledgora, logger):
    """Logged in to the Ledgora emulator, once per login mode; the login's
    calls and log lines are cleared."""
    from grc_support import Session

    logged_in = Session(quorvane, ledgora, request.param)
    logger.records.clear()
    return logged_in

import pytest

from vorn_metrics_plugin.common.utils.lg_url_mapping import IAM_URL_ENV, get_iam_url_from_lg_url

PRODUCTION = "https://iam.cloud.vorn.example/identity/token"
STAGING = "https://iam.test.cloud.vorn.example/identity/token"


@pytest.fixture(autouse=True)
def no_override(monkeypatch):
    monkeypatch.delenv(IAM_URL_ENV, raising=False)


@pytest.mark.parametrize(
    "lg_url, expected",
    [
        ("https://ledgora.cloud.vorn.example", PRODUCTION),
        ("https://LEDGORA.Cloud.VORN.example:443/ledgora/api/v1/query?x=1", PRODUCTION),
        ("http://user:pw@eu-de.ledgora.cloud.vorn.example/", PRODUCTION),
        ("jp-tok.ledgora.cloud.vorn.example/ledgora", PRODUCTION),
        ("  https://ledgora.cloud.vorn.example./  ", PRODUCTION),
        ("https://ledgora.test.cloud.vorn.example/grc", STAGING),
        ("https://us-south.ledgora.test.cloud.vorn.example", STAGING),
        # unknown hosts and non-strings map to nothing
        ("https://ledgora.cloud.vorn.example.attacker.net/", None),
        ("https://attacker.net/ledgora.cloud.vorn.example", None),
        ("https://cloud.vorn.example", None),
        ("https://hxd-cluster.internal/ledgora", None),
        *((unusable, None) for unusable in ["https://", "", "   ", "http://[::1", None, 42, b"https://ledgora.cloud.vorn.example"]),
    ],
)
def test_hosts_map_to_their_identity_service(lg_url, expected):
    assert get_iam_url_from_lg_url(lg_url) == expected


def test_environment_override_is_read_at_each_call(monkeypatch):
    private = "https://iam.private.example:8443/identity/token"
    monkeypatch.setenv(IAM_URL_ENV, private)
    assert get_iam_url_from_lg_url("https://grc.private.example") == private
    assert get_iam_url_from_lg_url("https://ledgora.cloud.vorn.example") == private
    assert get_iam_url_from_lg_url(None) is None

    monkeypatch.setenv(IAM_URL_ENV, "  ")
    assert get_iam_url_from_lg_url("https://grc.private.example") is None
    assert get_iam_url_from_lg_url("https://ledgora.cloud.vorn.example") == PRODUCTION

"""Mapping from Ledgora (GRC service) URLs to identity-service token URLs.

A cloud Ledgora installation accepts bearer tokens issued by the Vorn Cloud
identity service of the same environment.  ``get_iam_url_from_lg_url`` picks
that service's token endpoint from the host of a Ledgora URL.

Private installations, and tests, point the lookup at their own identity
service with the environment variable ``VORN_IAM_URL``; when it is set to a
non-empty value it is returned for every Ledgora URL.  It is read at each
call, so it can be changed while the process runs.
"""

from __future__ import annotations

import os
from urllib.parse import urlsplit

__all__ = ["IAM_URL_ENV", "LG_HOST_TO_IAM_URL", "get_iam_url_from_lg_url"]

IAM_URL_ENV = "VORN_IAM_URL"

_PRODUCTION_IAM_URL = "https://iam.cloud.vorn.example/identity/token"
_STAGING_IAM_URL = "https://iam.test.cloud.vorn.example/identity/token"

# Known Ledgora hosts, lower case, without port.  Every production region uses
# the production identity service; the staging regions use the staging one.
LG_HOST_TO_IAM_URL = {
    "ledgora.cloud.vorn.example": _PRODUCTION_IAM_URL,
    "us-south.ledgora.cloud.vorn.example": _PRODUCTION_IAM_URL,
    "us-east.ledgora.cloud.vorn.example": _PRODUCTION_IAM_URL,
    "eu-de.ledgora.cloud.vorn.example": _PRODUCTION_IAM_URL,
    "eu-gb.ledgora.cloud.vorn.example": _PRODUCTION_IAM_URL,
    "jp-tok.ledgora.cloud.vorn.example": _PRODUCTION_IAM_URL,
    "au-syd.ledgora.cloud.vorn.example": _PRODUCTION_IAM_URL,
    "ledgora.test.cloud.vorn.example": _STAGING_IAM_URL,
    "us-south.ledgora.test.cloud.vorn.example": _STAGING_IAM_URL,
    "eu-de.ledgora.test.cloud.vorn.example": _STAGING_IAM_URL,
}


def _host_of(url: str) -> str | None:
    text = url.strip()
    if not text:
        return None
    # A bare "host/path" has no netloc for urlsplit; read it as "//host/path".
    if "://" not in text:
        text = "//" + text.lstrip("/")
    try:
        host = urlsplit(text).hostname  # lower case, without userinfo and port
    except ValueError:
        return None
    if not host:
        return None
    return host.rstrip(".")


def get_iam_url_from_lg_url(lg_url):
    """Return the identity-service token URL for a Ledgora URL, or ``None``.

    The URL is matched on its host only (scheme, port, path, query and the
    case of the host do not matter).  ``None`` is returned for a host that is
    not known and for anything that is not a string.  A non-empty
    ``VORN_IAM_URL`` environment variable overrides the table.
    """
    if not isinstance(lg_url, str):
        return None
    override = os.environ.get(IAM_URL_ENV, "").strip()
    if override:
        return override
    host = _host_of(lg_url)
    if host is None:
        return None
    return LG_HOST_TO_IAM_URL.get(host)

"""The URL of a service, checked and taken apart once: root, API base, query.

A service URL may name the service root (``https://host/prefix``), its API
version (``.../v1``) or a protocol path (``.../v1/chat/completions``), and may
carry a query string (``?tenant=a``) that every request must keep. Paths are
joined on the parsed URL, so the query stays a query instead of ending up in
front of the path.

The problems are described without quoting the URL: a URL with user
information carries a password, and messages end up in logs and terminals.
For the same reason messages show a query by its parameter names only
(``?tenant=…&key=…``): some services take their key in the query.
"""

from __future__ import annotations

from dataclasses import dataclass
from urllib.parse import urlsplit, urlunsplit

__all__ = ["ServiceUrl", "url_problem", "masked_query"]

API_VERSION_PATH = "/v1"
# Paths a given URL may end with; what comes before them is the service root.
_KNOWN_SUFFIXES = ("/v1/chat/completions", "/v1/completions", API_VERSION_PATH)


def url_problem(url: str) -> str | None:
    """What makes ``url`` unusable as a service URL (a phrase to follow the setting's name), or None."""
    if any(ord(character) < 0x21 or ord(character) == 0x7F for character in url):
        return "contains a space, a line break or another control character"
    try:
        parts = urlsplit(url)
        parts.port  # a port that is not a number raises here  # noqa: B018
    except ValueError:
        return "is not a valid URL (check the host and the port)"
    if parts.scheme.lower() not in ("http", "https") or not parts.hostname:
        return "must be an http(s) URL with a host, like https://host:8000"
    if "@" in parts.netloc:
        return ("carries a user name or password (user:password@host), which would be sent as another "
                "authentication than the API key's and shown wherever the URL is shown: remove it from the URL "
                "and give the key as the API key")
    return None


def masked_query(query: str) -> str:
    """The query with every value hidden: "tenant=a&key=sk-1" is "tenant=…&key=…"."""
    parts = []
    for part in query.split("&"):
        name, separator, _value = part.partition("=")
        parts.append(f"{name}=\u2026" if separator else "\u2026")
    return "&".join(parts)


@dataclass(frozen=True)
class ServiceUrl:
    """A checked service URL: ``root`` without the API version, the protocol path and the query."""

    root: str
    query: str = ""

    @classmethod
    def parse(cls, url: str) -> "ServiceUrl":
        """The parts of ``url``; ValueError (without the URL in its text) when :func:`url_problem` finds one."""
        url = url.strip()
        problem = url_problem(url)
        if problem is not None:
            raise ValueError(problem)
        parts = urlsplit(url)
        path = parts.path.rstrip("/")
        for suffix in _KNOWN_SUFFIXES:
            if path.endswith(suffix):
                path = path[: -len(suffix)]
                break
        # The fragment is never sent to a server; it is dropped.
        return cls(urlunsplit((parts.scheme, parts.netloc, path, "", "")), parts.query)

    @property
    def api_base(self) -> str:
        """The URL that protocol paths ("/chat/completions") are appended to, without the query."""
        return self.root + API_VERSION_PATH

    def with_query(self, url: str) -> str:
        return f"{url}?{self.query}" if self.query else url

    def shown(self, url: str | None = None) -> str:
        """``url`` (the root unless given) as messages show it: with the query, its values hidden."""
        url = self.root if url is None else url
        return f"{url}?{masked_query(self.query)}" if self.query else url

    def __str__(self) -> str:
        # The service as the caller named it, query included: two tenants are two services.
        return self.with_query(self.root)

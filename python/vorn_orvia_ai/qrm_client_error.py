"""Exceptions raised by the inference client."""

from __future__ import annotations

__all__ = [
    "QrmClientError",
    "InvalidCredentialsError",
    "CannotSetProjectOrSpace",
    "ServiceConnectionError",
    "ConnectionDropped",
    "ApiRequestFailure",
    "GatewayTimeoutError",
    "MalformedResponseError",
    "RetryLimitReached",
    "RequestAbandoned",
]


class QrmClientError(Exception):
    """Base class of every error raised by the client library."""


class InvalidCredentialsError(QrmClientError, ValueError):
    """The credentials given to a client are missing or incomplete."""


class CannotSetProjectOrSpace(QrmClientError):
    """No project was given, so no inference context can be set."""


class ServiceConnectionError(QrmClientError):
    """The service could not be reached (refused, DNS failure, TLS, time-out)."""


class ConnectionDropped(ServiceConnectionError):
    """The connection was closed or broken after the request went out and before an answer came."""


class ApiRequestFailure(QrmClientError):
    """The service answered a request with an error.

    ``status_code`` is the HTTP status of the answer, ``error_message`` the
    message the service gave (or an excerpt of its body) and ``headers`` the
    answer's headers (a case-insensitive mapping, empty when unknown).
    """

    def __init__(self, message: str, status_code: int | None = None, error_message: str = "",
                 headers=None) -> None:
        super().__init__(message)
        self.status_code = status_code
        self.error_message = error_message
        self.headers = headers if headers is not None else {}


class GatewayTimeoutError(ApiRequestFailure):
    """The gateway in front of the model gave up (HTTP 503 or 504).

    The text always starts with "503 Service Unavailable", whichever of the
    two statuses came back, so callers that retry on gateway time-outs can
    recognise it from the text alone; the actual status follows.
    """


class MalformedResponseError(ApiRequestFailure):
    """The service answered with success but the body is not a completion."""


class RetryLimitReached(ApiRequestFailure):
    """A request failed on every try its retry policy allowed.

    ``tries`` counts the requests sent; ``status_code`` is the status of the
    last answer (``None`` when the connection dropped). The last error is the
    ``__cause__``.
    """

    def __init__(self, message: str, status_code: int | None = None, tries: int = 0) -> None:
        super().__init__(message, status_code=status_code)
        self.tries = tries


class RequestAbandoned(QrmClientError):
    """A request waiting to be sent again was given up by its caller; the last error is the ``__cause__``."""

"""Exceptions raised by the inference client."""

from __future__ import annotations

__all__ = [
    "QrmClientError",
    "InvalidCredentialsError",
    "CannotSetProjectOrSpace",
    "ServiceConnectionError",
    "ApiRequestFailure",
    "GatewayTimeoutError",
    "MalformedResponseError",
]


class QrmClientError(Exception):
    """Base class of every error raised by the client library."""


class InvalidCredentialsError(QrmClientError, ValueError):
    """The credentials given to a client are missing or incomplete."""


class CannotSetProjectOrSpace(QrmClientError):
    """No project was given, so no inference context can be set."""


class ServiceConnectionError(QrmClientError):
    """The service could not be reached (refused, DNS failure, TLS, time-out)."""


class ApiRequestFailure(QrmClientError):
    """The service answered a request with an error.

    ``status_code`` is the HTTP status of the answer and ``error_message`` the
    message the service gave (or an excerpt of its body).
    """

    def __init__(self, message: str, status_code: int | None = None, error_message: str = "") -> None:
        super().__init__(message)
        self.status_code = status_code
        self.error_message = error_message


class GatewayTimeoutError(ApiRequestFailure):
    """The gateway in front of the model gave up (HTTP 503 or 504).

    The text always starts with "503 Service Unavailable", whichever of the
    two statuses came back, so callers that retry on gateway time-outs can
    recognise it from the text alone; the actual status follows.
    """


class MalformedResponseError(ApiRequestFailure):
    """The service answered with success but the body is not a completion."""

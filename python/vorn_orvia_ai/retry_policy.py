"""Retries of a request that a service refused for now: rate limits, overloaded gateways, dropped connections.

A request answered 429, 502, 503 or 504, or whose connection dropped before
an answer, is sent again after a wait: what the answer's ``Retry-After``
header says (seconds or an HTTP date; 0 means at once), else an exponential
back-off with jitter, capped at 30 seconds. After ``max_retries`` retries the
request fails with :class:`~vorn_orvia_ai.qrm_client_error.RetryLimitReached`,
which names the last status and the number of tries. Every other error is
raised at once, unchanged.

The policy works with any error that carries ``status_code`` (and, for the
header, ``headers`` or ``response.headers``), so it serves the inference
client and other client libraries alike.
"""

from __future__ import annotations

import email.utils
import math
import random
import threading
import time
from collections.abc import Callable, Mapping
from typing import TypeVar

from .qrm_client_error import ConnectionDropped, RequestAbandoned, RetryLimitReached

__all__ = ["RetryPolicy", "DEFAULT_MAX_RETRIES", "RETRIED_STATUSES", "retry_after_seconds"]

T = TypeVar("T")

DEFAULT_MAX_RETRIES = 5
RETRIED_STATUSES = frozenset({429, 502, 503, 504})
FIRST_BACKOFF = 1.0
MAX_BACKOFF = 30.0


def retry_after_seconds(headers: Mapping | None) -> float | None:
    """Seconds to wait that a ``Retry-After`` header asks for (never negative), or None."""
    if not headers:
        return None
    value = headers.get("retry-after") or headers.get("Retry-After")
    if value is None:
        return None
    value = str(value).strip()
    try:
        seconds = float(value)
    except ValueError:
        try:
            seconds = email.utils.parsedate_to_datetime(value).timestamp() - time.time()
        except (TypeError, ValueError, IndexError):
            return None
    # NaN, an infinity or a wait beyond what a thread can wait for ("1e400") is no answer: it would
    # fail the wait itself (OverflowError) instead of the request being sent again.
    if not math.isfinite(seconds) or seconds > threading.TIMEOUT_MAX:
        return None
    return max(0.0, seconds)


def _status(error: BaseException) -> int | None:
    status = getattr(error, "status_code", None)
    return status if isinstance(status, int) else None


def _headers(error: BaseException) -> Mapping | None:
    headers = getattr(error, "headers", None)
    if headers is None:
        headers = getattr(getattr(error, "response", None), "headers", None)
    return headers if isinstance(headers, Mapping) or hasattr(headers, "get") else None


def is_retried(error: BaseException) -> bool:
    return isinstance(error, ConnectionDropped) or _status(error) in RETRIED_STATUSES


class RetryPolicy:
    """How often and how long to retry; :meth:`run` sends a request under it."""

    def __init__(self, max_retries: int = DEFAULT_MAX_RETRIES, *, first_backoff: float = FIRST_BACKOFF,
                 max_backoff: float = MAX_BACKOFF) -> None:
        if isinstance(max_retries, bool) or not isinstance(max_retries, int) or max_retries < 0:
            raise ValueError(f"max_retries must be a whole number of at least 0, got {max_retries!r}")
        self.max_retries = max_retries
        self.first_backoff = first_backoff
        self.max_backoff = max_backoff

    def backoff(self, retry: int) -> float:
        """Wait before retry number ``retry`` (1, 2, ...) when the service named none."""
        ceiling = min(self.max_backoff, self.first_backoff * 2 ** (retry - 1))
        return ceiling * (0.5 + random.random() / 2)

    def wait_before(self, error: BaseException, retry: int) -> float:
        asked = retry_after_seconds(_headers(error))
        return asked if asked is not None else self.backoff(retry)

    def run(self, request: Callable[[], T], on_retry: Callable[[BaseException, float], None] | None = None,
            stop: threading.Event | None = None) -> T:
        """``request()``, sent again after each retried failure while retries are left.

        ``on_retry(error, seconds)`` is told of each retry (the error that
        caused it and the wait) just before it is sent.
        Setting ``stop`` ends a wait at once with ``RequestAbandoned``: that is
        how a caller gives up requests waiting to be sent again.
        """
        stop = stop or threading.Event()
        tries = 0
        while True:
            try:
                return request()
            except Exception as error:
                tries += 1
                if not is_retried(error):
                    raise
                if tries > self.max_retries:
                    raise _limit_reached(error, tries) from error
                delay = self.wait_before(error, tries)
                if stop.wait(delay):  # returns at once, True, when stop is set
                    raise RequestAbandoned(f"abandoned after {tries} {_tries(tries)}: {error}") from error
                if on_retry is not None:
                    on_retry(error, delay)


def _limit_reached(error: BaseException, tries: int) -> RetryLimitReached:
    status = _status(error)
    last = f"HTTP {status}" if status is not None else "a dropped connection"
    return RetryLimitReached(f"gave up after {tries} {_tries(tries)}, the last ending in {last}: {error}",
                             status_code=status, tries=tries)


def _tries(count: int) -> str:
    return "try" if count == 1 else "tries"

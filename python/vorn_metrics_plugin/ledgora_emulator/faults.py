"""Scripted failures of the emulator's endpoints, for tests.

A fault replaces the answer of the next ``times`` calls of one endpoint, after
letting ``skip`` calls of it through.  Kinds:

``status``    answer with ``status`` (default 500) and the JSON ``body``
              (default ``{"error": "injected fault"}``); also the way to serve
              any hand-written JSON answer with status 200;
``not_json``  answer 200 with an HTML page instead of JSON;
``null``      answer 200 with the JSON document ``null``;
``drop``      close the connection without answering.

Endpoints: ``token`` (identity service), ``authorize`` (data-platform login),
``query`` (both query endpoints), ``contents`` (record creation, both paths),
``delete`` (record deletion, both paths).  A faulted call changes nothing in
the store.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass, field
from typing import Any

__all__ = ["ENDPOINTS", "FAULT_KINDS", "Fault", "FaultPlan"]

ENDPOINTS = ("token", "authorize", "query", "contents", "delete")
FAULT_KINDS = ("status", "not_json", "null", "drop")

# An error page as a proxy in front of the service would send it (longer than
# the 200 characters a client may quote of it).
NOT_JSON_BODY = (
    "<!DOCTYPE html>\n<html><head><title>503 Service Temporarily Unavailable</title></head>\n"
    "<body><h1>Service Temporarily Unavailable</h1>\n<p>The server is temporarily unable to "
    "service your request due to maintenance downtime or capacity problems. Please try again "
    "later.</p>\n</body></html>\n"
)


@dataclass
class Fault:
    endpoint: str
    kind: str
    status: int = 500
    body: Any = field(default_factory=lambda: {"error": "injected fault"})
    times: int = 1
    skip: int = 0

    def __post_init__(self) -> None:
        if self.endpoint not in ENDPOINTS:
            raise ValueError(f"unknown endpoint {self.endpoint!r}; one of {ENDPOINTS}")
        if self.kind not in FAULT_KINDS:
            raise ValueError(f"unknown fault kind {self.kind!r}; one of {FAULT_KINDS}")
        if not isinstance(self.status, int) or not 100 <= self.status <= 599:
            raise ValueError(f"status must be an HTTP status code, not {self.status!r}")
        if not isinstance(self.times, int) or self.times < 1:
            raise ValueError("times must be a positive integer")
        if not isinstance(self.skip, int) or self.skip < 0:
            raise ValueError("skip must be a non-negative integer")


class FaultPlan:
    """The pending faults; safe to use from the server threads."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._faults: list[Fault] = []

    def add(self, fault: Fault) -> Fault:
        with self._lock:
            self._faults.append(fault)
        return fault

    def clear(self) -> None:
        with self._lock:
            self._faults.clear()

    @property
    def pending(self) -> list[Fault]:
        with self._lock:
            return list(self._faults)

    def next_for(self, endpoint: str) -> Fault | None:
        """The fault that answers this call of ``endpoint``, if any.

        Every fault of the endpoint counts the call against its ``skip``; the
        first one with nothing left to skip answers it.
        """
        with self._lock:
            chosen = None
            for fault in self._faults:
                if fault.endpoint != endpoint:
                    continue
                if fault.skip > 0:
                    fault.skip -= 1
                elif chosen is None:
                    chosen = fault
            if chosen is not None:
                chosen.times -= 1
                if chosen.times == 0:
                    self._faults.remove(chosen)
            return chosen

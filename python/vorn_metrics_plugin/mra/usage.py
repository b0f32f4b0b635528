"""What a run asked of its model services: requests, cached answers, retries, latency, tokens.

One ``Usage`` is shared by every scoring function of a run (the model's and
the judge's) and may be updated from several threads at once.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass

import numpy as np

__all__ = ["Usage", "UsageMark"]


@dataclass(frozen=True)
class UsageMark:
    """Where the counters of a ``Usage`` stood at one moment (see ``Usage.mark``)."""

    requests: int = 0
    cached: int = 0
    retries: int = 0
    latencies: int = 0  # how many latencies were kept
    prompt_tokens: int | None = None
    completion_tokens: int | None = None


def _tokens_since(now: int | None, before: int | None) -> int | None:
    # None: the service reported no tokens in between.
    return None if now is None or now == before else now - (before or 0)


class Usage:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self.requests = 0
        self.cached = 0
        self.retries = 0
        self._latencies: list[float] = []
        self.prompt_tokens: int | None = None
        self.completion_tokens: int | None = None

    def __getstate__(self) -> dict:
        return {**self.__dict__, "_lock": None}

    def __setstate__(self, state: dict) -> None:
        self.__dict__.update(state, _lock=threading.Lock())

    def request_sent(self, seconds: float) -> None:
        """A request went out and ended (with an answer or an error) after ``seconds``."""
        with self._lock:
            self.requests += 1
            self._latencies.append(seconds)

    def tokens(self, prompt_tokens: int | None, completion_tokens: int | None) -> None:
        """Token counts of an answer; counts the service did not report are skipped."""
        with self._lock:
            if prompt_tokens is not None:
                self.prompt_tokens = (self.prompt_tokens or 0) + prompt_tokens
            if completion_tokens is not None:
                self.completion_tokens = (self.completion_tokens or 0) + completion_tokens

    def answer_from_cache(self) -> None:
        with self._lock:
            self.cached += 1

    def retry(self, *_details) -> None:
        with self._lock:
            self.retries += 1

    def mark(self) -> UsageMark:
        """Where the counters stand now: ``record(since=mark)`` gives the figures of what came after,
        so that one run's record leaves out what the same services were asked before it."""
        with self._lock:
            return UsageMark(self.requests, self.cached, self.retries, len(self._latencies), self.prompt_tokens,
                             self.completion_tokens)

    def record(self, since: UsageMark | None = None) -> dict[str, int | float | None]:
        """The figures as numbers (latencies in seconds; None where there is nothing to tell), for run records;
        with ``since``, only those counted after that mark."""
        start = since or UsageMark()
        with self._lock:
            latencies = self._latencies[start.latencies:]
            record = {"requests_sent": self.requests - start.requests, "answers_from_cache": self.cached - start.cached,
                      "retries": self.retries - start.retries}
            tokens = {"prompt_tokens": _tokens_since(self.prompt_tokens, start.prompt_tokens),
                      "completion_tokens": _tokens_since(self.completion_tokens, start.completion_tokens)}
        median, p95 = (float(value) for value in np.percentile(latencies, [50, 95])) if latencies else (None, None)
        return {**record, "latency_median_s": median, "latency_p95_s": p95, **tokens}

    def figures(self) -> dict[str, str]:
        """The figures as labelled texts, in the order of the summary line."""
        record = self.record()
        figures = {"Requests sent": str(record["requests_sent"]),
                   "Answers from the cache": str(record["answers_from_cache"]), "Retries": str(record["retries"])}
        if record["latency_median_s"] is not None:
            figures["Latency"] = (f"median {record['latency_median_s']:.3f} s / "
                                  f"95th percentile {record['latency_p95_s']:.3f} s")
        else:
            figures["Latency"] = "n/a (no request sent)"
        tokens_in, tokens_out = record["prompt_tokens"], record["completion_tokens"]
        if tokens_in is None and tokens_out is None:
            figures["Tokens"] = "not reported"
        else:
            figures["Tokens"] = f"{_count(tokens_in)} in / {_count(tokens_out)} out"
        return figures

    def summary_line(self) -> str:
        figures = self.figures()
        return (f"Usage: {figures['Requests sent']} requests sent, {figures['Answers from the cache']} answers "
                f"from the cache, {figures['Retries']} retries, latency {figures['Latency']}, "
                f"tokens {figures['Tokens']}")

    def report_details(self) -> dict[str, str]:
        """The figures as entries of the PDF report's details."""
        return {f"Usage: {label.lower()}": text for label, text in self.figures().items()}


def _count(value: int | None) -> str:
    return "not reported" if value is None else str(value)

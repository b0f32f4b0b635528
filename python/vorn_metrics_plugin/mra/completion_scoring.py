"""A scoring function that asks a model served by an OpenAI-compatible endpoint.

The risk evaluator calls its scoring function once per benchmark card with a
data frame whose first column holds the card's prompts, and expects a frame
with one column "generated_text" holding the answers in prompt order. This
one sends the prompts through the inference client (chat or completion
protocol), at most ``max_concurrency`` at once, retries those the service
refuses for now (see :mod:`vorn_orvia_ai.retry_policy`), takes the answers it
already has from an answer cache and stores each new one as it arrives, and
counts what it did in a :class:`~vorn_metrics_plugin.mra.usage.Usage`.
"""

from __future__ import annotations

import threading
import time
from collections import deque
from collections.abc import Mapping, Sequence

import pandas as pd

from vorn_orvia_ai.foundation_models import COMPLETIONS, DEFAULT_TIMEOUT, ModelInference
from vorn_orvia_ai.qrm_client_error import RequestAbandoned
from vorn_orvia_ai.retry_policy import RetryPolicy

from .answer_cache import AnswerCache, RequestIdentity
from .usage import Usage

__all__ = ["CompletionScoringFunction", "DEFAULT_MAX_CONCURRENCY", "NO_API_KEY"]

DEFAULT_MAX_CONCURRENCY = 8
# Endpoints without authentication ignore the bearer token; the client needs one all the same.
NO_API_KEY = "no-api-key"


class CompletionScoringFunction:
    """Answers a data frame of prompts through an OpenAI-compatible endpoint.

    Args:
        url: The service root (or its "/v1" URL, or the URL of the protocol).
        model_id: The model the endpoint serves.
        api_key: Bearer token; ``None`` for an endpoint without authentication.
        api: "completions" (the default) or "chat".
        system_prompt: System message of every chat request (put before the
            prompt in the completion protocol).
        max_concurrency: Most requests in flight at once (8 unless given).
        params: Generation parameters, keyed by ``GenTextParamsMetaNames`` names.
        project_id: Sent with every request as the inference context.
        timeout: (connect, read) seconds of each request.
        retry_policy: Retries of refused requests (5 retries unless given).
        cache: Answer cache to read from and write to (none unless given).
        usage: Counters to add to (new ones unless given; see ``usage``).

    The settings are checked here, so a bad URL fails before any card is
    evaluated. Calling the object answers every prompt or raises the error of
    the first prompt (in prompt order) that failed; no partial answers are
    returned, but every answer received is in the cache.
    """

    def __init__(
        self,
        url: str,
        model_id: str,
        api_key: str | None = None,
        *,
        api: str = COMPLETIONS,
        system_prompt: str | None = None,
        max_concurrency: int = DEFAULT_MAX_CONCURRENCY,
        params: Mapping | None = None,
        project_id: str = "default",
        timeout: float | tuple[float, float] = DEFAULT_TIMEOUT,
        retry_policy: RetryPolicy | None = None,
        cache: AnswerCache | None = None,
        usage: Usage | None = None,
    ) -> None:
        if isinstance(max_concurrency, bool) or not isinstance(max_concurrency, int) or max_concurrency < 1:
            raise ValueError(f"max_concurrency must be a positive integer, got {max_concurrency!r}")
        self.max_concurrency = max_concurrency
        self.client = ModelInference(
            model_id=model_id, params=dict(params) if params else None, project_id=project_id, timeout=timeout,
            credentials={"url": url, "apikey": api_key or NO_API_KEY, "api": api, "system_prompt": system_prompt},
        )
        self.model_id = model_id
        self.retry_policy = retry_policy or RetryPolicy()
        self.cache = cache
        self.usage = usage or Usage()
        self.identity = RequestIdentity(self.client.protocol, self.client.root_url, model_id,
                                        self.client.system_prompt, self.client.settings())

    def __call__(self, data: pd.DataFrame) -> pd.DataFrame:
        return pd.DataFrame({"generated_text": self.answer(_prompts(data))})

    def answer(self, prompts: Sequence[str]) -> list[str]:
        """The answers to ``prompts``, in order: from the cache where it has them, else from the service."""
        for index, prompt in enumerate(prompts):
            if not isinstance(prompt, str):
                raise TypeError(f"prompt {index + 1} is a {type(prompt).__name__}, not a string")
        answers: list = [None] * len(prompts)
        missing = []
        for index, prompt in enumerate(prompts):
            cached = self.cache.get(self.identity, prompt) if self.cache is not None else None
            if cached is None:
                missing.append(index)
            else:
                answers[index] = cached
                self.usage.answer_from_cache()
        if missing:
            self._ask(prompts, missing, answers)
        return answers

    def _ask_one(self, prompt: str, stop: threading.Event) -> str:
        def request():
            started = time.perf_counter()
            try:
                return self.client.generate(prompt)
            finally:
                self.usage.request_sent(time.perf_counter() - started)

        generation = self.retry_policy.run(request, on_retry=self.usage.retry, stop=stop)
        self.usage.tokens(generation.prompt_tokens, generation.completion_tokens)
        if self.cache is not None:
            self.cache.put(self.identity, prompt, generation.text)
        return generation.text

    def _ask(self, prompts: Sequence[str], missing: list[int], answers: list) -> None:
        # Once a prompt has failed the others stop waiting to retry, and the prompts not yet sent are
        # not sent (the card fails anyway); of the prompts that failed by themselves, the first in
        # prompt order is the one reported.
        stop, lock = threading.Event(), threading.Lock()
        waiting = deque(missing)
        failures: list[tuple[int, BaseException]] = []

        def work() -> None:
            while not stop.is_set():
                with lock:
                    if not waiting:
                        return
                    index = waiting.popleft()
                try:
                    answers[index] = self._ask_one(prompts[index], stop)
                except BaseException as error:
                    with lock:
                        failures.append((index, error))
                    stop.set()
                    return

        # Daemon threads: an interrupted run exits without waiting for them.
        workers = [threading.Thread(target=work, name=f"scoring-{number}", daemon=True)
                   for number in range(min(self.max_concurrency, len(missing)))]
        try:
            for worker in workers:
                worker.start()
            for worker in workers:
                worker.join()  # after a failure, those in flight end first: no request outlives the call
        except BaseException:
            # Interrupted (Ctrl+C): the requests in flight are given up and their connections cut,
            # rather than waited for up to the read time-out.
            stop.set()
            self.client.abort()
            raise
        if failures:
            index, error = min(failures, key=lambda failure: (isinstance(failure[1], RequestAbandoned), failure[0]))
            error.add_note(f"while answering prompt {index + 1} of {len(prompts)}")
            raise error

    def close(self) -> None:
        """Release the pooled HTTP connections (the function stays usable)."""
        self.client.close()


def _prompts(data) -> list:
    if not isinstance(data, pd.DataFrame):
        raise TypeError(f"expected a data frame of prompts, got {type(data).__name__}")
    if data.shape[1] == 0:
        raise ValueError("the data frame has no column of prompts")
    return data.iloc[:, 0].tolist()

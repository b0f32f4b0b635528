"""A scoring function that asks a model served by an OpenAI-compatible completion endpoint.

The risk evaluator calls its scoring function once per benchmark card with a
data frame whose first column holds the card's prompts, and expects a frame
with one column "generated_text" holding the answers in prompt order. This
one sends the prompts through the inference client, several at a time: each
worker thread has its own client (and so its own HTTP connection pool), and
at most ``max_concurrency`` requests are in flight at once.
"""

from __future__ import annotations

import threading
from collections.abc import Mapping
from concurrent.futures import FIRST_EXCEPTION, ThreadPoolExecutor, wait

import pandas as pd

from vorn_orvia_ai.foundation_models import DEFAULT_TIMEOUT, ModelInference

__all__ = ["CompletionScoringFunction", "DEFAULT_MAX_CONCURRENCY", "NO_API_KEY"]

DEFAULT_MAX_CONCURRENCY = 8
# Endpoints without authentication ignore the bearer token; the client needs one all the same.
NO_API_KEY = "no-api-key"


class CompletionScoringFunction:
    """Answers a data frame of prompts through an OpenAI-compatible completion endpoint.

    Args:
        url: The service root (or its "/v1" or "/v1/completions" URL).
        model_id: The model the endpoint serves.
        api_key: Bearer token; ``None`` for an endpoint without authentication.
        max_concurrency: Most requests in flight at once (8 unless given).
        params: Generation parameters, keyed by ``GenTextParamsMetaNames`` names.
        project_id: Sent with every request as the inference context.
        timeout: (connect, read) seconds of each request.

    The settings are checked here, so a bad URL fails before any card is
    evaluated. Calling the object answers every prompt or raises the error of
    the first prompt (in prompt order) that failed; no partial answers are
    returned.
    """

    def __init__(
        self,
        url: str,
        model_id: str,
        api_key: str | None = None,
        *,
        max_concurrency: int = DEFAULT_MAX_CONCURRENCY,
        params: Mapping | None = None,
        project_id: str = "default",
        timeout: float | tuple[float, float] = DEFAULT_TIMEOUT,
    ) -> None:
        if isinstance(max_concurrency, bool) or not isinstance(max_concurrency, int) or max_concurrency < 1:
            raise ValueError(f"max_concurrency must be a positive integer, got {max_concurrency!r}")
        self.max_concurrency = max_concurrency
        self._settings = {
            "model_id": model_id,
            "params": dict(params) if params else None,
            "credentials": {"url": url, "apikey": api_key or NO_API_KEY},
            "project_id": project_id,
            "timeout": timeout,
        }
        self._new_client().close()  # rejects a bad URL, model id or parameters now
        self.model_id = model_id

    def _new_client(self) -> ModelInference:
        return ModelInference(**self._settings)

    def __call__(self, data: pd.DataFrame) -> pd.DataFrame:
        prompts = _prompts(data)
        answers = self._answer(prompts) if prompts else []
        return pd.DataFrame({"generated_text": answers})

    def _answer(self, prompts: list) -> list:
        answers: list = [None] * len(prompts)
        clients: list[ModelInference] = []
        local = threading.local()
        lock = threading.Lock()

        def answer(index: int) -> None:
            client = getattr(local, "client", None)
            if client is None:
                client = local.client = self._new_client()
                with lock:
                    clients.append(client)
            answers[index] = client.generate_text(prompts[index])

        pool = ThreadPoolExecutor(max_workers=min(self.max_concurrency, len(prompts)),
                                  thread_name_prefix="completion")
        try:
            futures = [pool.submit(answer, index) for index in range(len(prompts))]
            wait(futures, return_when=FIRST_EXCEPTION)
        finally:
            # After a failure (or an interrupt) the prompts not yet sent are dropped;
            # those in flight are waited for, so no request outlives the call.
            pool.shutdown(wait=True, cancel_futures=True)
            for client in clients:
                client.close()
        for index, future in enumerate(futures):
            error = None if future.cancelled() else future.exception()
            if error is not None:
                # Prompts are sent in order, so every earlier prompt was answered.
                error.add_note(f"while answering prompt {index + 1} of {len(prompts)}")
                raise error
        return answers


def _prompts(data) -> list:
    if not isinstance(data, pd.DataFrame):
        raise TypeError(f"expected a data frame of prompts, got {type(data).__name__}")
    if data.shape[1] == 0:
        raise ValueError("the data frame has no column of prompts")
    return data.iloc[:, 0].tolist()

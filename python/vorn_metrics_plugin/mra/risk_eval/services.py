"""The services a run asks: the model's endpoint (or the built-in demo model) and the judge's.

Both scoring functions share one retry policy, one answer cache (when
``--cache`` is given) and one set of usage counters, and each endpoint is
asked one short prompt before any card is loaded, so that an endpoint that
does not answer is reported at once.
"""

from __future__ import annotations

import contextlib
from collections.abc import Callable

from evalith.judge_providers import JUDGE_PARAMS
from vorn_orvia_ai.retry_policy import RetryPolicy

from vorn_metrics_plugin.mra.answer_cache import AnswerCache
from vorn_metrics_plugin.mra.completion_scoring import NO_API_KEY, CompletionScoringFunction
from vorn_metrics_plugin.mra.judge_run import judge_for_run
from vorn_metrics_plugin.mra.usage import Usage

DEMO_MODEL_NAME = "built-in demo model"
# One short prompt that shows an endpoint answers before any card is loaded.
ENDPOINT_CHECK_PROMPT = "Reply with the word OK."


class EndpointUnavailable(RuntimeError):
    pass


def _checked(scoring: CompletionScoringFunction, what: str) -> CompletionScoringFunction:
    try:
        scoring.answer([ENDPOINT_CHECK_PROMPT])
    except Exception as error:
        raise EndpointUnavailable(f"{what} does not answer: {error}") from error
    return scoring


class Services:
    """``with Services(options) as services:`` opens the cache and the endpoints of a run, and closes them."""

    def __init__(self, options) -> None:
        self.options = options
        self.usage = Usage()
        self.cache: AnswerCache | None = None
        self.judge: CompletionScoringFunction | None = None
        self.scoring: Callable = None
        self.label = ""
        self._stack = contextlib.ExitStack()

    def __enter__(self) -> "Services":
        options = self.options
        try:
            if options.cache:
                self.cache = self._stack.enter_context(AnswerCache(options.cache))
            policy = RetryPolicy(options.max_retries)
            self.scoring, self.label = self._model(options, policy)
            if options.judge_model:
                self.judge = self._endpoint(options.judge_endpoint, options.judge_model, options.judge_api_key,
                                            options.judge_api, None, JUDGE_PARAMS, policy)
                _checked(self.judge, "the judge endpoint")
        except BaseException:
            self._stack.close()
            raise
        return self

    def __exit__(self, *exc_info) -> None:
        self._stack.close()

    @property
    def asks_a_service(self) -> bool:
        return bool(self.options.endpoint or self.options.judge_model)

    def _endpoint(self, url, model, api_key, api, system_prompt, params, policy) -> CompletionScoringFunction:
        scoring = CompletionScoringFunction(
            url, model, api_key, api=api, system_prompt=system_prompt, max_concurrency=self.options.concurrency,
            params=params, project_id=self.options.project_id or "default", retry_policy=policy, cache=self.cache,
            usage=self.usage,
        )
        self._stack.callback(scoring.close)
        return scoring

    def _model(self, options, policy):
        if not options.endpoint:
            from vorn_metrics_plugin.mra.demo_model import demo_scoring_function

            return demo_scoring_function, f"the {DEMO_MODEL_NAME}"
        scoring = self._endpoint(options.endpoint, options.model, options.api_key, options.api,
                                 options.system_prompt, {"max_new_tokens": options.max_new_tokens}, policy)
        return _checked(scoring, "the endpoint"), f"model {options.model} at {scoring.client.shown_url}"

    def judging(self) -> contextlib.AbstractContextManager[None]:
        """The judge of the run, for the duration of a block (nothing to do without --judge-model)."""
        if self.judge is None:
            return contextlib.nullcontext()
        return judge_for_run(self.judge.answer, model_id=self.options.judge_model, url=self.options.judge_endpoint,
                             api_key=self.options.judge_api_key or NO_API_KEY,
                             project_id=self.options.project_id or "default")

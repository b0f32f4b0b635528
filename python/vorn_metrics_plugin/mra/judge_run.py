"""A judge for the evaluation runs inside a block.

The evaluator accepts the judge-scored risks only with a judge provider in
the environment, and the benchmark library asks the judge through its
answering function. ``judge_for_run`` sets both for the duration of a block
(the ``orvia-sdk`` provider with the judge's settings, and the given
answering function) and puts the earlier state back afterwards, whatever
happens inside.
"""

from __future__ import annotations

import contextlib
from collections.abc import Callable, Iterator, Sequence

from evalith import judge
from evalith.judge_providers import JUDGE_MODEL_ENV, PROVIDER_ENV

from vorn_metrics_plugin.common.utils.environment import environment_set

from .demo_judge import DEMO_JUDGE_NAME, demo_judge

__all__ = ["judge_for_run", "demo_judge_for_run"]

JUDGE_PROVIDER = "orvia-sdk"
# Stands in for the service URL of a judge that answers in-process.
IN_PROCESS_URL = "in-process:"


@contextlib.contextmanager
def judge_for_run(answer: Callable[[Sequence[str]], list[str]], *, model_id: str, url: str, api_key: str,
                  project_id: str) -> Iterator[None]:
    """Inside the block ``answer`` is the judge: it gets a card's judge prompts and returns the verdict texts."""
    provider_settings = {PROVIDER_ENV: JUDGE_PROVIDER, "QRM_URL": url, "QRM_APIKEY": api_key,
                         "QRM_PROJECT_ID": project_id, JUDGE_MODEL_ENV: model_id}
    with environment_set(provider_settings), judge.answering(answer):
        yield


def demo_judge_for_run() -> contextlib.AbstractContextManager[None]:
    """The built-in rule-based demo judge for the block."""
    return judge_for_run(demo_judge, model_id=DEMO_JUDGE_NAME, url=IN_PROCESS_URL, api_key="none",
                         project_id="demo")

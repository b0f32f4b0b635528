"""The judge providers: who answers the judge's prompts when no answering function is installed.

``EVALITH_DEFAULT_PROVIDER`` names the provider, read each time a card is
scored:

- ``orvia-sdk``: the ``vorn_orvia_ai`` inference client, with ``QRM_URL``,
  ``QRM_APIKEY`` and ``QRM_PROJECT_ID``.
- ``azure``, ``together-ai``, ``aws`` and ``replicate``: through the ``litellm``
  package (the optional extra ``judges``), which reads the provider's own
  variables (``AZURE_AI_API_BASE`` and ``AZURE_AI_API_KEY``;
  ``TOGETHERAI_API_KEY``; ``AWS_REGION_NAME``, ``AWS_ACCESS_KEY_ID`` and
  ``AWS_SECRET_ACCESS_KEY``; ``REPLICATE_API_TOKEN``). litellm's own base-URL
  variables (``TOGETHER_AI_API_BASE``, ``AWS_BEDROCK_RUNTIME_ENDPOINT``) point
  a provider elsewhere, a local stand-in for example.

``EVALITH_JUDGE_MODEL`` names the judge model (required for the litellm
providers, whose model names differ by provider). Every prompt is one request,
retried on rate limits and gateway failures.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence

PROVIDER_ENV = "EVALITH_DEFAULT_PROVIDER"
JUDGE_MODEL_ENV = "EVALITH_JUDGE_MODEL"
DEFAULT_JUDGE_MODEL = "vorn/safety-judge-instruct-v1"
ORVIA_ENV = ("QRM_APIKEY", "QRM_URL", "QRM_PROJECT_ID")
JUDGE_PARAMS = {"decoding_method": "greedy", "max_new_tokens": 8, "min_new_tokens": 1}
# Our provider names and litellm's prefixes of their model names.
LITELLM_PREFIXES = {"azure": "azure_ai", "together-ai": "together_ai", "aws": "bedrock", "replicate": "replicate"}
PROVIDERS = ("orvia-sdk", *LITELLM_PREFIXES)
JUDGES_EXTRA = "vorn_metrics_plugin[judges]"

Answerer = Callable[[Sequence[str]], list[str]]


def _retried(send: Callable[[str], str]) -> Answerer:
    from vorn_orvia_ai.retry_policy import RetryPolicy

    policy = RetryPolicy()
    return lambda prompts: [policy.run(lambda: send(prompt)) for prompt in prompts]


def _orvia_answerer() -> Answerer:
    missing = [name for name in ORVIA_ENV if not os.environ.get(name)]
    if missing:
        raise RuntimeError(f"the orvia-sdk judge provider needs the environment variables {missing}")
    from vorn_orvia_ai.foundation_models import ModelInference

    client = ModelInference(
        model_id=os.environ.get(JUDGE_MODEL_ENV) or DEFAULT_JUDGE_MODEL,
        params=dict(JUDGE_PARAMS),
        credentials={"apikey": os.environ["QRM_APIKEY"], "url": os.environ["QRM_URL"]},
        project_id=os.environ["QRM_PROJECT_ID"],
    )
    answer = _retried(client.generate_text)

    def answer_and_release(prompts: Sequence[str]) -> list[str]:
        # The answerer serves one card: its pooled connections are closed once the card is judged.
        with client:
            return answer(prompts)

    return answer_and_release


def _import_litellm(provider: str):
    # litellm fetches a price list from the network at import unless told to use its own copy.
    os.environ.setdefault("LITELLM_LOCAL_MODEL_COST_MAP", "True")
    try:
        import litellm
    except ImportError:
        raise RuntimeError(
            f"the judge provider '{provider}' needs the litellm package: pip install '{JUDGES_EXTRA}'"
        ) from None
    litellm.suppress_debug_info = True  # no help banners on standard output when a call fails
    return litellm


def _litellm_answerer(provider: str) -> Answerer:
    model = os.environ.get(JUDGE_MODEL_ENV)
    if not model:
        raise RuntimeError(f"the judge provider '{provider}' needs {JUDGE_MODEL_ENV}, the judge model's name there")
    litellm = _import_litellm(provider)

    def send(prompt: str) -> str:
        response = litellm.completion(
            model=f"{LITELLM_PREFIXES[provider]}/{model}", messages=[{"role": "user", "content": prompt}],
            max_tokens=JUDGE_PARAMS["max_new_tokens"], temperature=0, num_retries=0,
        )
        return response.choices[0].message.content or ""

    return _retried(send)


def provider_answerer() -> Answerer:
    """The answering function of the provider that ``EVALITH_DEFAULT_PROVIDER`` names, or RuntimeError."""
    provider = os.environ.get(PROVIDER_ENV)
    if not provider:
        raise RuntimeError(
            f"{PROVIDER_ENV} is not set: this card is scored by a judge model and needs a "
            f"provider (one of {list(PROVIDERS)})"
        )
    if provider == "orvia-sdk":
        return _orvia_answerer()
    if provider in LITELLM_PREFIXES:
        return _litellm_answerer(provider)
    raise RuntimeError(f"unknown judge provider '{provider}' (known: {list(PROVIDERS)})")

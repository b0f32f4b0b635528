"""The settings a run record lists: what was evaluated, where, how and by which judge.

Nothing secret is among them: the endpoint is written as its root (scheme,
host, port and path), without user name, password, query or fragment, which
is where URLs carry credentials.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from typing import Any
from urllib.parse import urlsplit, urlunsplit

__all__ = ["endpoint_root", "run_settings", "settings_of"]


def endpoint_root(url: str | None) -> str | None:
    """The URL without the parts that can carry credentials."""
    if not url:
        return None
    parts = urlsplit(str(url))
    host = parts.hostname or ""
    if ":" in host:  # an IPv6 address goes back into brackets
        host = f"[{host}]"
    try:
        port = parts.port
    except ValueError:
        port = None
    netloc = f"{host}:{port}" if port is not None else host
    return urlunsplit((parts.scheme, netloc, parts.path, "", ""))


def catalogue_folders() -> list[str]:
    """The catalogue folders added to the risk catalogue, in order (absolute paths)."""
    from vorn_metrics_plugin.mra.mra_api.catalog_folders import added_catalogs

    return added_catalogs()


def run_settings(*, model_id: str | None, endpoint: str | None, protocol: str | None, judge_model: str | None,
                 risks: Iterable[str], sample_size: int | None,
                 thresholds: Sequence[float] | None) -> dict[str, Any]:
    """The "settings" entry of a record."""
    return {
        "model_id": model_id,
        "endpoint": endpoint_root(endpoint),
        "protocol": protocol,
        "judge_model": judge_model,
        "risks": list(risks),
        "sample_size": sample_size,
        "catalog_folders": catalogue_folders(),
        "thresholds": list(thresholds) if thresholds is not None else None,
    }


def settings_of(evaluator: Any, thresholds: Sequence[float] | None = None) -> dict[str, Any]:
    """The settings of an evaluator: from its scoring function when that asks an endpoint, else its credentials.

    The judge model is the one the judge provider of the environment names, when one is set.
    """
    from evalith.judge_providers import JUDGE_MODEL_ENV, PROVIDER_ENV

    from vorn_orvia_ai.foundation_models import COMPLETIONS

    credentials = getattr(evaluator, "system_credentials", None) or {}
    scoring = evaluator.scoring_function
    client = getattr(scoring, "client", None)
    endpoint = getattr(client, "root_url", None) or credentials.get("orvia_ai_endpoint_url")
    protocol = getattr(client, "protocol", None)
    if protocol is None and endpoint and scoring == evaluator.default_scoring_function:
        protocol = COMPLETIONS  # the evaluator's own client speaks the completion protocol
    model_id = getattr(scoring, "model_id", None) or credentials.get("orvia_ai_model_id")
    return run_settings(
        model_id=model_id or evaluator.foundation_model_name,
        endpoint=endpoint,
        protocol=protocol,
        judge_model=os.environ.get(JUDGE_MODEL_ENV) if os.environ.get(PROVIDER_ENV) else None,
        risks=getattr(evaluator, "selected_risk_dimensions", None) or evaluator.risk_dimensions,
        sample_size=evaluator.max_sample_size,
        thresholds=thresholds,
    )

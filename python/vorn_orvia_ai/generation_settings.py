"""Generation parameters, checked and translated into the fields of a request.

The parameters are keyed by the names of
:class:`~vorn_orvia_ai.metanames.GenTextParamsMetaNames`; the fields are those
of the OpenAI-compatible protocols (``temperature``, ``max_tokens``, ...).
"""

from __future__ import annotations

import logging
from collections.abc import Mapping
from typing import Any

from .metanames import DecodingMethods, GenTextParamsMetaNames as _P

__all__ = ["request_settings", "split_settings", "STANDARD_FIELDS"]

_log = logging.getLogger(__name__)

# Fields every OpenAI-compatible service knows. The others (top_k, min_tokens,
# repetition_penalty) are extensions of self-hosted servers: the completion
# protocol sends them along, the chat protocol leaves them out because hosted
# chat services refuse requests with fields they do not know.
STANDARD_FIELDS = ("temperature", "top_p", "max_tokens", "stop", "seed")


def _is_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _decoding_method(params: Mapping) -> str:
    method = params.get(_P.DECODING_METHOD)
    if method is None:
        # Without an explicit method a temperature asks for sampling;
        # everything else decodes greedily, which is reproducible.
        return DecodingMethods.SAMPLE if params.get(_P.TEMPERATURE) is not None else DecodingMethods.GREEDY
    method = getattr(method, "value", method)  # enum members carry the name in .value
    if isinstance(method, str) and method.strip().lower() in (DecodingMethods.GREEDY, DecodingMethods.SAMPLE):
        return method.strip().lower()
    raise ValueError(
        f"Unsupported decoding method {method!r}; use {DecodingMethods.GREEDY!r} or {DecodingMethods.SAMPLE!r}"
    )


def _sampling_settings(params: Mapping) -> dict:
    settings: dict[str, Any] = {}
    temperature = params.get(_P.TEMPERATURE, 1.0)
    if not _is_number(temperature) or temperature < 0:
        raise ValueError(f"{_P.TEMPERATURE} must be a non-negative number, got {temperature!r}")
    settings["temperature"] = temperature
    if _P.TOP_P in params:
        top_p = params[_P.TOP_P]
        if not _is_number(top_p) or not 0 < top_p <= 1:
            raise ValueError(f"{_P.TOP_P} must be a number in (0, 1], got {top_p!r}")
        settings["top_p"] = top_p
    if _P.TOP_K in params:
        top_k = params[_P.TOP_K]
        if not _is_int(top_k) or top_k < 1:
            raise ValueError(f"{_P.TOP_K} must be a positive integer, got {top_k!r}")
        settings["top_k"] = top_k
    return settings


def _length_settings(params: Mapping) -> dict:
    settings: dict[str, Any] = {}
    for name, field in ((_P.MAX_NEW_TOKENS, "max_tokens"), (_P.MIN_NEW_TOKENS, "min_tokens")):
        if name in params:
            value = params[name]
            if not _is_int(value) or value < 0:
                raise ValueError(f"{name} must be a non-negative integer, got {value!r}")
            settings[field] = value
    if settings.get("min_tokens", 0) > settings.get("max_tokens", float("inf")):
        raise ValueError(
            f"{_P.MIN_NEW_TOKENS} ({settings['min_tokens']}) exceeds {_P.MAX_NEW_TOKENS} ({settings['max_tokens']})"
        )
    return settings


def _other_settings(params: Mapping) -> dict:
    settings: dict[str, Any] = {}
    if _P.STOP_SEQUENCES in params:
        stop = params[_P.STOP_SEQUENCES]
        if isinstance(stop, str):
            stop = [stop]
        if not isinstance(stop, (list, tuple)) or not all(isinstance(item, str) for item in stop):
            raise ValueError(f"{_P.STOP_SEQUENCES} must be a string or a list of strings, got {stop!r}")
        if stop:
            settings["stop"] = list(stop)
    if _P.RANDOM_SEED in params:
        seed = params[_P.RANDOM_SEED]
        if not _is_int(seed):
            raise ValueError(f"{_P.RANDOM_SEED} must be an integer, got {seed!r}")
        settings["seed"] = seed
    if _P.REPETITION_PENALTY in params:
        penalty = params[_P.REPETITION_PENALTY]
        if not _is_number(penalty) or penalty <= 0:
            raise ValueError(f"{_P.REPETITION_PENALTY} must be a positive number, got {penalty!r}")
        settings["repetition_penalty"] = penalty
    return settings


def request_settings(params: Mapping | None) -> dict:
    """Translate generation parameters into the fields of a request.

    Raises ``ValueError`` for a value of the wrong type or range.  Entries whose
    value is ``None`` count as absent; unknown names are ignored.
    """
    if params is None:
        params = {}
    if not isinstance(params, Mapping):
        raise ValueError(f"params must be a dict of generation parameters, not {type(params).__name__}")
    params = {key: value for key, value in params.items() if value is not None}
    unknown = sorted(str(key) for key in params if key not in _P.names())
    if unknown:
        _log.debug("Ignoring unsupported generation parameters: %s", ", ".join(unknown))
    greedy = _decoding_method(params) == DecodingMethods.GREEDY
    return {
        **({"temperature": 0} if greedy else _sampling_settings(params)),
        **_length_settings(params),
        **_other_settings(params),
    }


def split_settings(settings: Mapping) -> tuple[dict, dict]:
    """(standard fields, extension fields) of translated settings."""
    standard = {key: value for key, value in settings.items() if key in STANDARD_FIELDS}
    extensions = {key: value for key, value in settings.items() if key not in STANDARD_FIELDS}
    return standard, extensions

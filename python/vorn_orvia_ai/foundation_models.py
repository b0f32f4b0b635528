"""Text generation with a foundation model of the Orvia AI inference service.

The service speaks the OpenAI-compatible text-completion protocol: each prompt
is sent as ``POST {url}/v1/completions`` with a JSON body holding the model id,
the prompt and the decoding settings, authenticated with the API key as a
bearer token.  The first choice of the answer is the generated text.
"""

from __future__ import annotations

import json
import logging
from collections.abc import Mapping
from typing import Any
from urllib.parse import urlsplit

import requests

from . import __version__
from .metanames import DecodingMethods, GenTextParamsMetaNames as _P
from .qrm_client_error import (
    ApiRequestFailure,
    CannotSetProjectOrSpace,
    GatewayTimeoutError,
    InvalidCredentialsError,
    MalformedResponseError,
    ServiceConnectionError,
)

__all__ = ["ModelInference", "DEFAULT_TIMEOUT"]

_log = logging.getLogger(__name__)

# (connect, read) seconds.  Long generations take minutes; an unreachable
# host should fail fast.
DEFAULT_TIMEOUT = (10.0, 300.0)

_GATEWAY_TIMEOUT_STATUSES = (503, 504)
_MAX_MESSAGE_CHARS = 500


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


def _completion_settings(params: Mapping | None) -> dict:
    """Translate generation parameters into the fields of a completion request.

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

    settings: dict[str, Any] = {}
    if _decoding_method(params) == DecodingMethods.GREEDY:
        settings["temperature"] = 0
    else:
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


def _read_credentials(credentials: Any) -> tuple[str, str]:
    """Return (base URL, API key) from a credential set, or raise."""
    if credentials is None:
        raise InvalidCredentialsError("No credentials given; a dict with 'url' and 'apikey' is required")
    getter = credentials.get if isinstance(credentials, Mapping) else getattr(credentials, "get", None)
    if not callable(getter):
        raise InvalidCredentialsError(
            f"credentials must be a dict with 'url' and 'apikey', not {type(credentials).__name__}"
        )
    url, apikey = getter("url"), getter("apikey")
    missing = [name for name, value in (("url", url), ("apikey", apikey)) if not isinstance(value, str) or not value.strip()]
    if missing:
        raise InvalidCredentialsError(
            "Credentials must contain non-empty 'url' and 'apikey'; missing or invalid: " + ", ".join(missing)
        )
    url = url.strip()
    parts = urlsplit(url)
    if parts.scheme.lower() not in ("http", "https") or not parts.netloc:
        raise InvalidCredentialsError(f"Credential 'url' must be an http(s) URL, got {url!r}")
    return url.rstrip("/"), apikey.strip()


def _completions_endpoint(base_url: str) -> str:
    # Accept the service root as well as a URL that already names the API version.
    if base_url.endswith("/v1/completions"):
        return base_url
    if base_url.endswith("/v1"):
        return base_url + "/completions"
    return base_url + "/v1/completions"


def _service_message(response: requests.Response) -> str:
    """The error message a service put into an error answer."""
    try:
        body = response.json()
    except ValueError:
        body = None
    message = None
    if isinstance(body, dict):
        error = body.get("error")
        if isinstance(error, dict):
            message = error.get("message") or json.dumps(error)
        elif isinstance(error, str) and error:
            message = error
        if message is None:
            for key in ("message", "detail"):
                if isinstance(body.get(key), str) and body[key]:
                    message = body[key]
                    break
        if message is None and isinstance(body.get("errors"), list) and body["errors"]:
            first = body["errors"][0]
            message = first.get("message") if isinstance(first, dict) else str(first)
    if not message:
        message = (response.text or "").strip() or (response.reason or "")
    message = str(message)
    if len(message) > _MAX_MESSAGE_CHARS:
        message = message[:_MAX_MESSAGE_CHARS] + "..."
    return message


class ModelInference:
    """Client of one foundation model of the inference service.

    ``credentials`` is a dict with "url" (the service root) and "apikey"; the
    data-platform form, which adds "username" and "instance_id", is accepted
    too.  ``params`` holds the default generation parameters, keyed by the
    names of :class:`~vorn_orvia_ai.metanames.GenTextParamsMetaNames`.
    Nothing is sent over the network until :meth:`generate_text` is called.
    """

    def __init__(
        self,
        model_id: str | None = None,
        params: Mapping | None = None,
        credentials: Mapping | None = None,
        project_id: str | None = None,
        verify: bool | str = True,
        timeout: float | tuple[float, float] = DEFAULT_TIMEOUT,
    ) -> None:
        self._base_url, self._apikey = _read_credentials(credentials)
        if not isinstance(model_id, str) or not model_id.strip():
            raise ValueError(f"model_id must be a non-empty string, got {model_id!r}")
        if project_id is None or (isinstance(project_id, str) and not project_id.strip()):
            raise CannotSetProjectOrSpace("A project id is required to set the inference context; none was given")
        self.model_id = model_id
        self.project_id = str(project_id)
        _completion_settings(params)  # reject bad parameters now rather than at the first call
        self.params = dict(params) if params else {}
        self.credentials = credentials
        self.verify = verify
        self.timeout = timeout
        self._endpoint = _completions_endpoint(self._base_url)
        self._session: requests.Session | None = None

    @property
    def endpoint(self) -> str:
        """URL that completion requests are posted to."""
        return self._endpoint

    def generate_text(self, prompt: str | list[str] | None = None, params: Mapping | None = None):
        """Generate text for one prompt or for a list of prompts.

        One prompt gives one text; a list gives a list of texts in the order
        of the prompts (one request per prompt, sent in order).  ``params``
        overrides the client's default generation parameters for this call.
        """
        if isinstance(prompt, str):
            prompts, single = [prompt], True
        elif isinstance(prompt, (list, tuple)):
            prompts, single = list(prompt), False
        else:
            raise TypeError(f"prompt must be a string or a list of strings, not {type(prompt).__name__}")
        for index, item in enumerate(prompts):
            if not isinstance(item, str):
                raise TypeError(f"prompt {index} is a {type(item).__name__}, not a string")

        merged = dict(self.params)
        if params:
            merged.update(params)
        settings = _completion_settings(merged)
        texts = [self._complete(text, settings) for text in prompts]
        return texts[0] if single else texts

    def _complete(self, prompt: str, settings: dict) -> str:
        body = {"model": self.model_id, "prompt": prompt, **settings}
        headers = {
            "Authorization": f"Bearer {self._apikey}",
            "Content-Type": "application/json",
            "Accept": "application/json",
            "X-Vorn-Project-Id": self.project_id,
            "User-Agent": f"vorn-orvia-ai/{__version__}",
        }
        if self._session is None:
            self._session = requests.Session()
        try:
            response = self._session.post(
                self._endpoint, json=body, headers=headers, timeout=self.timeout, verify=self.verify
            )
        except requests.exceptions.RequestException as exc:
            raise ServiceConnectionError(
                f"Could not reach the inference service at {self._endpoint}: {exc}"
            ) from exc
        return self._parse(response)

    def _parse(self, response: requests.Response) -> str:
        status = response.status_code
        if status in _GATEWAY_TIMEOUT_STATUSES:
            message = _service_message(response)
            raise GatewayTimeoutError(
                f"503 Service Unavailable: the inference gateway timed out "
                f"(HTTP {status} {response.reason or ''}".rstrip() + f"): {message}",
                status_code=status,
                error_message=message,
            )
        if not 200 <= status < 300:
            message = _service_message(response)
            raise ApiRequestFailure(
                f"Inference request failed with HTTP {status} {response.reason or ''}".rstrip() + f": {message}",
                status_code=status,
                error_message=message,
            )
        try:
            data = response.json()
        except ValueError:
            excerpt = (response.text or "")[:_MAX_MESSAGE_CHARS]
            raise MalformedResponseError(
                f"Inference service answered HTTP {status} with a body that is not JSON: {excerpt!r}",
                status_code=status,
                error_message=excerpt,
            ) from None
        choices = data.get("choices") if isinstance(data, dict) else None
        first = choices[0] if isinstance(choices, list) and choices else None
        text = first.get("text") if isinstance(first, dict) else None
        if not isinstance(text, str):
            excerpt = json.dumps(data)[:_MAX_MESSAGE_CHARS]
            raise MalformedResponseError(
                f"Inference service answered HTTP {status} without a completion text: {excerpt}",
                status_code=status,
                error_message=excerpt,
            )
        return text

    def close(self) -> None:
        """Release the pooled HTTP connections (the client stays usable)."""
        if self._session is not None:
            self._session.close()
            self._session = None

    def __enter__(self) -> "ModelInference":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"ModelInference(model_id={self.model_id!r}, project_id={self.project_id!r}, url={self._base_url!r})"

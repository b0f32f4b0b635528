"""Text generation with a foundation model of the Orvia AI inference service.

The service speaks one of the two OpenAI-compatible protocols, chosen by the
credentials key ``"api"``:

- ``"completions"`` (the default): ``POST {url}/v1/completions`` with the
  model id, the prompt and the decoding settings; the answer is
  ``choices[0].text``.
- ``"chat"``: ``POST {url}/v1/chat/completions`` with the model id and the
  messages (a system message first when ``"system_prompt"`` is set, then the
  prompt as the user's message); the answer is ``choices[0].message.content``.

A query string of the URL (``?tenant=a``) goes with every request. A URL
with a user name or password, and an API key or project id that an HTTP
header cannot carry, are refused when the client is built; no message of the
client quotes the key or such a URL, and messages and ``repr`` show a query's
parameter names without their values (a query may carry a key).

Requests are authenticated with the API key as a bearer token and go out
through the ``openai`` client package with its own retries switched off: a
request is sent once, and callers that want retries wrap it in a
:class:`~vorn_orvia_ai.retry_policy.RetryPolicy`.
"""

from __future__ import annotations

import logging
import threading
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from . import __version__
from .abortable_transport import AbortableTransport
from .answers import CHAT, COMPLETIONS, Generation, read_generation, service_message
from .generation_settings import request_settings, split_settings
from .header_values import header_value_error, header_value_problem
from .qrm_client_error import (
    ApiRequestFailure,
    CannotSetProjectOrSpace,
    ConnectionDropped,
    GatewayTimeoutError,
    InvalidCredentialsError,
    RequestAbandoned,
    ServiceConnectionError,
)
from .service_url import ServiceUrl

__all__ = ["ModelInference", "Generation", "DEFAULT_TIMEOUT", "CHAT", "COMPLETIONS"]

_log = logging.getLogger(__name__)

# (connect, read) seconds.  Long generations take minutes; an unreachable
# host should fail fast.
DEFAULT_TIMEOUT = (10.0, 300.0)

_GATEWAY_TIMEOUT_STATUSES = (503, 504)
_PROTOCOLS = (COMPLETIONS, CHAT)
_PATHS = {COMPLETIONS: "/completions", CHAT: "/chat/completions"}


@dataclass(frozen=True)
class _Service:
    url: ServiceUrl
    apikey: str
    protocol: str
    system_prompt: str | None


def _read_credentials(credentials: Any) -> _Service:
    """The service settings of a credential set, or raise."""
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
    try:
        service_url = ServiceUrl.parse(url)
    except ValueError as problem:
        raise InvalidCredentialsError(f"Credential 'url' {problem}") from None
    apikey = apikey.strip()
    problem = header_value_problem(apikey)
    if problem is not None:
        raise InvalidCredentialsError(header_value_error("Credential 'apikey' (the API key)", problem))
    protocol = getter("api") or COMPLETIONS
    if protocol not in _PROTOCOLS:
        raise InvalidCredentialsError(f"Credential 'api' must be 'chat' or 'completions', got {protocol!r}")
    system_prompt = getter("system_prompt")
    if system_prompt is not None and not isinstance(system_prompt, str):
        raise InvalidCredentialsError(f"Credential 'system_prompt' must be a string, not {type(system_prompt).__name__}")
    return _Service(service_url, apikey, protocol, system_prompt or None)


def _request_headers(apikey: str, project_id: str) -> dict[str, str]:
    """Every header of a request that is ours to set."""
    return {
        "Authorization": f"Bearer {apikey}",
        "X-Vorn-Project-Id": project_id,
        "User-Agent": f"vorn-orvia-ai/{__version__}",
    }


def _status_error(response) -> ApiRequestFailure:
    """The client error for an answer with an error status."""
    status, reason = response.status_code, response.reason_phrase or ""
    message = service_message(response.text, reason)
    if status in _GATEWAY_TIMEOUT_STATUSES:
        return GatewayTimeoutError(
            f"503 Service Unavailable: the inference gateway timed out (HTTP {status} {reason}".rstrip() + f"): {message}",
            status_code=status, error_message=message, headers=response.headers,
        )
    return ApiRequestFailure(
        f"Inference request failed with HTTP {status} {reason}".rstrip() + f": {message}",
        status_code=status, error_message=message, headers=response.headers,
    )


def _was_dropped(error: BaseException) -> bool:
    """True when the connection broke after the request went out (not refused, not timed out)."""
    import httpx2

    return isinstance(error, (httpx2.RemoteProtocolError, httpx2.ReadError, httpx2.WriteError))


class ModelInference:
    """Client of one foundation model of the inference service.

    ``credentials`` is a dict with "url" (the service root) and "apikey", and
    optionally "api" ("chat" or "completions", the default) and
    "system_prompt"; the data-platform form, which adds "username" and
    "instance_id", is accepted too.  ``params`` holds the default generation
    parameters, keyed by the names of
    :class:`~vorn_orvia_ai.metanames.GenTextParamsMetaNames`.  Nothing is sent
    over the network until :meth:`generate_text` is called.  One client may be
    used from several threads at once.
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
        self._service = _read_credentials(credentials)
        if not isinstance(model_id, str) or not model_id.strip():
            raise ValueError(f"model_id must be a non-empty string, got {model_id!r}")
        if project_id is None or (isinstance(project_id, str) and not project_id.strip()):
            raise CannotSetProjectOrSpace("A project id is required to set the inference context; none was given")
        self.model_id = model_id
        self.project_id = str(project_id)
        problem = header_value_problem(self.project_id)
        if problem is not None:
            raise CannotSetProjectOrSpace(header_value_error("The project id", problem))
        request_settings(params)  # reject bad parameters now rather than at the first call
        self.params = dict(params) if params else {}
        self.credentials = credentials
        self.verify = verify
        self.timeout = timeout
        self._headers = _request_headers(self._service.apikey, self.project_id)
        self._client = self._transport = None
        self._client_lock = threading.Lock()

    @property
    def protocol(self) -> str:
        """"chat" or "completions"."""
        return self._service.protocol

    @property
    def root_url(self) -> str:
        """The service root, without the API version and the protocol path; with the URL's query, if any."""
        return str(self._service.url)

    @property
    def system_prompt(self) -> str | None:
        return self._service.system_prompt

    @property
    def endpoint(self) -> str:
        """URL that generation requests are posted to."""
        return self._service.url.with_query(self._path_url)

    @property
    def shown_url(self) -> str:
        """The service root as messages show it: the values of its query hidden."""
        return self._service.url.shown()

    @property
    def _path_url(self) -> str:
        return self._service.url.api_base + _PATHS[self.protocol]

    @property
    def _shown_endpoint(self) -> str:
        return self._service.url.shown(self._path_url)

    def settings(self, params: Mapping | None = None) -> dict:
        """The request fields of the client's parameters, overridden by ``params``."""
        merged = dict(self.params)
        if params:
            merged.update(params)
        return request_settings(merged)

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
        settings = self.settings(params)
        texts = [self._send(text, settings).text for text in prompts]
        return texts[0] if single else texts

    def generate(self, prompt: str, params: Mapping | None = None) -> Generation:
        """One request for one prompt: the answer's text and the tokens the service counted."""
        if not isinstance(prompt, str):
            raise TypeError(f"prompt must be a string, not {type(prompt).__name__}")
        return self._send(prompt, self.settings(params))

    def _openai_client(self):
        """The client of the wire protocol and the transport under it (made at first use)."""
        with self._client_lock:
            if self._client is None:
                import httpx2
                import openai

                connect, read = self.timeout if isinstance(self.timeout, tuple) else (self.timeout, self.timeout)
                self._transport = AbortableTransport(verify=self.verify)
                # The path is joined on the URL's path; its query goes with every request as parameters.
                self._client = openai.OpenAI(
                    api_key=self._service.apikey, base_url=self._service.url.api_base, max_retries=0,
                    default_headers=self._headers, timeout=openai.Timeout(read, connect=connect),
                    http_client=openai.DefaultHttpxClient(verify=self.verify, transport=self._transport,
                                                          params=httpx2.QueryParams(self._service.url.query)),
                )
            return self._client, self._transport

    def _send(self, prompt: str, settings: dict) -> Generation:
        import openai

        client, transport = self._openai_client()
        standard, extensions = split_settings(settings)
        try:
            if self.protocol == CHAT:
                if extensions:
                    _log.debug("Not sent in a chat request: %s", ", ".join(sorted(extensions)))
                raw = client.chat.completions.with_raw_response.create(
                    model=self.model_id, messages=self._messages(prompt), **standard)
            else:
                raw = client.completions.with_raw_response.create(
                    model=self.model_id, prompt=self._completion_prompt(prompt), **standard,
                    extra_body=extensions or None)
        except openai.APIStatusError as error:
            raise _status_error(error.response) from None
        except openai.APIConnectionError as error:
            cause = error.__cause__ or error
            if transport.aborted:
                raise RequestAbandoned(f"The request to {self._shown_endpoint} was given up: its connection was cut") from None
            if _was_dropped(cause):
                raise ConnectionDropped(
                    f"The inference service at {self._shown_endpoint} dropped the connection before answering: {cause}"
                ) from cause
            raise ServiceConnectionError(f"Could not reach the inference service at {self._shown_endpoint}: {cause}") from cause
        response = raw.http_response
        return read_generation(response.text, response.status_code, self.protocol)

    def _messages(self, prompt: str) -> list[dict]:
        system = [{"role": "system", "content": self.system_prompt}] if self.system_prompt else []
        return [*system, {"role": "user", "content": prompt}]

    def _completion_prompt(self, prompt: str) -> str:
        # The completion protocol has no system message: the instructions go before the prompt.
        return f"{self.system_prompt}\n\n{prompt}" if self.system_prompt else prompt

    def __getstate__(self) -> dict:
        # A copy (for another process, say) opens its own connections.
        return {**self.__dict__, "_client": None, "_transport": None, "_client_lock": None}

    def __setstate__(self, state: dict) -> None:
        self.__dict__.update(state, _client_lock=threading.Lock())

    def close(self) -> None:
        """Release the pooled HTTP connections (the client stays usable)."""
        with self._client_lock:
            client, self._client, self._transport = self._client, None, None
        if client is not None:
            client.close()

    def abort(self) -> None:
        """Give up every request in flight, from any thread: their connections are cut at once.

        The requests fail with ``RequestAbandoned`` (which no retry policy
        retries); the client stays usable and later requests open new connections.
        """
        with self._client_lock:
            client, transport, self._client, self._transport = self._client, self._transport, None, None
        if transport is not None:
            transport.abort()
            client.close()

    def __enter__(self) -> "ModelInference":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __repr__(self) -> str:
        return (f"ModelInference(model_id={self.model_id!r}, project_id={self.project_id!r}, "
                f"url={self.shown_url!r}, api={self.protocol!r})")

"""Reading the body of a service's answer: the generated text, the token counts, the error message."""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any

from .qrm_client_error import MalformedResponseError

__all__ = ["Generation", "read_generation", "service_message", "CHAT", "COMPLETIONS"]

CHAT = "chat"
COMPLETIONS = "completions"
# How much of an unusable answer an error quotes.
EXCERPT_CHARS = 200
_MAX_MESSAGE_CHARS = 500


@dataclass(frozen=True)
class Generation:
    """One answer: its text and, when the service reports them, the tokens it counted."""

    text: str
    prompt_tokens: int | None = None
    completion_tokens: int | None = None


def _excerpt(text: str) -> str:
    return text if len(text) <= EXCERPT_CHARS else text[:EXCERPT_CHARS] + "..."


def _token_count(usage: Any, name: str) -> int | None:
    value = usage.get(name) if isinstance(usage, dict) else None
    return value if isinstance(value, int) and not isinstance(value, bool) and value >= 0 else None


def _chat_text(choice: dict) -> str | None:
    message = choice.get("message")
    if not isinstance(message, dict):
        return None
    content = message.get("content")
    if content is None:
        # A declined request may come with the reason instead of content.
        refusal = message.get("refusal")
        return refusal if isinstance(refusal, str) else ""
    if isinstance(content, list):  # content given as parts: keep the text parts
        parts = [part.get("text") for part in content if isinstance(part, dict)]
        return "".join(part for part in parts if isinstance(part, str))
    return content if isinstance(content, str) else None


def read_generation(body: str, status: int, protocol: str) -> Generation:
    """The generation carried by a success answer of ``protocol``; ``MalformedResponseError`` if there is none.

    An empty text is an answer; a body that is not JSON, has no choices, or
    whose first choice holds no text is not.
    """
    try:
        data = json.loads(body)
    except ValueError:
        raise MalformedResponseError(
            f"Inference service answered HTTP {status} with a body that is not JSON: {_excerpt(body)!r}",
            status_code=status, error_message=_excerpt(body),
        ) from None
    choices = data.get("choices") if isinstance(data, dict) else None
    first = choices[0] if isinstance(choices, list) and choices and isinstance(choices[0], dict) else None
    text = None
    if first is not None:
        text = _chat_text(first) if protocol == CHAT else first.get("text")
    if not isinstance(text, str):
        excerpt = _excerpt(body.strip())
        what = "a chat message" if protocol == CHAT else "a completion text"
        raise MalformedResponseError(
            f"Inference service answered HTTP {status} without {what}: {excerpt}",
            status_code=status, error_message=excerpt,
        )
    usage = data.get("usage")
    return Generation(text, _token_count(usage, "prompt_tokens"), _token_count(usage, "completion_tokens"))


def service_message(body: str, reason: str = "") -> str:
    """The error message a service put into an error answer."""
    try:
        data = json.loads(body)
    except ValueError:
        data = None
    message = None
    if isinstance(data, dict):
        error = data.get("error")
        if isinstance(error, dict):
            message = error.get("message") or json.dumps(error)
        elif isinstance(error, str) and error:
            message = error
        if message is None:
            for key in ("message", "detail"):
                if isinstance(data.get(key), str) and data[key]:
                    message = data[key]
                    break
        if message is None and isinstance(data.get("errors"), list) and data["errors"]:
            first = data["errors"][0]
            message = first.get("message") if isinstance(first, dict) else str(first)
    if not message:
        message = (body or "").strip() or reason
    message = str(message)
    if len(message) > _MAX_MESSAGE_CHARS:
        message = message[:_MAX_MESSAGE_CHARS] + "..."
    return message

"""A scriptable server of the completion and chat protocols on 127.0.0.1 for tests.

The server answers every POST from a queue of scripted responses; once the
queue is empty it falls back to ``responder`` (by default an answer in the
request's protocol whose text is "completion of: <prompt>").  Every request is
recorded with its path, headers and JSON body.  A scripted ``DROP`` closes the
connection without answering; ``enqueue_rate_limit`` scripts a 429 with
``Retry-After``.

Typical use::

    with running_completion_server() as server:
        server.enqueue(503, {"error": {"message": "upstream timed out"}})
        server.enqueue(503, {"error": {"message": "upstream timed out"}})
        server.enqueue_completion("a paraphrase")
        client = ModelInference(model_id="m", credentials=server.credentials(), project_id="p")
        ...
        assert len(server.requests) == 3

``server.url`` is the service root to put into the client credentials.
"""

from __future__ import annotations

import contextlib
import json
import socket
import sys
import threading
import time
from collections import deque
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable, Iterator
from urllib.parse import urlsplit

__all__ = [
    "RecordedRequest",
    "ScriptedResponse",
    "CompletionServer",
    "running_completion_server",
    "completion_body",
    "chat_body",
    "answer_body",
    "prompt_of",
    "answering",
    "DROP",
    "unused_port",
]


@dataclass
class RecordedRequest:
    method: str
    path: str
    headers: dict[str, str]
    body: bytes
    json: Any = None  # parsed body, None when it is not JSON

    @property
    def is_chat(self) -> bool:
        return urlsplit(self.path).path.endswith("/chat/completions")

    def header(self, name: str) -> str | None:
        """Header value by case-insensitive name."""
        wanted = name.lower()
        for key, value in self.headers.items():
            if key.lower() == wanted:
                return value
        return None


@dataclass
class ScriptedResponse:
    status: int
    # dict/list -> JSON body; str/bytes -> sent as is (for malformed bodies)
    body: Any = None
    headers: dict[str, str] = field(default_factory=dict)


def completion_body(text: str, model: str = "test-model") -> dict:
    """An OpenAI-style completion answer carrying ``text``."""
    return {
        "id": "cmpl-test",
        "object": "text_completion",
        "model": model,
        "choices": [{"index": 0, "text": text, "finish_reason": "stop", "logprobs": None}],
        "usage": {"prompt_tokens": 1, "completion_tokens": 1, "total_tokens": 2},
    }


# Closes the connection without an answer.
DROP = ScriptedResponse(-1)


def chat_body(text: str | None, model: str = "test-model", refusal: str | None = None) -> dict:
    """An OpenAI-style chat answer whose message content is ``text`` (None allowed)."""
    message = {"role": "assistant", "content": text}
    if refusal is not None:
        message["refusal"] = refusal
    return {
        "id": "chatcmpl-test",
        "object": "chat.completion",
        "model": model,
        "choices": [{"index": 0, "message": message, "finish_reason": "stop"}],
        "usage": {"prompt_tokens": 3, "completion_tokens": 2, "total_tokens": 5},
    }


def prompt_of(request: RecordedRequest) -> str | None:
    """The prompt of a completion request, or the user's message of a chat request."""
    payload = request.json if isinstance(request.json, dict) else {}
    if request.is_chat:
        users = [m.get("content") for m in payload.get("messages") or [] if m.get("role") == "user"]
        return users[-1] if users else None
    return payload.get("prompt")


def answer_body(request: RecordedRequest, text: str) -> dict:
    """An answer carrying ``text`` in the protocol of ``request``."""
    model = str((request.json or {}).get("model")) if isinstance(request.json, dict) else "test-model"
    return chat_body(text, model) if request.is_chat else completion_body(text, model)


def answering(answer: Callable[[str], str], delay: float = 0.0) -> Callable[[RecordedRequest], ScriptedResponse]:
    """A responder that answers each prompt with ``answer(prompt)`` after ``delay`` seconds."""

    def respond(request: RecordedRequest) -> ScriptedResponse:
        if delay:
            time.sleep(delay)
        return ScriptedResponse(200, answer_body(request, answer(prompt_of(request))))

    return respond


_echo_responder = answering(lambda prompt: f"completion of: {prompt}")


class _Handler(BaseHTTPRequestHandler):
    server: "_Server"
    protocol_version = "HTTP/1.1"  # connections are kept open between requests, as real services do
    disable_nagle_algorithm = True  # else headers and body in two writes wait for a delayed acknowledgement

    def log_message(self, format, *args):  # keep test output clean
        pass

    def setup(self):
        super().setup()
        self.server.owner._count_connection(+1)

    def finish(self):
        try:
            super().finish()
        finally:
            self.server.owner._count_connection(-1)

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length else b""
        try:
            parsed = json.loads(raw) if raw else None
        except ValueError:
            parsed = None
        request = RecordedRequest("POST", self.path, dict(self.headers.items()), raw, parsed)
        self._send(self.server.owner._record_and_answer(request))

    def _send(self, response: ScriptedResponse) -> None:
        if response.status < 0:
            self.close_connection = True
            return
        body = response.body
        content_type = "application/json"
        if isinstance(body, bytes):
            data, content_type = body, "text/plain"
        elif isinstance(body, str):
            data, content_type = body.encode("utf-8"), "text/plain; charset=utf-8"
        elif body is None:
            data = b""
        else:
            data = json.dumps(body).encode("utf-8")
        self.send_response(response.status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        for key, value in response.headers.items():
            self.send_header(key, value)
        self.end_headers()
        self.wfile.write(data)


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    owner: "CompletionServer"

    def handle_error(self, request, client_address):
        # A client that went away before its answer (given up, interrupted) is no server fault.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


class CompletionServer:
    """Local HTTP server speaking the completion protocol, scripted by the test."""

    def __init__(self, responder: Callable[[RecordedRequest], ScriptedResponse] | None = None) -> None:
        self.responder = responder or _echo_responder
        self._lock = threading.Lock()
        self._queue: deque[ScriptedResponse] = deque()
        self._requests: list[RecordedRequest] = []
        self._open_connections = 0
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None

    # -- lifecycle ---------------------------------------------------------
    def start(self) -> "CompletionServer":
        if self._server is not None:
            return self
        server = _Server(("127.0.0.1", 0), _Handler)
        server.owner = self
        self._server = server
        # A short poll interval keeps stop() quick; it bounds how long shutdown waits.
        self._thread = threading.Thread(
            target=server.serve_forever, kwargs={"poll_interval": 0.05}, name="completion-server", daemon=True
        )
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._server is None:
            return
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()
        self._server = None
        self._thread = None

    def __enter__(self) -> "CompletionServer":
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()

    # -- addresses ---------------------------------------------------------
    @property
    def port(self) -> int:
        if self._server is None:
            raise RuntimeError("server is not running")
        return self._server.server_address[1]

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    def credentials(self, apikey: str = "test-apikey", **extra: str) -> dict:
        """Client credentials pointing at this server."""
        return {"apikey": apikey, "url": self.url, **extra}

    # -- scripting ---------------------------------------------------------
    def enqueue(self, status: int, body: Any = None, headers: dict[str, str] | None = None) -> None:
        """Answer the next unanswered POST with ``status`` and ``body``."""
        with self._lock:
            self._queue.append(ScriptedResponse(status, body, dict(headers or {})))

    def enqueue_completion(self, text: str, model: str = "test-model") -> None:
        self.enqueue(200, completion_body(text, model))

    def enqueue_chat(self, text: str | None, model: str = "test-model", refusal: str | None = None) -> None:
        self.enqueue(200, chat_body(text, model, refusal))

    def enqueue_rate_limit(self, retry_after: str | None = "0") -> None:
        """A 429 answer, with ``Retry-After`` unless ``retry_after`` is None."""
        headers = {} if retry_after is None else {"Retry-After": retry_after}
        self.enqueue(429, {"error": {"message": "rate limit reached"}}, headers)

    def enqueue_drop(self) -> None:
        with self._lock:
            self._queue.append(DROP)

    @property
    def requests(self) -> list[RecordedRequest]:
        """Requests received so far, oldest first (a copy)."""
        with self._lock:
            return list(self._requests)

    @property
    def open_connections(self) -> int:
        """Client connections open now (a client keeps one open between requests until it closes it)."""
        with self._lock:
            return self._open_connections

    # -- request handling (server threads) ---------------------------------
    def _count_connection(self, change: int) -> None:
        with self._lock:
            self._open_connections += change

    def _record_and_answer(self, request: RecordedRequest) -> ScriptedResponse:
        with self._lock:
            self._requests.append(request)
            scripted = self._queue.popleft() if self._queue else None
        return scripted if scripted is not None else self.responder(request)


@contextlib.contextmanager
def running_completion_server(
    responder: Callable[[RecordedRequest], ScriptedResponse] | None = None,
) -> Iterator[CompletionServer]:
    """Start a server for the duration of the ``with`` block."""
    server = CompletionServer(responder).start()
    try:
        yield server
    finally:
        server.stop()


def unused_port() -> int:
    """A local TCP port with nothing listening on it (for refused connections).

    Connection errors quote the port, and callers treat any "503" in an error
    text as a gateway time-out, so ports containing those digits are skipped.
    """
    while True:
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
            sock.bind(("127.0.0.1", 0))
            port = sock.getsockname()[1]
        if "503" not in str(port):
            return port

"""The emulator's WSGI applications: the GRC service with its identity service,
and the data platform's HTTPS login.

Every call is recorded (``Call``) before it is answered, faults included.
Paths are matched after repeated slashes are merged, and the GRC endpoints
answer under any path prefix of the base URL (``/hxd/api/query`` as well as
``/api/query``).
"""

from __future__ import annotations

import json
import logging
import re
import secrets
import socket
import threading
from collections import deque
from dataclasses import dataclass, field
from typing import Any, Callable

from werkzeug.exceptions import HTTPException
from werkzeug.routing import Map, Rule
from werkzeug.wrappers import Request, Response

from . import queries
from .faults import NOT_JSON_BODY, Fault, FaultPlan
from .store import PARENT_TYPE, NoParent, RecordStore

__all__ = ["Call", "CallLog", "Settings", "GrcApplication", "LoginApplication", "TARGET_KEY", "GRANT_TYPE",
           "MAX_CALLS"]

# The raw request target of the request line, put into the environ by the
# server's request handler (the path as the client sent it, slashes and all).
TARGET_KEY = "ledgora_emulator.target"
GRANT_TYPE = "urn:vorn:params:oauth:grant-type:apikey"
VALUE_FIELD = "ZKR-MetricVal:Value"
# The call log keeps the latest calls only, so that a long-running emulator
# does not grow without bound: at most this many ...
MAX_CALLS = 2000
# ... and their bodies at most this many bytes together (the latest call is always kept).
MAX_LOGGED_BYTES = 16 * 1024 * 1024

_log = logging.getLogger(__name__)


@dataclass
class Settings:
    apikey: str
    username: str
    hxd_apikey: str
    # How record creation reports the new id: "id" ({"id": ...}) or "fields"
    # ({"fields": [..., {"name": "Resource ID", "value": ...}]}).
    create_answer: str = "id"


@dataclass
class Call:
    """One request as the emulator received it."""

    endpoint: str
    method: str
    target: str
    path: str
    args: dict[str, str]
    headers: dict[str, str]
    body: bytes
    json: Any = None
    form: dict[str, str] = field(default_factory=dict)
    status: int | None = None  # None when the connection was dropped

    def header(self, name: str) -> str | None:
        wanted = name.lower()
        for key, value in self.headers.items():
            if key.lower() == wanted:
                return value
        return None


class _Dropped(ConnectionAbortedError):
    """Raised to end a call without an answer; the server treats it as a lost client."""


def _json(document: Any, status: int = 200) -> Response:
    return Response(json.dumps(document), status=status, mimetype="application/json")


def _error(status: int, message: str) -> Response:
    return _json({"error": message, "status": status}, status)


class CallLog:
    """The latest calls, oldest first, within ``max_calls`` and ``max_bytes`` of bodies."""

    def __init__(self, max_calls: int = MAX_CALLS, max_bytes: int = MAX_LOGGED_BYTES) -> None:
        self.max_calls, self.max_bytes = max_calls, max_bytes
        self._lock = threading.Lock()
        self._calls: deque[Call] = deque()
        self._bytes = 0

    def add(self, call: Call) -> None:
        with self._lock:
            self._calls.append(call)
            self._bytes += len(call.body)
            while len(self._calls) > self.max_calls or (self._bytes > self.max_bytes and len(self._calls) > 1):
                self._bytes -= len(self._calls.popleft().body)

    def all(self) -> list[Call]:
        with self._lock:
            return list(self._calls)

    def clear(self) -> None:
        with self._lock:
            self._calls.clear()
            self._bytes = 0


class TokenRegistry:
    """Bearer tokens issued by this emulator run."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._tokens: set[str] = set()

    def issue(self) -> str:
        token = secrets.token_urlsafe(24)
        with self._lock:
            self._tokens.add(token)
        return token

    def accepts(self, authorization: str | None) -> bool:
        if not authorization or not authorization.startswith("Bearer "):
            return False
        with self._lock:
            return authorization[len("Bearer "):] in self._tokens


class _Application:
    """Routing, recording and fault injection shared by the two applications."""

    url_map: Map
    # Route endpoint -> name under which faults are injected.
    fault_endpoints: dict[str, str] = {}

    def __init__(self, store: RecordStore, faults: FaultPlan, calls: CallLog,
                 tokens: TokenRegistry, settings: Settings) -> None:
        self.store, self.faults, self.calls = store, faults, calls
        self.tokens, self.settings = tokens, settings

    def __call__(self, environ, start_response):
        request = Request(environ)
        body = request.get_data(cache=True)  # read whole before any answer or drop
        path = re.sub("/{2,}", "/", request.path)
        call = Call(
            endpoint="",
            method=request.method,
            target=environ.get(TARGET_KEY, request.full_path),
            path=path,
            args=dict(request.args.items()),
            headers=dict(request.headers.items()),
            body=body,
            json=_parsed_json(body),
            form=dict(request.form.items()),
        )
        try:
            endpoint, values = self.url_map.bind_to_environ(environ).match(
                path_info=path, method=request.method
            )
        except HTTPException as error:
            call.endpoint = "unknown"
            response = _error(error.code or 404, error.description or error.name)
        else:
            call.endpoint = self.fault_endpoints.get(endpoint, endpoint)
            fault = self.faults.next_for(call.endpoint) if endpoint in self.fault_endpoints else None
            if fault is not None and fault.kind == "drop":
                self.calls.add(call)
                _drop_connection(environ)
            response = self._faulted(fault) if fault is not None else self._answer(endpoint, request, values)
        call.status = response.status_code
        self.calls.add(call)
        return response(environ, start_response)

    def _answer(self, endpoint: str, request: Request, values: dict) -> Response:
        """The endpoint's answer; an error nobody foresaw still answers JSON (and is logged)."""
        try:
            return getattr(self, endpoint)(request, **values)
        except Exception as error:
            _log.exception("%s %s failed", request.method, request.path)
            return _error(500, f"the emulator failed: {type(error).__name__}: {error}")

    @staticmethod
    def _faulted(fault: Fault) -> Response:
        if fault.kind == "not_json":
            return Response(NOT_JSON_BODY, status=200, mimetype="text/html")
        if fault.kind == "null":
            return _json(None)
        return _json(fault.body, fault.status)


def _parsed_json(body: bytes) -> Any:
    """The body's JSON document; None for no body or one that is not JSON (or nested too deep to read)."""
    try:
        return json.loads(body) if body else None
    except (ValueError, RecursionError):
        return None


def _drop_connection(environ) -> None:
    connection = environ.get("werkzeug.socket")
    if connection is not None:
        try:
            connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
    raise _Dropped("connection dropped by an injected fault")


def _prefixed(path: str, **options) -> list[Rule]:
    """The rule for ``path`` at the root and under any prefix of the base URL."""
    return [Rule(path, **options), Rule("/<path:prefix>" + path, **options)]


class GrcApplication(_Application):
    """The GRC service (both installations' endpoints), the identity service
    and the emulator's own admin endpoints."""

    url_map = Map(
        [
            Rule("/identity/token", endpoint="token", methods=["POST"]),
            Rule("/_emulator/records", endpoint="admin_records", methods=["GET"]),
            Rule("/_emulator/models", endpoint="admin_models", methods=["POST"]),
            Rule("/_emulator/faults", endpoint="admin_faults", methods=["POST", "DELETE"]),
            *_prefixed("/api/query", endpoint="hxd_query", methods=["GET"]),
            *_prefixed("/lggrc/api/v2/query", endpoint="cloud_query", methods=["POST"]),
            *_prefixed("/grc/api/contents", endpoint="create", methods=["POST"]),
            *_prefixed("/api/contents", endpoint="create", methods=["POST"]),
            *_prefixed("/lggrc/api/v2/contents/<resource_id>", endpoint="delete", methods=["DELETE"]),
            *_prefixed("/api/contents/<resource_id>", endpoint="delete", methods=["DELETE"]),
        ],
        merge_slashes=False,
        strict_slashes=False,
    )
    fault_endpoints = {
        "token": "token",
        "hxd_query": "query",
        "cloud_query": "query",
        "create": "contents",
        "delete": "delete",
    }

    # -- identity service -------------------------------------------------------
    def token(self, request: Request) -> Response:
        if request.form.get("grant_type") != GRANT_TYPE:
            return _json({"error": "unsupported_grant_type",
                          "error_description": f"grant_type must be {GRANT_TYPE}"}, 400)
        if request.form.get("apikey") != self.settings.apikey:
            return _json({"error": "invalid_grant", "error_description": "unknown API key"}, 401)
        return _json({"access_token": self.tokens.issue(), "token_type": "Bearer", "expires_in": 3600})

    # -- queries ------------------------------------------------------------------
    def hxd_query(self, request: Request, prefix: str = "") -> Response:
        return self._query(request, request.args.get("q"), 0, _hxd_row)

    def cloud_query(self, request: Request, prefix: str = "") -> Response:
        document = _parsed_json(request.get_data(cache=True))
        if not isinstance(document, dict):
            return _error(400, "the body must be a JSON object with a statement")
        skip = document.get("skipCount", 0)
        if not isinstance(skip, int) or isinstance(skip, bool) or skip < 0:
            return _error(400, "skipCount must be a non-negative integer")
        return self._query(request, document.get("statement"), skip, _cloud_row)

    def _query(self, request: Request, statement: Any, skip: int,
               layout: Callable[[list], dict]) -> Response:
        denied = self._check_token(request)
        if denied is not None:
            return denied
        try:
            query = queries.parse_statement(statement)
        except queries.QueryError as error:
            return _error(400, str(error))
        rows = queries.answer(query, self.store)
        return _json({"rows": [layout(fields) for fields in rows[skip:]], "rowCount": len(rows),
                      "skipCount": skip})

    # -- contents -----------------------------------------------------------------
    def create(self, request: Request, prefix: str = "") -> Response:
        denied = self._check_token(request)
        if denied is not None:
            return denied
        payload = _parsed_json(request.get_data(cache=True))
        if not isinstance(payload, dict):
            return _error(400, "the body must be a JSON object")
        record_type = payload.get("typeDefinitionId")
        if record_type not in PARENT_TYPE:
            return _error(400, f"typeDefinitionId must be one of {sorted(PARENT_TYPE)}")
        fields = payload.get("fields")
        field_list = fields.get("field") if isinstance(fields, dict) else None
        if not isinstance(field_list, list) or not all(
            isinstance(item, dict) and isinstance(item.get("name"), str) for item in field_list
        ):
            return _error(400, 'fields must be {"field": [objects with a name]}')
        name, description = payload.get("name"), payload.get("description")
        if record_type == "Metric" and (not isinstance(name, str) or not name):
            return _error(400, "a Metric needs a name")
        if name is not None and not isinstance(name, str):
            return _error(400, "name must be text")
        if description is not None and not isinstance(description, str):
            return _error(400, "description must be text")
        if record_type == "MetricValue" and not _has_number(field_list, VALUE_FIELD):
            return _error(400, f"a MetricValue needs a numeric {VALUE_FIELD!r} field")
        parent_id = payload.get("primaryParentId")
        try:
            resource_id = self.store.create(record_type, name, description, parent_id, field_list)
        except NoParent as missing:
            return _error(404, str(missing))
        if self.settings.create_answer == "fields":
            return _json({"fields": [{"name": "Description", "value": description},
                                     {"name": "Resource ID", "value": resource_id}]}, 201)
        return _json({"id": resource_id, "typeDefinitionId": record_type,
                      "primaryParentId": str(parent_id), "name": name}, 201)

    def delete(self, request: Request, resource_id: str, prefix: str = "") -> Response:
        denied = self._check_token(request)
        if denied is not None:
            return denied
        if not self.store.delete(resource_id):
            return _error(404, f"no record with id {resource_id!r}")
        return Response(status=204)

    def _check_token(self, request: Request) -> Response | None:
        if self.tokens.accepts(request.headers.get("Authorization")):
            return None
        return _error(401, "a bearer token issued by this service is required")

    # -- admin ----------------------------------------------------------------------
    def admin_records(self, request: Request) -> Response:
        records = self.store.records(request.args.get("type"))
        return _json({"records": [record.as_dict() for record in records]})

    def admin_models(self, request: Request) -> Response:
        document = _parsed_json(request.get_data(cache=True))
        name = document.get("name") if isinstance(document, dict) else None
        if not isinstance(name, str) or not name:
            return _error(400, 'the body must be {"name": "<model name>"}')
        return _json({"id": self.store.add_model(name), "name": name}, 201)

    def admin_faults(self, request: Request) -> Response:
        if request.method == "DELETE":
            self.faults.clear()
            return Response(status=204)
        document = _parsed_json(request.get_data(cache=True))
        if not isinstance(document, dict):
            return _error(400, "the body must be a JSON object describing the fault")
        try:
            self.faults.add(Fault(**document))
        except (TypeError, ValueError) as error:
            return _error(400, str(error))
        return _json({"pending": len(self.faults.pending)}, 201)


class LoginApplication(_Application):
    """The data platform's authorisation endpoint (served over HTTPS)."""

    url_map = Map([Rule("/tarvex-api/v1/authorize", endpoint="authorize", methods=["POST"])],
                  merge_slashes=False, strict_slashes=False)
    fault_endpoints = {"authorize": "authorize"}

    def authorize(self, request: Request) -> Response:
        login = _parsed_json(request.get_data(cache=True))
        if not isinstance(login, dict):
            return _error(400, 'the body must be {"username": ..., "api_key": ...}')
        if login.get("username") != self.settings.username or login.get("api_key") != self.settings.hxd_apikey:
            return _error(401, "invalid user name or API key")
        return _json({"token": self.tokens.issue()})


def _hxd_row(fields: list) -> dict:
    return {"fields": {"field": fields}}


def _cloud_row(fields: list) -> dict:
    return {"fields": fields}


def _has_number(fields: list, name: str) -> bool:
    for item in fields:
        if item.get("name") == name:
            value = item.get("value")
            return isinstance(value, (int, float)) and not isinstance(value, bool)
    return False

"""Starting and stopping the emulator: two werkzeug servers on 127.0.0.1, the
GRC service over HTTP and the data-platform login over HTTPS."""

from __future__ import annotations

import contextlib
import io
import threading
from typing import Any

from werkzeug.serving import BaseWSGIServer, WSGIRequestHandler, make_server

from .app import MAX_CALLS, TARGET_KEY, Call, CallLog, GrcApplication, LoginApplication, Settings, TokenRegistry
from .faults import Fault, FaultPlan
from .store import Record, RecordStore
from .tls import self_signed_certificate, server_context

__all__ = ["LedgoraEmulator", "DEFAULT_APIKEY", "DEFAULT_USERNAME", "DEFAULT_HXD_APIKEY"]

DEFAULT_APIKEY = "emulator-apikey"
DEFAULT_USERNAME = "emulator-user"
DEFAULT_HXD_APIKEY = "emulator-hxd-apikey"

IAM_PATH = "/identity/token"
# Path of the data-platform base URL: the client picks that installation's
# protocol when "hxd" occurs in the GRC URL.
HXD_PATH = "/hxd"


class _RequestHandler(WSGIRequestHandler):
    """Keeps the raw request target for the call log; request lines are
    logged only when the emulator is not quiet."""

    def make_environ(self):
        environ = super().make_environ()
        parts = self.requestline.split()
        environ[TARGET_KEY] = parts[1] if len(parts) >= 2 else self.path
        return environ

    def log_request(self, code="-", size="-"):
        if not getattr(self.server, "quiet", False):
            super().log_request(code, size)


class LedgoraEmulator:
    """A local GRC service for tests, demos and trying out publication.

    Use it as a context manager (or call ``start``/``stop``)::

        with LedgoraEmulator() as ledgora:
            ledgora.add_model("my-model")
            os.environ.update(ledgora.environment())       # VORN_IAM_URL
            credentials = ledgora.credentials("my-model")   # cloud login
            credentials = ledgora.credentials("my-model", mode="hxd")

    ``db`` is the SQLite file of the records (``":memory:"`` keeps nothing).
    Ports default to free ones chosen by the system.  ``calls`` keeps the
    latest ``max_calls`` requests.
    """

    def __init__(
        self,
        db: str = ":memory:",
        *,
        host: str = "127.0.0.1",
        port: int = 0,
        tls_port: int = 0,
        apikey: str = DEFAULT_APIKEY,
        username: str = DEFAULT_USERNAME,
        hxd_apikey: str = DEFAULT_HXD_APIKEY,
        create_answer: str = "id",
        quiet: bool = True,
        max_calls: int = MAX_CALLS,
    ) -> None:
        if create_answer not in ("id", "fields"):
            raise ValueError('create_answer must be "id" or "fields"')
        self.db, self.host, self.quiet = db, host, quiet
        self._ports = (port, tls_port)
        self.settings = Settings(apikey, username, hxd_apikey, create_answer)
        self.faults = FaultPlan()
        self._calls = CallLog(max_calls)
        self._tokens = TokenRegistry()
        self.store: RecordStore | None = None
        self.certificate_pem: bytes | None = None
        self._servers: list[BaseWSGIServer] = []
        self._threads: list[threading.Thread] = []

    # -- lifecycle ------------------------------------------------------------------
    def start(self) -> "LedgoraEmulator":
        if self._servers:
            return self
        self.store = RecordStore(self.db)
        try:
            shared = (self.store, self.faults, self._calls, self._tokens, self.settings)
            self.certificate_pem, key_pem = self_signed_certificate(self.host)
            self._serve(GrcApplication(*shared), self._ports[0], None)
            self._serve(LoginApplication(*shared), self._ports[1],
                        server_context(self.certificate_pem, key_pem))
        except BaseException:
            self.stop()
            raise
        return self

    def _serve(self, app, port: int, ssl_context) -> None:
        printed = io.StringIO()
        try:
            with contextlib.redirect_stderr(printed):
                server = make_server(self.host, port, app, threaded=True,
                                     request_handler=_RequestHandler, ssl_context=ssl_context)
        except SystemExit:  # werkzeug prints the reason and exits when it cannot bind
            reason = (printed.getvalue().strip().splitlines() or ["the address cannot be bound"])[0]
            raise OSError(f"cannot listen on {self.host}:{port}: {reason}") from None
        server.quiet = self.quiet
        thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05},
                                  name=f"ledgora-emulator-{server.port}", daemon=True)
        self._servers.append(server)
        self._threads.append(thread)
        thread.start()

    def stop(self) -> None:
        # Each shutdown waits for its server's next poll; wait for them together.
        stoppers = [threading.Thread(target=server.shutdown) for server in self._servers]
        for stopper in stoppers:
            stopper.start()
        for stopper in stoppers:
            stopper.join()
        for thread in self._threads:
            thread.join()
        for server in self._servers:
            server.server_close()
        self._servers, self._threads = [], []
        if self.store is not None:
            self.store.close()
            self.store = None

    def __enter__(self) -> "LedgoraEmulator":
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()

    # -- where it listens -----------------------------------------------------------
    def _server(self, index: int) -> BaseWSGIServer:
        if not self._servers:
            raise RuntimeError("the emulator is not running")
        return self._servers[index]

    @property
    def port(self) -> int:
        return self._server(0).port

    @property
    def tls_port(self) -> int:
        return self._server(1).port

    @property
    def url(self) -> str:
        """Base URL of the cloud installation ("lg_url")."""
        return f"http://{self.host}:{self.port}"

    @property
    def hxd_url(self) -> str:
        """Base URL of the data-platform installation ("lg_url")."""
        return self.url + HXD_PATH

    @property
    def iam_url(self) -> str:
        """Token endpoint of the identity service (for VORN_IAM_URL)."""
        return self.url + IAM_PATH

    @property
    def hxd_host(self) -> str:
        """Host and port of the data-platform login ("lg_hxd_host")."""
        return f"{self.host}:{self.tls_port}"

    def environment(self) -> dict[str, str]:
        """Environment variables that point the client at this emulator."""
        return {"VORN_IAM_URL": self.iam_url}

    def credentials(self, model_name: str | None = None, mode: str = "cloud") -> dict[str, Any]:
        """GRC entries of a Quorvane's system credentials for this emulator."""
        if mode == "cloud":
            credentials = {"lg_url": self.url, "lg_apikey": self.settings.apikey}
        elif mode == "hxd":
            credentials = {
                "lg_url": self.hxd_url,
                "lg_hxd_host": self.hxd_host,
                "lg_username": self.settings.username,
                "lg_hxd_apikey": self.settings.hxd_apikey,
            }
        else:
            raise ValueError('mode must be "cloud" or "hxd"')
        if model_name is not None:
            credentials["lg_model_id"] = model_name
        return credentials

    # -- contents -------------------------------------------------------------------
    def _store(self) -> RecordStore:
        if self.store is None:
            raise RuntimeError("the emulator is not running")
        return self.store

    def add_model(self, name: str) -> str:
        """Register a model record (or find the one of that name); returns its id."""
        return self._store().add_model(name)

    def records(self, record_type: str | None = None) -> list[Record]:
        return self._store().records(record_type)

    @property
    def create_answer(self) -> str:
        return self.settings.create_answer

    @create_answer.setter
    def create_answer(self, value: str) -> None:
        if value not in ("id", "fields"):
            raise ValueError('create_answer must be "id" or "fields"')
        self.settings.create_answer = value

    # -- faults and the call log ------------------------------------------------------
    def inject(self, endpoint: str, kind: str, *, status: int = 500, body: Any = None,
               times: int = 1, skip: int = 0) -> Fault:
        """Make the next ``times`` calls of ``endpoint`` (after ``skip``) fail; see faults."""
        fault = Fault(endpoint, kind, status, {"error": "injected fault"} if body is None else body,
                      times, skip)
        return self.faults.add(fault)

    def clear_faults(self) -> None:
        self.faults.clear()

    @property
    def calls(self) -> list[Call]:
        """The requests received so far (the latest ``max_calls`` of them), oldest first."""
        return self._calls.all()

    def calls_to(self, endpoint: str) -> list[Call]:
        return [call for call in self._calls.all() if call.endpoint == endpoint]

    def clear_calls(self) -> None:
        self._calls.clear()


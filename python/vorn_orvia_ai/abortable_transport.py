"""An HTTP transport whose connections can be cut from another thread.

Closing a socket does not wake a thread that is blocked reading from it; the
read goes on until the answer comes or the read time-out (minutes) passes.
Shutting the socket down does wake it. This transport keeps the sockets it
opens, so that :meth:`AbortableTransport.abort` can end every request in
flight at once, for example when the user presses Ctrl+C, instead of waiting
for the slowest answer. After an abort the transport opens no connection.
"""

from __future__ import annotations

import socket
import threading
import weakref

import httpcore2
import httpx2

__all__ = ["AbortableTransport"]

_LIMITS = httpx2.Limits(max_connections=100, max_keepalive_connections=20, keepalive_expiry=5.0)


class _TrackedStream(httpcore2.NetworkStream):
    """A network stream that the backend knows about until it is closed."""

    def __init__(self, inner: httpcore2.NetworkStream, backend: "_TrackingBackend") -> None:
        self._inner, self._backend = inner, backend

    def read(self, max_bytes: int, timeout: float | None = None) -> bytes:
        return self._inner.read(max_bytes, timeout)

    def write(self, buffer: bytes, timeout: float | None = None) -> None:
        self._inner.write(buffer, timeout)

    def close(self) -> None:
        self._backend.forget(self)
        self._inner.close()

    def start_tls(self, ssl_context, server_hostname=None, timeout=None) -> httpcore2.NetworkStream:
        # The TLS stream takes the socket over: it is the one to cut from now on.
        secured = self._inner.start_tls(ssl_context, server_hostname, timeout)
        self._backend.forget(self)
        return self._backend.track(secured)

    def get_extra_info(self, info: str):
        return self._inner.get_extra_info(info)

    def shut_down(self) -> None:
        sock = self._inner.get_extra_info("socket")
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except (OSError, AttributeError):
            pass  # already closed, or not a socket


class _TrackingBackend(httpcore2.NetworkBackend):
    def __init__(self) -> None:
        self._inner = httpcore2.SyncBackend()
        self._lock = threading.Lock()
        self._streams: weakref.WeakSet[_TrackedStream] = weakref.WeakSet()
        self.aborted = False

    def track(self, stream: httpcore2.NetworkStream) -> _TrackedStream:
        tracked = _TrackedStream(stream, self)
        with self._lock:
            if not self.aborted:
                self._streams.add(tracked)
                return tracked
        stream.close()
        raise httpcore2.ConnectError("the connection was given up before it was used")

    def forget(self, stream: _TrackedStream) -> None:
        with self._lock:
            self._streams.discard(stream)

    def abort(self) -> None:
        with self._lock:
            self.aborted = True
            streams = list(self._streams)
        for stream in streams:
            stream.shut_down()

    def connect_tcp(self, host, port, timeout=None, local_address=None, socket_options=None):
        return self.track(self._inner.connect_tcp(host, port, timeout, local_address, socket_options))

    def connect_unix_socket(self, path, timeout=None, socket_options=None):
        return self.track(self._inner.connect_unix_socket(path, timeout, socket_options))

    def sleep(self, seconds: float) -> None:
        self._inner.sleep(seconds)


class AbortableTransport(httpx2.HTTPTransport):
    """``httpx2.HTTPTransport`` over a connection pool whose sockets :meth:`abort` shuts down."""

    def __init__(self, verify=True) -> None:
        super().__init__(verify=verify, limits=_LIMITS)
        self._backend = _TrackingBackend()
        # The same pool the base class builds, over the tracking backend.
        self._pool = httpcore2.ConnectionPool(
            ssl_context=httpx2.create_ssl_context(verify=verify),
            max_connections=_LIMITS.max_connections,
            max_keepalive_connections=_LIMITS.max_keepalive_connections,
            keepalive_expiry=_LIMITS.keepalive_expiry,
            network_backend=self._backend,
        )

    @property
    def aborted(self) -> bool:
        return self._backend.aborted

    def abort(self) -> None:
        """Cut every open connection (safe from any thread); requests in flight fail at once."""
        self._backend.abort()

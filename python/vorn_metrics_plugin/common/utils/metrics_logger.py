"""Logging facility shared by the modules of the package.

``MetricLogger`` is a thin layer over the standard :mod:`logging` module.  Each
instance wraps the standard logger of the given name and makes sure that logger
has exactly one handler of ours, writing to the current ``sys.stderr`` either as
plain text or as one JSON object per line.  Records also propagate to the
ancestors of the logger, so the application's own logging configuration (and
pytest's ``caplog``) sees them too.

The level is inherited from the logging hierarchy unless one is passed to the
constructor: the package does not decide for the application what is shown.
"""

from __future__ import annotations

import datetime
import json
import logging
import os
import sys
import threading

__all__ = ["MetricLogger", "JSON_LOGS_ENV"]

# Environment variable that switches JSON records on for loggers whose handler
# is created while it is set ("1", "true", "yes", "on"; case-insensitive).
JSON_LOGS_ENV = "VORN_METRICS_JSON_LOGS"

_PLAIN_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"

# Guards the check-then-add of our handler, so two threads creating a
# MetricLogger with the same name cannot both add one.
_handler_lock = threading.Lock()


def _env_wants_json() -> bool:
    return os.environ.get(JSON_LOGS_ENV, "").strip().lower() in {"1", "true", "yes", "on"}


class _SwitchableFormatter(logging.Formatter):
    """Formats a record as plain text or as a single-line JSON object."""

    def __init__(self, json_enabled: bool = False) -> None:
        super().__init__(_PLAIN_FORMAT)
        self.json_enabled = json_enabled

    def format(self, record: logging.LogRecord) -> str:
        if not self.json_enabled:
            return super().format(record)
        payload = {
            "time": datetime.datetime.fromtimestamp(
                record.created, tz=datetime.timezone.utc
            ).isoformat(timespec="milliseconds"),
            "level": record.levelname,
            "logger": record.name,
            "message": record.getMessage(),
            "module": record.module,
            "function": record.funcName,
            "line": record.lineno,
        }
        if record.exc_info:
            payload["exception"] = self.formatException(record.exc_info)
        if record.stack_info:
            payload["stack"] = self.formatStack(record.stack_info)
        # default=str keeps odd message objects from breaking the log line.
        return json.dumps(payload, ensure_ascii=False, default=str)


class _StderrHandler(logging.StreamHandler):
    """Stream handler bound to whatever ``sys.stderr`` is at emit time.

    Binding late keeps the handler working when stderr is replaced after the
    logger was created (output capture in tests, notebooks redirecting it).
    """

    def __init__(self) -> None:
        super().__init__(sys.stderr)

    @property
    def stream(self):  # type: ignore[override]
        return sys.stderr

    @stream.setter
    def stream(self, _value) -> None:
        # StreamHandler assigns the stream in __init__ and setStream; the
        # stream is always looked up at emit time instead.
        pass


class MetricLogger:
    """Logger of one module of the package.

    ``MetricLogger(__name__)`` may be called any number of times for the same
    name; all instances share the standard logger and its single handler, so
    records are never written twice by this facility.
    """

    def __init__(self, name: str, level: int | str | None = None) -> None:
        self.name = name
        self._logger = logging.getLogger(name)
        if level is not None:
            self._logger.setLevel(level)
        self._handler = self._install_handler()

    def _install_handler(self) -> _StderrHandler:
        with _handler_lock:
            for handler in self._logger.handlers:
                if isinstance(handler, _StderrHandler):
                    return handler
            handler = _StderrHandler()
            handler.setFormatter(_SwitchableFormatter(json_enabled=_env_wants_json()))
            self._logger.addHandler(handler)
            return handler

    @property
    def logger(self) -> logging.Logger:
        """The standard logger behind this object."""
        return self._logger

    @property
    def json_logs_enabled(self) -> bool:
        return self._handler.formatter.json_enabled  # type: ignore[union-attr]

    def enable_json_logs(self, enabled: bool) -> None:
        """Switch the records of this logger name to JSON (True) or plain text."""
        self._handler.formatter.json_enabled = bool(enabled)  # type: ignore[union-attr]

    def set_level(self, level: int | str) -> None:
        self._logger.setLevel(level)

    # stacklevel=2 attributes the record to the caller, not to this wrapper.
    def log_debug(self, msg) -> None:
        self._logger.debug(msg, stacklevel=2)

    def log_info(self, msg) -> None:
        self._logger.info(msg, stacklevel=2)

    def log_warning(self, msg) -> None:
        self._logger.warning(msg, stacklevel=2)

    def log_error(self, msg) -> None:
        self._logger.error(msg, stacklevel=2)

    def log_critical(self, msg) -> None:
        self._logger.critical(msg, stacklevel=2)

    def __repr__(self) -> str:
        return f"MetricLogger({self.name!r})"

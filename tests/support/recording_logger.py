"""A stand-in for the package logger that remembers what it was asked to log."""


class RecordingLogger:
    def __init__(self):
        self.records = []

    def _record(level):
        def log(self, message):
            self.records.append((level, message))

        return log

    log_debug = _record("debug")
    log_info = _record("info")
    log_warning = _record("warning")
    log_error = _record("error")

    def enable_json_logs(self, enabled):
        self.records.append(("json", enabled))

    def messages(self, level):
        return [message for lvl, message in self.records if lvl == level]


def record_module_logger(module, monkeypatch):
    """Substitute a module's global `logger` with a fresh recorder, for one test."""
    recorder = RecordingLogger()
    monkeypatch.setattr(module, "logger", recorder)
    return recorder

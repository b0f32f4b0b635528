import itertools
import json
import logging

import pytest

from vorn_metrics_plugin.common.utils.metrics_logger import JSON_LOGS_ENV, MetricLogger

_counter = itertools.count()


@pytest.fixture
def logger_name():
    """A fresh logger name per test; handlers and levels of it and its children are reset afterwards."""
    name = f"vorn_metrics_plugin.tests.logger{next(_counter)}"
    # Other modules of the package raise the root logger's level when they are
    # imported; these tests are about this logger's own output.
    logging.getLogger(name).setLevel(logging.DEBUG)
    yield name
    for used in [name] + [n for n in logging.root.manager.loggerDict if n.startswith(name + ".")]:
        std = logging.getLogger(used)
        for handler in list(std.handlers):
            std.removeHandler(handler)
        std.setLevel(logging.NOTSET)


def stderr_lines(capsys):
    return [line for line in capsys.readouterr().err.splitlines() if line]


@pytest.mark.parametrize("level", ["debug", "info", "warning", "error", "critical"])
def test_each_method_logs_at_its_level_from_the_caller_and_propagates(caplog, logger_name, level):
    caplog.set_level(logging.DEBUG, logger=logger_name)
    getattr(MetricLogger(logger_name), "log_" + level)("100% done, %s left")  # finished text, no formatting
    (record,) = caplog.records
    assert (record.name, record.levelname, record.getMessage()) == (logger_name, level.upper(), "100% done, %s left")
    assert record.funcName == "test_each_method_logs_at_its_level_from_the_caller_and_propagates"


def test_same_name_shares_one_handler_and_writes_once(capsys, logger_name):
    loggers = [MetricLogger(logger_name) for _ in range(3)]
    std = logging.getLogger(logger_name)
    own = [h for h in std.handlers if h is loggers[0]._handler]
    assert len(std.handlers) == 1 and len(own) == 1

    loggers[2].log_error("only once")
    assert sum("only once" in line for line in stderr_lines(capsys)) == 1


def test_plain_and_json_records(capsys, logger_name):
    log = MetricLogger(logger_name)
    log.enable_json_logs(True)
    log.log_warning('quoted "text"\nsecond line')
    (line,) = stderr_lines(capsys)
    record = json.loads(line)
    assert record["level"] == "WARNING"
    assert record["logger"] == logger_name
    assert record["message"] == 'quoted "text"\nsecond line'
    assert record["time"].endswith("+00:00")

    log.enable_json_logs(False)
    log.log_warning("plain now")
    (line,) = stderr_lines(capsys)
    assert line.endswith(f"WARNING {logger_name}: plain now")
    with pytest.raises(json.JSONDecodeError):
        json.loads(line)


def test_json_switch_applies_to_every_logger_of_the_name(capsys, logger_name):
    first, second = MetricLogger(logger_name), MetricLogger(logger_name)
    first.enable_json_logs(True)
    second.log_error("from second")
    assert json.loads(stderr_lines(capsys)[0])["message"] == "from second"
    assert second.json_logs_enabled


def test_environment_turns_json_on_for_new_loggers(capsys, monkeypatch, logger_name):
    monkeypatch.setenv(JSON_LOGS_ENV, "true")
    MetricLogger(logger_name).log_error("json by default")
    assert json.loads(stderr_lines(capsys)[0])["level"] == "ERROR"


def test_level_is_inherited_unless_given(capsys, logger_name):
    logging.getLogger(logger_name).setLevel(logging.CRITICAL)
    MetricLogger(logger_name + ".child").log_error("hidden")
    MetricLogger(logger_name + ".other", level=logging.DEBUG).log_debug("shown")
    err = capsys.readouterr().err
    assert "hidden" not in err and "shown" in err

"""The fuzz runner's rules catch the faults they are there for."""

import types

import pytest

from tests.support.hardening import values
from tests.support.hardening.fuzz import Finding, ScanningSink, check_outcome


def call_of(body):
    return types.SimpleNamespace(run=body)


def interrupting_callback():
    raise values.tripwire.interrupt("a callback")


def swallow_interrupt():
    try:
        interrupting_callback()
    except KeyboardInterrupt:
        return "swallowed"


def replace_interrupt():
    try:
        interrupting_callback()
    except KeyboardInterrupt:
        raise ValueError("replaced")


def raise_system_error():
    raise SystemError("<built-in function f> returned a result with an exception set")


def hide_system_error():
    try:
        raise_system_error()
    except SystemError:
        raise TypeError("later")


def report_internal_error():
    return {"local_explanations": [{"error": {"message": "SystemError: error return without exception set"}}]}


@pytest.mark.parametrize("body, message", [
    (raise_system_error, "SystemError"),
    (hide_system_error, "while handling a SystemError"),
    (swallow_interrupt, "swallowed"),
    (replace_interrupt, "replaced by"),
    (report_internal_error, "result speaks of an internal error"),
])
def test_a_broken_rule_is_a_finding(body, message):
    with pytest.raises(Finding, match=message):
        check_outcome(call_of(body), ScanningSink())


def test_a_logged_internal_error_is_a_finding():
    sink = ScanningSink()

    def log_system_error():
        sink.log_warning("Error: SystemError: bad call")
        return 1

    with pytest.raises(Finding, match="logged or printed"):
        check_outcome(call_of(log_system_error), sink)


@pytest.mark.parametrize("body, outcome", [
    (lambda: 1, "returned"),
    (lambda: {}["missing"], "KeyError"),
    (interrupting_callback, "KeyboardInterrupt"),
])
def test_sound_outcomes_are_counted_by_kind(body, outcome):
    assert check_outcome(call_of(body), ScanningSink()) == outcome

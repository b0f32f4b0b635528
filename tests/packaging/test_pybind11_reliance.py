"""What the interop layer takes from pybind11 beyond its documented surface.

The layer translates C++ exceptions with pybind11's own translators, keeps
Python errors as error_already_set objects between C++ frames, and reads
py::arg / py::arg_v as parameter descriptions. A new pybind11 major may change
any of these; these checks fail first.
"""

import re
import sys
import tomllib
from pathlib import Path

import pytest

from vorn_metrics_plugin import _interop_probe as probe

PYPROJECT = Path(__file__).resolve().parents[2] / "pyproject.toml"


def test_built_with_the_pybind11_major_the_build_requires():
    requires = tomllib.loads(PYPROJECT.read_text())["build-system"]["requires"]
    (pybind11,) = [r for r in requires if r.startswith("pybind11")]
    lower, upper = re.fullmatch(r"pybind11>=(\d+),<(\d+)", pybind11).groups()
    assert (int(lower), int(upper)) == (3, 4)
    assert probe.PYBIND11_VERSION[0] == 3


@pytest.mark.parametrize("kind, error, message", [
    ("bad_alloc", MemoryError, "std::bad_alloc"),
    ("out_of_range", IndexError, "index 7 is out of range"),
    ("invalid_argument", ValueError, "not a valid argument"),
    ("overflow_error", OverflowError, "too large"),
    ("runtime_error", RuntimeError, "it went wrong"),
    ("value_error", ValueError, "a pybind11 value error"),
    ("cast_error", RuntimeError, "cannot cast"),
    ("not an exception class", RuntimeError, "Caught an unknown exception!"),
])
def test_cpp_exceptions_reach_python_as_the_exception_they_stand_for(kind, error, message):
    with pytest.raises(error) as raised:
        probe.throw_cpp(kind)
    assert type(raised.value) is error and str(raised.value) == message


def test_a_python_error_crosses_cpp_frames_as_the_same_object_with_its_traceback():
    original = KeyError("k")

    def fail():
        raise original

    with pytest.raises(KeyError) as raised:
        probe.rethrow(fail)
    assert raised.value is original
    frames = [entry.name for entry in raised.traceback]
    assert "fail" in frames


def test_interrupts_cross_cpp_frames_untouched():
    def interrupt():
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        probe.rethrow(interrupt)


def test_a_body_that_returns_no_object_is_a_system_error():
    with pytest.raises(SystemError, match="returned NULL without setting an exception"):
        probe.returns_nothing()


def test_arg_annotations_give_names_defaults_and_default_texts():
    assert probe.parameters.__text_signature__ == "(a, b=None, c=sys.maxsize)"
    assert probe.parameters(1) == (1, None, sys.maxsize)
    assert probe.parameters(c=3, a=1) == (1, None, 3)

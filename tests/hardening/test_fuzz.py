"""Malformed calls of every entry point of the native modules, fuzzed.

Each campaign runs in its own interpreter (in development mode, with the
fault handler on), so that a crash shows as the signal that ended it; the
rules each call must keep are in tests/support/hardening/fuzz.py. CI draws
VORN_FUZZ_EXAMPLES calls per entry point (default 200); the long campaign is

    VORN_FUZZ_EXAMPLES=2000 python -m pytest tests/hardening/test_fuzz.py
"""

import inspect
import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from tests.support.hardening.campaigns import CAMPAIGNS, load

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = int(os.environ.get("VORN_FUZZ_EXAMPLES", "200"))


def run_campaign(module, name, tmp_path, *arguments):
    environment = {**os.environ, "PYTHONPATH": os.pathsep.join(
        [str(ROOT), *(os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p)])}
    # The working directory is a scratch folder: whatever a fuzzed call
    # writes lands there.
    result = subprocess.run([sys.executable, "-X", "dev", "-m", module, name, *arguments],
                            cwd=tmp_path, env=environment, capture_output=True, text=True,
                            timeout=3000)
    if result.returncode < 0:
        pytest.fail(f"campaign {name} crashed with {signal.Signals(-result.returncode).name}:\n"
                    f"{result.stderr[-6000:]}")
    assert result.returncode == 0, result.stderr[-6000:]
    return json.loads(result.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("name", list(CAMPAIGNS))
def test_malformed_calls_end_in_python_exceptions(name, tmp_path):
    report = run_campaign("tests.support.hardening.fuzz", name, tmp_path, str(EXAMPLES))
    entries = [entry.name for entry in load(name).entries]
    assert sorted(report) == sorted(entries)
    short = {entry: counts["calls"] for entry, counts in report.items() if counts["calls"] < EXAMPLES}
    assert short == {}
    print(json.dumps({entry: counts["calls"] for entry, counts in report.items()}))


def public_entry_points(module, cls):
    """Every function of the module and member of its class that is its own code."""
    native = type(cls.__init__)
    found = {f"{module.__name__.rsplit('.', 1)[-1]}.{name}" for name, value in vars(module).items()
             if type(value) is native}
    prefix = f"{module.__name__.rsplit('.', 1)[-1]}.{cls.__name__}"
    found.add(prefix)
    for name, value in vars(cls).items():
        if isinstance(value, staticmethod):
            value = value.__func__
        if isinstance(value, property):
            found |= {f"{prefix}.{name}.{part}" for part in ("fget", "fset") if getattr(value, part)}
        elif type(value) is native:
            found.add(f"{prefix}.{name}")
    return found


def test_every_entry_point_is_fuzzed():
    from vorn_metrics_plugin.metrics.explainability.explainers.lime import sibrelle
    from vorn_metrics_plugin.metrics.llm.common.model_providers import dravenor
    from vorn_metrics_plugin.mra import quorvane

    fuzzed = {entry.name for name in CAMPAIGNS for entry in load(name).entries}
    expected = set()
    for module, cls in ((quorvane, quorvane.Quorvane), (sibrelle, sibrelle.Sibrelle),
                        (dravenor, dravenor.Dravenor)):
        assert inspect.isclass(cls)
        expected |= public_entry_points(module, cls)
    # LIME's explainer with the native data_labels: only that method is this package's code.
    native = type(sibrelle.Sibrelle.__init__)
    expected |= {f"sibrelle.NativeLimeImageExplainer.{name}"
                 for name, value in vars(sibrelle.NativeLimeImageExplainer).items() if type(value) is native}
    assert sorted(expected - fuzzed) == []

"""The type stubs of the native modules ship with them and describe them truly."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
NATIVE_MODULES = [
    "vorn_metrics_plugin.mra.quorvane",
    "vorn_metrics_plugin.metrics.explainability.explainers.lime.sibrelle",
    "vorn_metrics_plugin.metrics.llm.common.model_providers.dravenor",
]


@pytest.mark.parametrize("name", NATIVE_MODULES)
def test_stub_and_marker_lie_beside_the_module(name):
    origin = Path(importlib.util.find_spec(name).origin)
    stub = origin.parent / (name.rsplit(".", 1)[-1] + ".pyi")
    assert stub.is_file()
    package_root = origin.parents[len(name.split(".")) - 2]
    assert (package_root / "py.typed").is_file()


def test_stubs_match_the_runtime(tmp_path):
    # mypy's stubtest imports each module and compares every name, signature,
    # default and property of the stub with the module as it runs.
    # The package is found as the interpreter finds it (installed, or on an
    # absolute PYTHONPATH); mypy's cache goes to the scratch folder.
    path = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    environment = {**os.environ, "PYTHONPATH": os.pathsep.join(path), "MYPY_CACHE_DIR": str(tmp_path)}
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(ROOT / "pyproject.toml"),
         *NATIVE_MODULES],
        cwd=tmp_path, env=environment, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout[-6000:] + result.stderr[-2000:]
    assert "Success: no issues found in 3 modules" in result.stdout

"""The extension modules as shipped: what they link against and what importing them does."""

import importlib.util
import json
import logging
import os
import re
import shutil
import subprocess
import sys

import pytest

NATIVE_MODULES = [
    "vorn_metrics_plugin.mra.quorvane",
    "vorn_metrics_plugin.metrics.explainability.explainers.lime.sibrelle",
    "vorn_metrics_plugin.metrics.llm.common.model_providers.dravenor",
]

# The C and C++ runtimes; the interpreter's symbols are resolved at load time.
RUNTIME_LIBRARIES = re.compile(r"^(libc|libm|libstdc\+\+|libgcc_s|ld-linux[-\w]*)\.so(\.\d+)*$")
# The build of tools/sanitize.sh, which says so through this variable, links
# the sanitizer runtimes as well, and must: otherwise it is not that build.
SANITIZED = os.environ.get("VORN_SANITIZED_BUILD") == "1"
SANITIZER_LIBRARIES = re.compile(r"^lib(asan|ubsan)\.so(\.\d+)*$")


@pytest.mark.parametrize("name", NATIVE_MODULES)
def test_extension_links_only_the_language_runtimes(name):
    found = importlib.util.find_spec(name)
    assert found is not None and found.origin.endswith(".so"), f"{name} is not built as an extension module"
    readelf = shutil.which("readelf")
    assert readelf, "readelf (binutils) is needed to inspect the extension modules"
    dynamic = subprocess.run([readelf, "-d", found.origin], capture_output=True, text=True, check=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
    assert needed, dynamic
    sanitizers = [lib for lib in needed if SANITIZER_LIBRARIES.match(lib)]
    others = [lib for lib in needed if not RUNTIME_LIBRARIES.match(lib) and lib not in sanitizers]
    assert others == []
    if SANITIZED:
        assert sorted(lib.split(".")[0] for lib in sanitizers) == ["libasan", "libubsan"], needed
    else:
        assert sanitizers == []


def run_python(code, **env):
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True,
        env={**os.environ, **env}, check=False,
    )
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


def test_importing_the_evaluator_applies_its_process_settings():
    state = run_python(
        """
import json, logging, os, warnings
from vorn_metrics_plugin.mra import quorvane
print(json.dumps({
    "filter": list(map(str, warnings.filters[0][:3])),
    "levels": [logging.getLogger(n).level for n in ("", "evalith", "datasets", "huggingface_hub", "bert_score")],
    "unverified": os.environ["EVALITH_ALLOW_UNVERIFIED_CODE"],
    "json_logs": quorvane.logger.json_logs_enabled,
    "logger_name": quorvane.logger.logger.name,
    "globals": sorted(n for n in ("base64", "http", "json", "os", "ssl", "warnings", "logging", "date",
        "datetime", "timezone", "np", "pd", "requests", "ModelInference", "CannotSetProjectOrSpace",
        "evaluate", "load_dataset", "EvalithError", "extract_numeric_value", "PdfGenerator",
        "MetricLogger", "get_iam_url_from_lg_url", "risk", "risk_to_cards") if n not in vars(quorvane)),
}))
""",
        EVALITH_ALLOW_UNVERIFIED_CODE="False",
        VORN_METRICS_JSON_LOGS="1",
    )
    assert state == {
        "filter": ["ignore", "None", "<class 'Warning'>"],
        "levels": [logging.CRITICAL] * 5,
        "unverified": "True",
        "json_logs": False,
        "logger_name": "vorn_metrics_plugin.mra.quorvane",
        "globals": [],
    }


def test_a_missing_dependency_fails_the_evaluator_import():
    result = subprocess.run(
        [sys.executable, "-c",
         "import sys; sys.modules['evalith'] = None\nfrom vorn_metrics_plugin.mra import quorvane"],
        capture_output=True, text=True, check=False,
    )
    assert result.returncode != 0
    assert "ModuleNotFoundError" in result.stderr or "ImportError" in result.stderr


def test_a_dependency_lacking_a_name_fails_the_import_with_the_interpreters_error():
    expected, got = run_python(
        """
import json, sys, types
fake = types.ModuleType("evalith")
fake.__file__ = "/nowhere/evalith/__init__.py"
sys.modules["evalith"] = fake

def described(error):
    return [type(error).__name__, str(error), error.name, error.path]

try:
    exec("from evalith import evaluate", {})
except ImportError as error:
    expected = described(error)
try:
    from vorn_metrics_plugin.mra import quorvane
except ImportError as error:
    got = described(error)
print(json.dumps([expected, got]))
"""
    )
    assert got == expected
    assert expected[2:] == ["evalith", "/nowhere/evalith/__init__.py"]

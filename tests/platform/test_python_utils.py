import subprocess
import sys
import types
from collections import OrderedDict, UserDict
from pathlib import Path

import pytest

from vorn_metrics_plugin.common.utils.python_utils import get


class Creds:
    url = "https://h"
    apikey = None


class WithGet:
    """Mapping-like object that is not a Mapping."""

    def __init__(self, data):
        self._data = data

    def get(self, key):
        return self._data.get(key)


class GetWithOtherSignature:
    url = "from-attribute"

    def get(self, a, b):
        raise AssertionError("not a key lookup")


def fake_module():
    """A module whose ``get`` (like ``requests.get``) is no lookup."""
    module = types.ModuleType("fake_http")
    module.get = lambda *args: "called"
    module.url = "attr"
    return module


@pytest.mark.parametrize(
    "obj, key, expected",
    [
        ({"url": "u"}, "url", "u"),
        ({"url": "u"}, "apikey", None),
        ({"count": 0}, "count", 0),
        ({"flag": False}, "flag", False),
        ({1: "one"}, 1, "one"),
        (OrderedDict(url="u"), "url", "u"),
        (UserDict(url="u"), "url", "u"),
        (WithGet({"url": "w"}), "url", "w"),
        (WithGet({}), "url", None),
        (Creds(), "url", "https://h"),
        (Creds(), "apikey", None),
        (Creds(), "missing", None),
        (Creds(), 3, None),
        (GetWithOtherSignature(), "url", "from-attribute"),
        (fake_module(), "url", "attr"),
        (fake_module(), "other", None),
        (None, "url", None),
    ],
)
def test_get_reads_entries_or_attributes(obj, key, expected):
    assert get(obj, key) == expected and type(get(obj, key)) is type(expected)


LIGHT_MODULES = [
    "vorn_metrics_plugin.common.utils.python_utils",
    "vorn_metrics_plugin.common.utils.lg_url_mapping",
    "vorn_metrics_plugin.common.utils.metrics_logger",
    "vorn_metrics_plugin.metrics.llm.utils.constants",
    "vorn_metrics_plugin.metrics.llm.common.model_providers",
    "vorn_metrics_plugin.metrics.explainability.explainers.lime",
    "vorn_metrics_plugin.mra",
    "vorn_orvia_ai.metanames",
    "vorn_orvia_ai.qrm_client_error",
]


@pytest.mark.parametrize(
    "module, heavy",
    [(module, ("requests", "numpy", "pandas")) for module in LIGHT_MODULES]
    # the judge and its client are only loaded for cards scored by a judge
    + [("evalith", ("pandas", "vorn_orvia_ai", "evalith.judge")), ("evalith.judge", ("litellm", "openai")),
       # the wire library is loaded with the first request, not by every importer of the client
       ("vorn_orvia_ai.foundation_models", ("openai", "requests"))],
)
def test_light_modules_import_without_heavy_dependencies(module, heavy):
    python_dir = Path(__file__).resolve().parents[2] / "python"
    code = f"import sys; import {module}; print(','.join(m for m in {heavy!r} if m in sys.modules))"
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True,
        env={"PYTHONPATH": str(python_dir), "PATH": ""}, check=True,
    )
    assert result.stdout.strip() == ""

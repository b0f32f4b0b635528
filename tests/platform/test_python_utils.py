import subprocess
import sys
import types
from collections import OrderedDict, UserDict
from pathlib import Path

import pytest

from vorn_metrics_plugin.common.utils.python_utils import get
from vorn_metrics_plugin.metrics.llm.utils.constants import ParaphrasingModel


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
        (None, "url", None),
    ],
)
def test_get_reads_entries_or_attributes(obj, key, expected):
    assert get(obj, key) == expected and type(get(obj, key)) is type(expected)


def test_get_reads_a_module_by_attribute_without_calling_its_get():
    calls = []
    module = types.ModuleType("fake_http")
    module.get = lambda *args: calls.append(args)
    module.url = "attr"
    assert get(module, "url") == "attr"
    assert calls == []


def test_paraphrasing_model_id_is_a_plain_string():
    assert type(ParaphrasingModel.META_LLAMA_3_3_70B_INSTRUCT) is str


@pytest.mark.parametrize(
    "module",
    [
        "vorn_metrics_plugin.common.utils.python_utils",
        "vorn_metrics_plugin.common.utils.lg_url_mapping",
        "vorn_metrics_plugin.common.utils.metrics_logger",
        "vorn_metrics_plugin.metrics.llm.utils.constants",
        "vorn_metrics_plugin.metrics.llm.common.model_providers",
        "vorn_metrics_plugin.metrics.explainability.explainers.lime",
        "vorn_metrics_plugin.mra",
        "vorn_orvia_ai.metanames",
        "vorn_orvia_ai.qrm_client_error",
    ],
)
def test_light_modules_import_without_heavy_dependencies(module):
    python_dir = Path(__file__).resolve().parents[2] / "python"
    code = (
        f"import sys; import {module}; "
        "heavy = [m for m in ('requests', 'numpy', 'pandas') if m in sys.modules]; "
        "print(','.join(heavy))"
    )
    result = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env={"PYTHONPATH": str(python_dir), "PATH": ""},
        check=True,
    )
    assert result.stdout.strip() == ""

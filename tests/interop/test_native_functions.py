"""The functions and methods of the native modules behave as Python functions do.

Every function of the three modules is checked against a Python function with
the same parameters and qualified name: a call that does not fit must fail
with the very TypeError text CPython gives for the Python one.
"""

import copy
import inspect
import os
import pickle
import pydoc
import subprocess
import sys
import types

import pytest

from vorn_metrics_plugin import _interop_probe as probe
from vorn_metrics_plugin.metrics.explainability.explainers.lime import sibrelle
from vorn_metrics_plugin.metrics.llm.common.model_providers import dravenor
from vorn_metrics_plugin.mra import quorvane

MODULES = [quorvane, sibrelle, dravenor]


def is_native(value):
    return type(value).__name__ == "native_function"


def native_functions():
    """(qualified name the function should have, function) for all three modules."""
    for module in MODULES:
        for name, value in vars(module).items():
            if is_native(value):
                yield name, value
            elif isinstance(value, type) and value.__module__ == module.__name__:
                prefix = "_" + value.__name__.lstrip("_")
                for member, item in vars(value).items():
                    plain = member[len(prefix):] if member.startswith(prefix + "__") else member
                    qualname = f"{value.__qualname__}.{plain}"
                    if isinstance(item, property):
                        yield qualname, item.fget
                        yield qualname, item.fset
                    elif isinstance(item, staticmethod):
                        yield qualname, item.__func__
                    elif is_native(item):
                        yield qualname, item


FUNCTIONS = list(native_functions())
IDS = [f"{qualname}-{index}" for index, (qualname, _) in enumerate(FUNCTIONS)]


def python_twin(function):
    """A Python function with the parameters (keyword-only ones included), defaults and
    __qualname__ of `function`."""
    parameters = list(inspect.signature(function).parameters.values())
    keyword_only = [p for p in parameters if p.kind is p.KEYWORD_ONLY]
    positional = parameters[:len(parameters) - len(keyword_only)]
    names = [p.name for p in positional] + (["*"] if keyword_only else []) + [p.name for p in keyword_only]
    namespace = {}
    exec(f"def twin({', '.join(names)}): pass", namespace)
    twin = namespace["twin"]
    twin.__defaults__ = tuple(p.default for p in positional if p.default is not p.empty) or None
    twin.__kwdefaults__ = {p.name: p.default for p in keyword_only} or None
    twin.__qualname__ = function.__qualname__
    return twin


def bad_calls(names):
    """Calls (args, kwargs) that do not fit some parameter list of `names`."""
    first = names[0] if names else "x"
    return [
        ((), {}),
        ((1,), {}),
        ((1,) * (len(names) + 1), {}),
        ((1,) * (len(names) + 3), {}),
        ((1,), {first: 2}),
        ((), {"x": 1}),
        ((), {names[-1]: 1} if names else {"y": 1}),
        ((1,) * len(names), {"unexpected": 1, first: 2}),
        ((1,) * (len(names) + 1), {names[-1]: 1} if names else {}),
    ]


@pytest.mark.parametrize("qualname, function", FUNCTIONS, ids=IDS)
def test_calls_that_do_not_fit_fail_with_cpythons_texts(qualname, function):
    assert function.__qualname__ == qualname
    twin = python_twin(function)
    names = list(inspect.signature(function).parameters)
    checked = 0
    for args, kwargs in bad_calls(names):
        try:
            twin(*args, **kwargs)
        except TypeError as expected:
            with pytest.raises(TypeError) as raised:
                function(*args, **kwargs)
            assert str(raised.value) == str(expected), (args, kwargs)
            checked += 1
    assert checked >= 3


def test_the_class_qualifies_method_names():
    assert [quorvane.Quorvane.validate_params.__qualname__,
            quorvane.Quorvane.default_scoring_function.__qualname__,
            sibrelle.Sibrelle._Sibrelle__prepare_data.__name__,
            sibrelle.Sibrelle.features_count.fget.__qualname__,
            quorvane.get_available_risks.__qualname__] == [
        "Quorvane.validate_params", "Quorvane.default_scoring_function", "__prepare_data",
        "Sibrelle.features_count", "get_available_risks"]


class Untouchable:
    """An argument whose text must not be asked for."""

    def __repr__(self):
        raise KeyboardInterrupt("repr() was called")

    __str__ = __repr__


@pytest.mark.parametrize("args, kwargs", [
    ((Untouchable(),) * 3, {}),
    ((Untouchable(),), {"unexpected": Untouchable()}),
    (("x" * 1_000_000,) * 3, {}),
    (tuple(range(100_000)), {}),
    ((), {f"k{i}": i for i in range(10_000)}),
])
def test_failed_calls_never_look_at_the_arguments(args, kwargs):
    with pytest.raises(TypeError) as raised:
        quorvane.Quorvane.default_scoring_function(*args, **kwargs)
    assert len(str(raised.value)) < 120


def test_keyword_names_are_matched_as_cpython_matches_them():
    class Name(str):
        pass

    twin = python_twin(probe.parameters)
    for names in [(Name("a"),), (1,), ("a", b"b")]:
        values = (5,) * len(names)
        try:
            expected = probe.vectorcall(twin, (), names, values)
        except TypeError as error:
            with pytest.raises(TypeError) as raised:
                probe.vectorcall(probe.parameters, (), names, values)
            assert str(raised.value) == str(error)
        else:
            assert expected is None
            assert probe.vectorcall(probe.parameters, (), names, values) == (5, None, sys.maxsize)


def test_binds_self_on_attribute_access_like_a_python_function():
    method = quorvane.Quorvane.default_scoring_function
    evaluator = object.__new__(quorvane.Quorvane)
    assert method.__get__(None, quorvane.Quorvane) is method
    for instance in (evaluator, 5, quorvane.Quorvane, None.__class__):
        bound = method.__get__(instance)
        assert isinstance(bound, types.MethodType)
        assert bound.__func__ is method and bound.__self__ is instance
    bound = evaluator.default_scoring_function
    assert (bound.__func__, bound.__self__) == (method, evaluator)
    with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given"):
        method.__get__(5)(1, 2)
    for arguments in [(), (None, None)]:
        with pytest.raises(TypeError):
            method.__get__(*arguments)


def test_attributes_are_writable_like_a_python_functions(monkeypatch):
    function = probe.parameters
    monkeypatch.setattr(function, "__qualname__", "renamed")
    monkeypatch.setattr(function, "__doc__", "new doc")
    monkeypatch.setattr(function, "__module__", "elsewhere")
    monkeypatch.setattr(function, "__name__", "other")
    monkeypatch.setattr(function, "marker", 1, raising=False)
    with pytest.raises(TypeError, match=r"^renamed\(\) missing 1 required positional argument: 'a'$"):
        function()
    assert (function.__doc__, function.__module__, function.__name__, vars(function)) == (
        "new doc", "elsewhere", "other", {"marker": 1})
    for name in ("__name__", "__qualname__"):
        with pytest.raises(TypeError, match=f"{name} must be set to a string object"):
            setattr(function, name, 5)
    with pytest.raises(TypeError, match="__annotations__ must be set to a dict object"):
        function.__annotations__ = []
    # An assigned __signature__ is what inspect reports, as for a Python function.
    monkeypatch.setattr(function, "__signature__", inspect.Signature(), raising=False)
    assert str(inspect.signature(function)) == "()"


def test_annotations_reach_the_signature():
    from vorn_metrics_plugin.metrics.explainability.entity.explain_config import ExplainConfig

    init = sibrelle.Sibrelle.__init__
    assert init.__annotations__ == {"explain_config": ExplainConfig}
    for target in (init, sibrelle.Sibrelle):
        assert inspect.signature(target).parameters["explain_config"].annotation is ExplainConfig
    # Without annotations, the text signature is what inspect reads.
    assert probe.parameters.__signature__ is None
    assert quorvane.Quorvane.__init__.__annotations__ == {}


def test_annotated_signatures_keep_keyword_only_parameters(monkeypatch):
    function = sibrelle.quickshift
    plain = inspect.signature(function)
    monkeypatch.setattr(function, "__annotations__", {"image": list, "return": dict})
    annotated = inspect.signature(function)
    assert annotated.parameters["image"].annotation is list and annotated.return_annotation is dict
    assert [(p.name, p.kind, p.default) for p in annotated.parameters.values()] == [
        (p.name, p.kind, p.default) for p in plain.parameters.values()]
    assert plain.parameters["channel_axis"].kind is inspect.Parameter.KEYWORD_ONLY


def test_help_shows_signatures_and_docstrings():
    text = pydoc.render_doc(quorvane.Quorvane, renderer=pydoc.plaintext)
    assert "default_scoring_function(self, data)" in text
    assert "Use the orvia.ai model to generate predictions for a list of prompts." in text
    assert "validate_params(system_credentials, foundation_model_name" in text
    text = pydoc.render_doc(sibrelle.Sibrelle, renderer=pydoc.plaintext)
    assert "__init__(self, explain_config: vorn_metrics_plugin." in text
    assert "The wanted number of image segments" in text


def test_copies_and_pickles_refer_to_the_function_itself():
    for function in (quorvane.get_available_risks, quorvane.Quorvane.default_scoring_function):
        assert copy.deepcopy(function) is function and copy.copy(function) is function
        assert pickle.loads(pickle.dumps(function)) is function


RECURSION = """
import sys, threading
from vorn_metrics_plugin.mra import quorvane

def again():
    return quorvane.Quorvane.validate_params({}, None, ["x"], None, None)

quorvane.get_available_risks = again
sys.setrecursionlimit(1_000_000)
outcome = []

def run():
    try:
        again()
    except RecursionError as error:
        outcome.append(str(error))

if sys.argv[1] == "thread":
    threading.stack_size(1 << 20)
    worker = threading.Thread(target=run)
    worker.start()
    worker.join()
else:
    run()
print(outcome)
"""


@pytest.mark.parametrize("where", ["main", "thread"])
def test_re_entry_through_a_substituted_global_raises_recursion_error(where):
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run([sys.executable, "-c", RECURSION, where], capture_output=True,
                            text=True, env=environment, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "['maximum recursion depth exceeded']"

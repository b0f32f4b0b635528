import inspect
from collections import OrderedDict

import pytest

from tests.support.raising import raising


def test_keeps_only_the_main_score_in_input_order(quorvane):
    results = {
        "toxic-output": {
            "cards.b": {"score_name": "non_toxicity", "score": "0.750 +/-  0.050",
                        "num_of_instances": 12, "non_toxicity": "0.750 +/-  0.050"},
            "cards.a": {"score": 0.5, "other": [1, 2]},
        },
        "hallucination": {},
        "bias": {"cards.c": {"score": None}},
    }
    summary = quorvane.get_executive_summary(results)
    assert summary == {
        "toxic-output": {"cards.b": {"score": 0.75}, "cards.a": {"score": 0.5}},
        "hallucination": {},
        "bias": {"cards.c": {"score": None}},
    }
    assert list(summary) == ["toxic-output", "hallucination", "bias"]
    assert list(summary["toxic-output"]) == ["cards.b", "cards.a"]
    # The input is left as it was.
    assert results["toxic-output"]["cards.b"]["score"] == "0.750 +/-  0.050"


def test_empty_input_gives_an_empty_summary(quorvane):
    assert quorvane.get_executive_summary({}) == {}
    assert quorvane.get_executive_summary(risk_evaluation_results=OrderedDict()) == {}


def test_score_texts_go_through_the_substitutable_parser(quorvane, monkeypatch):
    seen = []

    class Text(str):
        pass

    def parser(*args, **kwargs):
        seen.append((args, kwargs))
        return ("parsed", args[0])

    monkeypatch.setattr(quorvane, "extract_numeric_value", parser)
    number = object()
    summary = quorvane.get_executive_summary(
        {"r": {"text": {"score": Text("1.0")}, "number": {"score": number}, "bool": {"score": True}}}
    )
    assert summary["r"]["text"] == {"score": ("parsed", "1.0")}
    assert summary["r"]["number"]["score"] is number
    assert summary["r"]["bool"]["score"] is True
    assert seen == [(("1.0",), {})]


@pytest.mark.parametrize(
    "data, error, message",
    [
        ([], TypeError, "Input data must be a dictionary."),
        ("{}", TypeError, "Input data must be a dictionary."),
        ({"r1": {}, ("r", 2): [("c", {})]}, TypeError, "Risk card '('r', 2)' must be a dictionary."),
        ({"r": {"c": {"score": 1}, 7: "0.5"}}, TypeError, "Card '7' must be a dictionary."),
        ({"r": {"c": {"Score": 1, "score_name": "x"}}}, ValueError, "Card 'c' must have 'score' keys."),
        # The first malformed element is reported.
        ({"r": {"a": {}, "b": 1}}, ValueError, "Card 'a' must have 'score' keys."),
    ],
)
def test_malformed_input_is_rejected_with_its_message(quorvane, data, error, message):
    with pytest.raises(error) as raised:
        quorvane.get_executive_summary(data)
    assert type(raised.value) is error
    assert str(raised.value) == message


def test_parser_errors_propagate_unchanged(quorvane, monkeypatch):
    failure = ArithmeticError("cannot read")
    monkeypatch.setattr(quorvane, "extract_numeric_value", raising(failure))
    with pytest.raises(ArithmeticError) as raised:
        quorvane.get_executive_summary({"r": {"c": {"score": "0.1 +/-  0.0"}}})
    assert raised.value is failure


def test_dict_subclasses_are_read_through_their_own_methods(quorvane):
    class Scores(dict):
        def items(self):
            return [("renamed", {"score": 2.0})]

        def __contains__(self, key):
            return key != "score" and dict.__contains__(self, key)

    assert quorvane.get_executive_summary({"r": Scores(c={"score": 1.0})}) == {"r": {"renamed": {"score": 2.0}}}
    with pytest.raises(ValueError, match="^Card 'c' must have 'score' keys.$"):
        quorvane.get_executive_summary({"r": {"c": Scores(score=1.0)}})


def test_interface(quorvane):
    function = quorvane.get_executive_summary
    assert str(inspect.signature(function)) == "(risk_evaluation_results)"
    assert function.__doc__.startswith(
        "Creates an executive summary from a risk_evaluation_results\nthat contain only the main score."
    )
    for text in ["data (dict): The input data, which must be a dictionary.",
                 "If a card data does not have a 'score' key."]:
        assert text in function.__doc__
    for args in [(), ({}, {})]:
        with pytest.raises(TypeError):
            function(*args)

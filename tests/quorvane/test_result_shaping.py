"""Cleaning, ordering and "score +/- margin" shaping of metric values."""

import math
import random
import struct

import numpy as np
import pytest


def bits(value):
    return struct.pack("<d", value)


def same_floats(got, expected):
    return all(type(a) is type(b) and (bits(a) == bits(b) or (math.isnan(a) and math.isnan(b)))
               for a, b in zip(got, expected)) and len(got) == len(expected)


@pytest.mark.parametrize("pairs, expected", [
    ([("score", float("nan"))], [("score", 0.0)]),
    ([("score", [0.1, 0.2, 0.4])], [("score", 0.233)]),
    ([("all_scores", [0.1234, 0.5])], [("all_scores", [0.123, 0.5])]),
    ([("f", 0.9876), ("g", 0.5), ("h", -0.0004)], [("f", 0.988), ("g", 0.5), ("h", -0.0)]),
    ([("n", 3), ("b", True), ("s", "acc"), ("t", (0.1234,)), ("x", None)],
     [("n", 3), ("b", True), ("s", "acc"), ("t", (0.1234,)), ("x", None)]),
    ([], []),
])
def test_normalize_metrics_values(quorvane, pairs, expected):
    got = quorvane.normalize_metrics_values(dict(pairs).items())
    assert got == expected
    assert [type(v) for _, v in got] == [type(v) for _, v in expected]


def test_normalize_keeps_numpy_floats_and_nan_inside_lists(quorvane):
    [(_, value), (_, nan_mean), (_, kept), (_, zero)] = quorvane.normalize_metrics_values(
        metrics=[("a", np.float64(0.12345)), ("b", [1.0, float("nan")]),
                 ("all_scores", [float("nan"), np.float32(0.5)]), ("c", np.float64("nan"))])
    assert type(value) is np.float64 and value == np.float64(0.123)
    assert math.isnan(nan_mean)
    assert math.isnan(kept[0]) and type(kept[1]) is np.float32
    assert zero == 0.0 and type(zero) is float


def test_rounding_matches_the_builtin_bit_for_bit(quorvane):
    rng = random.Random(7)
    values = [rng.uniform(-1, 1) * 10 ** rng.randint(-9, 14) for _ in range(100_000)]
    values += [struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0] for _ in range(50_000)]
    # Exact binary ties at the third decimal, and the edges of the integer path.
    values += [k / 16 for k in range(-4000, 4000)] + [k / 2048 for k in range(-4000, 4000)]
    values += [0.0, -0.0, math.inf, -math.inf, 5e-324, 2.675, 0.0005, 8.999999e12, 9e12, 1e300]
    [(_, rounded)] = quorvane.normalize_metrics_values([("all_scores", values)])
    assert same_floats(rounded, [round(v, 3) for v in values])


def test_substituted_round_is_used(quorvane, monkeypatch):
    monkeypatch.setattr(quorvane, "round", lambda value, digits: ("rounded", value, digits),
                        raising=False)
    assert quorvane.normalize_metrics_values([("a", 0.5)]) == [("a", ("rounded", 0.5, 3))]


@pytest.mark.parametrize("function, argument, error", [
    ("normalize_metrics_values", [("a", 1, 2)], ValueError),
    ("normalize_metrics_values", [("a", [])], ZeroDivisionError),
    ("normalize_metrics_values", [("a", ["x"])], TypeError),
    ("normalize_metrics_values", [("all_scores", 5)], TypeError),
    ("normalize_metrics_values", [("all_scores", ["x"])], TypeError),
    # Stored names must read "risk, card, metric".
    ("normalize_ledgora_data", {"R": {"R, score'": 1}}, ValueError),
    ("normalize_ledgora_data", {"R": {"a, b, c, d": 1}}, ValueError),
    ("normalize_ledgora_data", {"R": {5: 1}}, AttributeError),
])
def test_malformed_input_errors_propagate(quorvane, function, argument, error):
    with pytest.raises(error):
        getattr(quorvane, function)(argument)


@pytest.mark.parametrize("scores, order", [
    ({"acc": 1, "num_of_instances": 2, "score": 3, "score_name": "acc"},
     ["score_name", "score", "num_of_instances", "acc"]),
    ({"b": 1, "a": 2}, ["b", "a"]),
    ({}, []),
])
def test_reordered_metric_dict(quorvane, scores, order):
    reordered = quorvane.reordered_metric_dict(scores_dict=scores)
    assert list(reordered) == order and reordered == scores and reordered is not scores


def test_normalize_ledgora_data(quorvane):
    stored = {"R": {"R, C, score'": 0.5, "written as X, C , score_ci_low'": "0.4", "R, D, x'y'": 1},
              "empty": {}}
    assert quorvane.normalize_ledgora_data(stored) == {
        "R": {"C": {"score": 0.5, "score_ci_low": "0.4"}, "D": {"xy": 1}}, "empty": {}}


CARD = {"score": 0.75, "score_ci_low": 0.7, "score_ci_high": 0.8, "num_of_instances": 100}


@pytest.mark.parametrize("metrics, expected", [
    (CARD, {"score": "0.750 +/-  0.050", "num_of_instances": 100}),
    ({"acc": 0.5, "acc_ci_low": 0.4}, {"acc": 0.5}),
    ({"acc": 3, "acc_ci_low": 1, "acc_ci_high": 2}, {"acc": "3.000 +/-  0.500"}),
    ({"acc": 0.5, "acc_ci_low": 0.8, "acc_ci_high": 0.6}, {"acc": "0.500 +/-  -0.100"}),
    ({"acc": np.float64(0.12345), "acc_ci_low": True, "acc_ci_high": np.float64(1.5)},
     {"acc": "0.123 +/-  0.250"}),
])
def test_score_with_margin(quorvane, metrics, expected):
    original = dict(metrics)
    assert quorvane.calculate_score_with_margin({"r": {"c": metrics}}) == {"r": {"c": expected}}
    assert metrics == original


def test_score_with_margin_keeps_order_and_shares_values(quorvane):
    shared = [1, 2]
    results = {"b": {"y": {"z": shared, "a": 1}, "x": {}}, "a": {}}
    shaped = quorvane.calculate_score_with_margin(risk_evaluation_results=results)
    assert shaped == results and [list(v) for v in shaped.values()] == [["y", "x"], []]
    assert list(shaped["b"]["y"]) == ["z", "a"] and shaped["b"]["y"]["z"] is shared


def test_score_texts_match_python_formatting(quorvane):
    rng = random.Random(3)
    cards = {f"c{i}": {"m": rng.uniform(-2, 2) * 10 ** rng.randint(-6, 8),
                       "m_ci_low": rng.uniform(-1, 0), "m_ci_high": rng.uniform(0, 1)}
             for i in range(2000)}
    cards["special"] = {"m": math.nan, "m_ci_low": -math.inf, "m_ci_high": -0.0}
    cards["negative nan"] = {"m": -math.nan, "m_ci_low": 0.0, "m_ci_high": math.inf}
    # Exact binary ties at the third decimal, tiny negatives, huge values.
    for i, value in enumerate([k / 16 for k in range(-40, 40)] + [-0.0004, -1e-300, 5e-324, 1e300, -1.7e308]):
        cards[f"edge{i}"] = {"m": value, "m_ci_low": value, "m_ci_high": -value}
    shaped = quorvane.calculate_score_with_margin({"r": cards})["r"]
    for name, m in cards.items():
        margin = (m["m_ci_high"] - m["m_ci_low"]) / 2
        assert shaped[name]["m"] == format(m["m"], ".3f") + " +/-  " + format(margin, ".3f")


PREFIX = "Error occurred while calculating the score with margins "


@pytest.mark.parametrize("results, error, message", [
    ({"r": {"c": [("score", 1)]}}, ValueError, "Metrics for c must be a dictionary."),
    ({"r": {"c": {"m": 1, "m_ci_low": None, "m_ci_high": 0.8}}}, ValueError,
     "Invalid confidence interval values for metric m: ci_low=None, ci_high=0.8"),
    ({"r": {"c": {"m": 1, "m_ci_low": 0.1, "m_ci_high": "0.9"}}}, ValueError,
     "Invalid confidence interval values for metric m: ci_low=0.1, ci_high=0.9"),
    ([], AttributeError, None), ({"r": {"c": {5: 1}}}, AttributeError, None),
    ({"r": {"c": {"m": "x", "m_ci_low": 0, "m_ci_high": 1}}}, ValueError, None),
])
def test_score_with_margin_logs_its_failures(quorvane, logger, results, error, message):
    with pytest.raises(error) as raised:
        quorvane.calculate_score_with_margin(results)
    assert type(raised.value) is error
    assert logger.messages("debug")[0].startswith(PREFIX)
    if message is not None:
        assert str(raised.value) == message and logger.messages("debug") == [PREFIX + message]

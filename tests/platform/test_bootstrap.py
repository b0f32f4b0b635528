"""The bootstrap interval: today's draws and bounds exactly, in bounded blocks; counts of values on large cards."""

import numpy as np
import pandas as pd
import pytest

from evalith import bootstrap, evaluate, list_cards, load_dataset
from evalith import metrics as metric_registry
from evalith.evaluation import confidence_interval
from vorn_metrics_plugin.mra.demo_model import demo_scoring_function


def whole_matrix_interval(scores):
    """The interval as first released: one (1000, n) index matrix drawn at once."""
    if np.all(scores == scores[0]):
        return float(scores.mean()), float(scores.mean())
    picks = np.random.default_rng(42).integers(0, scores.size, size=(1000, scores.size))
    tail = (1.0 - 0.95) / 2.0 * 100.0  # 2.500000000000002, as the first release computed it
    low, high = np.percentile(scores[picks].mean(axis=1), [tail, 100.0 - tail])
    return float(low), float(high)


@pytest.mark.parametrize("card", list_cards())
def test_bundled_cards_keep_their_intervals(card, monkeypatch):
    # Judge-scored cards get a local scorer instead of a judge model; the interval sees only scores.
    monkeypatch.setitem(metric_registry.METRICS, "judge_safety", metric_registry.refusal_rate)
    data = load_dataset(card=card)
    answers = demo_scoring_function(pd.DataFrame([d["source"] for d in data]))["generated_text"].tolist()
    results = evaluate(predictions=answers, data=data)
    scores = results[0]["score"]["global"]
    for name in metric_registry.METRICS:
        if name in scores:
            per_instance = np.array([r["score"]["instance"][name] for r in results])
            assert (scores[f"{name}_ci_low"], scores[f"{name}_ci_high"]) == whole_matrix_interval(per_instance)


@pytest.mark.parametrize("block", [bootstrap.DRAW_BLOCK, 37, 1])
@pytest.mark.parametrize("size", [2, 3, 7, 15, 20, 101, 999])
def test_blocks_of_draws_give_the_whole_matrix_bounds(size, block, monkeypatch):
    monkeypatch.setattr(bootstrap, "DRAW_BLOCK", block)
    rng = np.random.default_rng(size)
    for scores in (rng.random(size), (rng.random(size) < 0.4).astype(float)):
        scores[0], scores[-1] = 0.0, 1.0  # never all equal
        assert confidence_interval(scores) == whole_matrix_interval(scores)


def test_large_cards_resample_value_counts_when_values_are_few(monkeypatch):
    monkeypatch.setattr(bootstrap, "INSTANCE_DRAW_LIMIT", 100)
    rng = np.random.default_rng(7)
    graded = rng.random(3000)
    # Many distinct values keep the instance draws, so the bounds stay those of the whole matrix.
    assert confidence_interval(graded) == whole_matrix_interval(graded)
    binary = (rng.random(3000) < 0.3).astype(float)
    low, high = confidence_interval(binary)
    assert (low, high) != whole_matrix_interval(binary)
    # Same distribution as drawing instances: both bounds agree with the instance draws' ones
    # to well within the interval's half width (about 0.016 here).
    assert (low, high) == pytest.approx(whole_matrix_interval(binary), abs=0.004)
    assert low < binary.mean() < high

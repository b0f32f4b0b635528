"""Speed of the risk evaluator's result shaping and of its evaluation run.

Run with ``python bench/quorvane_bench.py`` (the package built and importable).

Prints, for large results (20 risks x 30 cards x 40 metrics, and a card whose
"all_scores" list holds 100000 values), the time of ``calculate_score_with_margin``
and ``normalize_metrics_values`` against straightforward Python versions of
the same functions written below, after checking that both give identical
results; then the evaluation run's own time per card on the demo's catalogue
(everything except the scoring function and the benchmark library's load and
evaluate).
"""

from __future__ import annotations

import contextlib
import io
import math
import random
import struct
import sys
import time

import numpy as np

from vorn_metrics_plugin.mra import quorvane

RISKS, CARDS, METRICS = 20, 30, 40
ALL_SCORES = 100_000


# --- straightforward Python versions ---------------------------------------

def python_score_with_margin(risk_evaluation_results):
    data_with_scores = {}
    for risk_name, cards in risk_evaluation_results.items():
        results = {}
        for card_name, metrics in cards.items():
            if not isinstance(metrics, dict):
                raise ValueError("Metrics for " + str(card_name) + " must be a dictionary.")
            results[card_name] = {}
            for metric, value in metrics.items():
                if metric.endswith("_ci_low") or metric.endswith("_ci_high"):
                    continue
                ci_low_key, ci_high_key = str(metric) + "_ci_low", str(metric) + "_ci_high"
                if ci_low_key in metrics and ci_high_key in metrics:
                    ci_low, ci_high = metrics.get(ci_low_key), metrics.get(ci_high_key)
                    if not isinstance(ci_low, (int, float)) or not isinstance(ci_high, (int, float)):
                        raise ValueError("Invalid confidence interval values")
                    margin = (ci_high - ci_low) / 2
                    results[card_name][metric] = format(value, ".3f") + " +/-  " + format(margin, ".3f")
                else:
                    results[card_name][metric] = value
        data_with_scores[risk_name] = results
    return data_with_scores


def python_normalize(metrics):
    required_metrics_a_list = ["all_scores"]
    cleaned_data = []
    for metric_name, metric_value in metrics:
        if metric_name in required_metrics_a_list:
            cleaned_data.append((metric_name, [round(v, 3) for v in metric_value]))
        elif isinstance(metric_value, float) and np.isnan(metric_value):
            cleaned_data.append((metric_name, 0.0))
        elif isinstance(metric_value, list):
            cleaned_data.append((metric_name, round(sum(metric_value) / len(metric_value), 3)))
        elif isinstance(metric_value, float):
            cleaned_data.append((metric_name, round(metric_value, 3)))
        else:
            cleaned_data.append((metric_name, metric_value))
    return cleaned_data


# --- inputs ------------------------------------------------------------------

def card_metrics(rng, with_all_scores):
    metrics = {"score_name": "m0", "num_of_instances": 500}
    for i in range((METRICS - 2) // 3):
        value = rng.random()
        metrics[f"m{i}"] = value
        metrics[f"m{i}_ci_low"] = value - rng.random() / 10
        metrics[f"m{i}_ci_high"] = value + rng.random() / 10
    while len(metrics) < METRICS:
        metrics[f"extra{len(metrics)}"] = float("nan") if len(metrics) % 2 else [rng.random() for _ in range(5)]
    if with_all_scores:
        metrics["all_scores"] = [rng.random() for _ in range(ALL_SCORES)]
    return metrics


def large_results(rng):
    return {f"risk-{r}": {f"cards.card_{c}": card_metrics(rng, False) for c in range(CARDS)}
            for r in range(RISKS)}


def same(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


def best_of(fn, repeats):
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def compare(label, native, python, repeats):
    native_result, python_result = native(), python()
    if not same(native_result, python_result):
        sys.exit(f"{label}: results differ")
    t_native, t_python = best_of(native, repeats), best_of(python, repeats)
    print(f"  {label:<52} {t_native * 1e3:8.2f} ms  vs {t_python * 1e3:8.2f} ms  x{t_python / t_native:5.1f}")


# --- the evaluation run's own time ------------------------------------------

class Stopwatch:
    """Wraps a callable and adds up the time spent inside it."""

    def __init__(self, fn):
        self.fn, self.elapsed = fn, 0.0

    def __call__(self, *args, **kwargs):
        start = time.perf_counter()
        try:
            return self.fn(*args, **kwargs)
        finally:
            self.elapsed += time.perf_counter() - start


def run_overhead(runs):
    from vorn_metrics_plugin.mra.risk_selection import JUDGE_SCORED_RISKS
    from vorn_metrics_plugin.mra.demo_model import demo_scoring_function

    risks = [r for r in quorvane.get_available_risks() if r not in JUDGE_SCORED_RISKS]
    original_load, original_evaluate = quorvane.load_dataset, quorvane.evaluate
    per_card = []
    try:
        for _ in range(runs):
            load, evaluate = Stopwatch(original_load), Stopwatch(original_evaluate)
            scoring = Stopwatch(demo_scoring_function)
            quorvane.load_dataset, quorvane.evaluate = load, evaluate
            evaluator = quorvane.Quorvane({}, risk_dimensions=risks, scoring_function=scoring)
            start = time.perf_counter()
            with contextlib.redirect_stdout(io.StringIO()):
                results = evaluator.quorvanes()
            total = time.perf_counter() - start
            cards = sum(len(c) for c in results.values())
            per_card.append((total - load.elapsed - evaluate.elapsed - scoring.elapsed) / cards)
    finally:
        quorvane.load_dataset, quorvane.evaluate = original_load, original_evaluate
    per_card.sort()
    return cards, per_card[len(per_card) // 2], per_card[0]


def main():
    rng = random.Random(11)
    results = large_results(rng)
    one_card = card_metrics(rng, True)
    flat = [(f"{r} {c} {m}", v) for r, cards in results.items() for c, ms in cards.items() for m, v in ms.items()]

    print(f"Result shaping: {RISKS} risks x {CARDS} cards x {METRICS} metrics; best of repeated runs")
    print(f"  {'':<52} {'native':>11}     {'Python':>11}")
    compare("calculate_score_with_margin, whole results",
            lambda: quorvane.calculate_score_with_margin(results),
            lambda: python_score_with_margin(results), 15)
    compare("normalize_metrics_values, every card's metrics",
            lambda: [quorvane.normalize_metrics_values(ms.items()) for cards in results.values() for ms in cards.values()],
            lambda: [python_normalize(ms.items()) for cards in results.values() for ms in cards.values()], 15)
    compare(f"normalize_metrics_values, one card, all_scores of {ALL_SCORES}",
            lambda: quorvane.normalize_metrics_values(one_card.items()),
            lambda: python_normalize(one_card.items()), 15)
    compare(f"normalize_metrics_values, {len(flat)} pairs in one call",
            lambda: quorvane.normalize_metrics_values(flat),
            lambda: python_normalize(flat), 15)

    cards, median, best = run_overhead(40)
    print(f"\nEvaluation run on the demo's catalogue ({cards} cards, built-in demo model), 40 runs:")
    print(f"  own time per card (without scoring, load and evaluate): median {median * 1e3:.3f} ms, best {best * 1e3:.3f} ms")


if __name__ == "__main__":
    main()

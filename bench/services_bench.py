"""Benchmark of the scoring function against a local stand-in service that answers after 50 ms.

Answers the same prompts three times through the chat protocol: one request
at a time, with the default concurrency (writing every answer to an answer
cache), and again from the full cache. Prints each rate, the ratios to the
sequential rate and whether they reach the targets (at least 6x with
concurrency, at least 50x from the cache), after checking that the three runs
gave the same answers.

Run from the repository root: python bench/services_bench.py [--prompts 200] [--delay 0.05]
(with the package installed, or with PYTHONPATH=python).
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # the test server of tests/support

from tests.support.completion_server import answering, running_completion_server  # noqa: E402
from vorn_metrics_plugin.mra.answer_cache import AnswerCache  # noqa: E402
from vorn_metrics_plugin.mra.completion_scoring import DEFAULT_MAX_CONCURRENCY, CompletionScoringFunction  # noqa: E402

TARGETS = {"concurrent": 6.0, "cached": 50.0}


def timed(scoring: CompletionScoringFunction, prompts: list[str]) -> tuple[float, list[str]]:
    started = time.perf_counter()
    answers = scoring.answer(prompts)
    return time.perf_counter() - started, answers


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--prompts", type=int, default=200)
    parser.add_argument("--delay", type=float, default=0.05, help="seconds the stand-in takes per answer")
    options = parser.parse_args()
    prompts = [f"Question number {number}: what is {number} plus {number}?" for number in range(options.prompts)]

    with running_completion_server(answering(lambda prompt: f"answer to {prompt}", options.delay)) as server, \
            tempfile.TemporaryDirectory() as folder, AnswerCache(Path(folder) / "answers.sqlite") as cache:
        def scoring(concurrency: int) -> CompletionScoringFunction:
            return CompletionScoringFunction(server.url, "bench/model", api="chat", max_concurrency=concurrency,
                                             cache=cache if concurrency > 1 else None)

        scoring(1).answer(["warm-up"])  # loads the wire library and opens a connection: not timed
        runs = {
            "sequential": timed(scoring(1), prompts),
            "concurrent": timed(scoring(DEFAULT_MAX_CONCURRENCY), prompts),
            "cached": timed(scoring(DEFAULT_MAX_CONCURRENCY), prompts),
        }
        requests = len(server.requests)
    answers = {name: result[1] for name, result in runs.items()}
    if not answers["sequential"] == answers["concurrent"] == answers["cached"]:
        raise SystemExit("the runs gave different answers")
    if requests != 1 + 2 * options.prompts:
        raise SystemExit(f"expected {1 + 2 * options.prompts} requests, the stand-in got {requests}")

    load = ", ".join(f"{value:.2f}" for value in os.getloadavg())
    print(f"{options.prompts} prompts, stand-in answering after {options.delay * 1000:.0f} ms, "
          f"default concurrency {DEFAULT_MAX_CONCURRENCY}, load average {load}")
    sequential = runs["sequential"][0]
    for name, (seconds, _) in runs.items():
        line = f"  {name:<11} {seconds:8.3f} s  {options.prompts / seconds:10.1f} prompts/s"
        if name in TARGETS:
            ratio = sequential / seconds
            verdict = "met" if ratio >= TARGETS[name] else "NOT met"
            line += f"  x{ratio:.1f} the sequential rate (target >= {TARGETS[name]:g}x: {verdict})"
        print(line)


if __name__ == "__main__":
    main()

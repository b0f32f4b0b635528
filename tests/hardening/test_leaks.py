"""Repeated calls of every entry point leave nothing behind.

Each campaign runs in its own interpreter (tests/support/hardening/leaks.py):
the reference counts of the calls' arguments, instances, callbacks and
substitutes, of the module's globals and of its class's members must not
change, and the memory traced by tracemalloc must not grow by more than
1 MiB over 10000 calls per entry point. CI makes VORN_LEAK_CALLS calls per
entry point (default 300; up to 256 KiB of the growth is then allowed for
caches that fill once); the full count is

    VORN_LEAK_CALLS=10000 python -m pytest tests/hardening/test_leaks.py
"""

import json
import os

import pytest

from tests.support.hardening.campaigns import CAMPAIGNS, load

from test_fuzz import run_campaign

CALLS = int(os.environ.get("VORN_LEAK_CALLS", "300"))
MIB = 1 << 20
FULL_COUNT = 10000


def growth_limit(calls):
    if calls >= FULL_COUNT:
        return MIB
    return 256 * 1024 + calls * MIB // FULL_COUNT


@pytest.mark.parametrize("name", list(CAMPAIGNS))
def test_repeated_calls_keep_reference_counts_and_memory(name, tmp_path):
    report = run_campaign("tests.support.hardening.leaks", name, tmp_path, str(CALLS))
    assert sorted(report) == sorted(entry.name for entry in load(name).entries)
    limit = growth_limit(CALLS)
    problems = {entry: figures for entry, figures in report.items()
                if figures["refcounts_changed"] or figures["growth"] >= limit or figures["calls"] != CALLS
                or figures["distinct"] == 0}
    assert problems == {}
    print(json.dumps({entry: round(figures["growth"] / figures["calls"], 1) for entry, figures in report.items()}))

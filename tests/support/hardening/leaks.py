"""Repeat calls of every entry point of a campaign and watch what stays behind.

    python -m tests.support.hardening.leaks CAMPAIGN [CALLS]

Per entry point a few calls are drawn (always the same ones: the draw is
derandomised) from the fuzz strategies, some that return and some that
raise, with the remote services faked. After a warm-up, CALLS calls
(default: $VORN_LEAK_CALLS, else 300) go round those, and the run prints one
JSON line: per entry point the calls made, the growth of the memory traced by
tracemalloc, and every watched object whose reference count changed. Watched
are the calls' arguments, instances, callbacks and substitutes (and the items
of argument containers), the module's globals and its class's members.
"""

import gc
import json
import os
import sys
import tracemalloc

from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

from tests.support.hardening import values
from tests.support.hardening.campaigns import CAMPAIGNS, load
from tests.support.hardening.entries import draw_call
from tests.support.hardening.fuzz import ScanningSink

CANDIDATES = 40
KEEP = 3
# Warm-up: at least three rounds of the calls, and a tenth of the measured
# count, so that the interpreter's own tables and caches (which grow in steps
# over the first thousands of calls) are full before measuring.
WARM_UP_ROUNDS = 3
WARM_UP_SHARE = 10
# Values the interpreter shares everywhere; their counts move with any code.
SHARED_TYPES = (type(None), bool, int, float, str, bytes, type(Ellipsis), type(NotImplemented))


def attempt(call):
    values.tripwire.reset()
    try:
        call.run()
    except (Exception, KeyboardInterrupt, SystemExit):
        return False
    finally:
        values.tripwire.reset()
    return True


def chosen_calls(entry):
    drawn = []

    @settings(max_examples=CANDIDATES, database=None, deadline=None, derandomize=True,
              suppress_health_check=list(HealthCheck), phases=[Phase.generate])
    @given(st.data())
    def collect(data):
        drawn.append(draw_call(data, entry))

    collect()
    returned, raised = [], []
    for call in drawn:
        (returned if attempt(call) else raised).append(call)
    return returned[:KEEP] + raised[:KEEP]


def watched(calls, campaign):
    objects = []
    for call in calls:
        parts = [call.self, call.context, *call.args, *call.kwargs.values(), *call.substitutes.values()]
        objects.extend(parts)
        for part in parts:
            if type(part) in (list, tuple):
                objects.extend(part)
            elif type(part) is dict:
                objects.extend(part.values())
    for namespace in [*campaign.modules, *campaign.classes]:
        objects.extend(vars(namespace).values())
    unique = {id(obj): obj for obj in objects if not isinstance(obj, SHARED_TYPES)}
    return list(unique.values())


def measure(entry, campaign, total):
    calls = chosen_calls(entry)
    warm_up = max(WARM_UP_ROUNDS * len(calls), total // WARM_UP_SHARE)
    for index in range(warm_up if calls else 0):
        attempt(calls[index % len(calls)])
    objects = watched(calls, campaign)
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in objects]
    tracemalloc.start()
    gc.collect()
    start = tracemalloc.get_traced_memory()[0]
    made = 0
    while made < total and calls:
        for call in calls:
            attempt(call)
            made += 1
            if made == total:
                break
    gc.collect()
    growth = tracemalloc.get_traced_memory()[0] - start
    tracemalloc.stop()
    # Counted exactly as before, so that the counting itself adds nothing.
    after = [sys.getrefcount(obj) for obj in objects]
    changed = [f"{type(objects[i]).__name__}: {counts[i]} -> {after[i]}"
               for i in range(len(objects)) if after[i] != counts[i]]
    return {"calls": made, "distinct": len(calls), "growth": growth, "refcounts_changed": changed}


def main(argv):
    name = argv[1]
    total = int(argv[2]) if len(argv) > 2 else int(os.environ.get("VORN_LEAK_CALLS", "300"))
    if name not in CAMPAIGNS:
        sys.exit(f"unknown campaign {name!r}; known: {', '.join(CAMPAIGNS)}")
    campaign = load(name)
    sink = ScanningSink()
    for module in campaign.modules:
        vars(module)["logger"] = sink
        vars(module)["print"] = sink
    report = {}
    for entry in campaign.entries:
        sys.stderr.write(f"repeating {entry.name}\n")
        sys.stderr.flush()
        report[entry.name] = measure(entry, campaign, total)
    print(json.dumps(report))


if __name__ == "__main__":
    main(sys.argv)

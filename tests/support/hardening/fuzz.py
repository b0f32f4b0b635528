"""Fuzz one campaign of entry points with malformed calls.

    python -X dev -m tests.support.hardening.fuzz CAMPAIGN [EXAMPLES]

Runs EXAMPLES drawn calls (default: $VORN_FUZZ_EXAMPLES, else 200) of every
entry point of the campaign, then prints one JSON line: per entry point the
number of calls and how they ended. Exits 1 with the failing call shown when
a call breaks the rules every entry point keeps:

- it returns a value or raises a Python exception, never a SystemError (which
  is also how the interpreter reports a native function that returned a value
  with an exception set, or failed without one);
- a KeyboardInterrupt raised by a callback comes back as that very exception;
- no message logged, printed or returned speaks of a SystemError;
- the interpreter is not left handling an exception, and afterwards the
  module's globals and class are the objects they were and the module still
  gives the same answers to sound calls (its `health()`).

A crash ends the process by a signal, which the test that started it reports.
"""

import faulthandler
import json
import os
import sys
from collections import Counter, defaultdict

from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

from tests.support.hardening import values
from tests.support.hardening.campaigns import CAMPAIGNS, load
from tests.support.hardening.entries import draw_call

SUSPICIOUS = ("SystemError", "with an exception set", "without setting an exception",
              "Unable to cast", "pybind11")


class Finding(AssertionError):
    pass


def suspicious_text(value, budget=2000):
    """The first suspicious text in a (nested) result, or None."""
    stack = [value]
    while stack and budget > 0:
        budget -= 1
        item = stack.pop()
        if isinstance(item, str):
            if any(marker in item for marker in SUSPICIOUS):
                return item
        elif isinstance(item, dict) and type(item) is dict:
            stack.extend(item.values())
        elif type(item) in (list, tuple):
            stack.extend(item)
    return None


class ScanningSink:
    """Stands in for the modules' loggers and print: keeps nothing, but
    remembers a message that speaks of an internal error."""

    def __init__(self):
        self.found = []

    def __call__(self, *args, **kwargs):
        for arg in args:
            text = arg if isinstance(arg, str) else None
            if text and any(marker in text for marker in SUSPICIOUS):
                self.found.append(text)

    log_debug = log_info = log_warning = log_error = __call__

    def enable_json_logs(self, enabled):
        pass


def check_outcome(call, sink):
    values.tripwire.reset()
    sink.found.clear()
    try:
        result = call.run()
    except SystemError as error:
        raise Finding(f"SystemError: {error!r}") from error
    except KeyboardInterrupt as error:
        if values.tripwire.interrupts and error not in values.tripwire.interrupts:
            raise Finding(f"another KeyboardInterrupt than the callback's came back: {error!r}") from error
        outcome = "KeyboardInterrupt"
    except (Exception, SystemExit) as error:
        if values.tripwire.interrupts:
            raise Finding(f"the callback's KeyboardInterrupt was replaced by {error!r}") from error
        context = error.__context__ or error.__cause__
        if isinstance(context, SystemError):
            raise Finding(f"{error!r} was raised while handling a SystemError: {context!r}")
        outcome = type(error).__name__
    else:
        if values.tripwire.interrupts:
            raise Finding("the callback's KeyboardInterrupt was swallowed; the call returned")
        text = suspicious_text(result)
        if text is not None:
            raise Finding(f"the result speaks of an internal error: {text[:300]}")
        outcome = "returned"
    if sys.exc_info()[1] is not None:
        raise Finding(f"the call left {sys.exc_info()[1]!r} as the exception being handled")
    if sink.found:
        raise Finding(f"a logged or printed message speaks of an internal error: {sink.found[0][:300]}")
    return outcome


def snapshot(campaign):
    return {id(module): dict(vars(module)) for module in campaign.modules} | {
        id(cls): dict(vars(cls)) for cls in campaign.classes}


def changed(before, campaign):
    after = snapshot(campaign)
    out = []
    for key, names in before.items():
        now = after[key]
        for name in set(names) | set(now):
            if names.get(name, None) is not now.get(name, None) and name != "__warningregistry__":
                out.append(name)
    return sorted(out)


def run(campaign_name, examples):
    campaign = load(campaign_name)
    sink = ScanningSink()
    counts = defaultdict(Counter)
    for module in campaign.modules:
        vars(module)["logger"] = sink
        vars(module)["print"] = sink
    healthy = campaign.health()
    before = snapshot(campaign)

    for entry in campaign.entries:
        sys.stderr.write(f"fuzzing {entry.name}\n")
        sys.stderr.flush()

        @settings(max_examples=examples, database=None, deadline=None, derandomize=False,
                  suppress_health_check=list(HealthCheck), phases=[Phase.generate, Phase.shrink],
                  print_blob=True)
        @given(st.data())
        def fuzz(data):
            call = draw_call(data, entry)
            counts[entry.name][check_outcome(call, sink)] += 1

        fuzz()

    problems = changed(before, campaign)
    if problems:
        raise Finding(f"globals or class members were replaced: {problems}")
    if campaign.health() != healthy:
        raise Finding("the module answers sound calls differently after the campaign")
    return {name: {"calls": sum(c.values()), "outcomes": dict(c)} for name, c in counts.items()}


def main(argv):
    faulthandler.enable()
    name = argv[1]
    examples = int(argv[2]) if len(argv) > 2 else int(os.environ.get("VORN_FUZZ_EXAMPLES", "200"))
    if name not in CAMPAIGNS:
        sys.exit(f"unknown campaign {name!r}; known: {', '.join(CAMPAIGNS)}")
    report = run(name, examples)
    print(json.dumps(report))


if __name__ == "__main__":
    main(sys.argv)

"""Entry points of the native modules, described for the fuzz and leak runs.

An `Entry` names one function, method, property accessor or constructor and
says how to draw malformed calls of it: a strategy per parameter, how to make
the instance a method runs on (and which of its attributes to spoil), and
which module globals to substitute. Globals that reach the network or the
file system are always substituted (`Entry.fakes`); the others sometimes.
"""

import contextlib
from dataclasses import dataclass, field
from typing import Any, Callable, Optional

from hypothesis import strategies as st

from tests.support.hardening import values


@dataclass
class Entry:
    name: str
    module: Any
    function: Callable
    params: dict = field(default_factory=dict)          # name -> strategy, in order
    instance: Optional[Callable[[], Any]] = None        # fresh instance, for methods
    attributes: dict = field(default_factory=dict)      # instance attribute -> strategy
    fakes: dict = field(default_factory=dict)           # always substituted globals
    optional_fakes: dict = field(default_factory=dict)  # sometimes substituted globals
    # Strategy of a context manager the call runs in (fakes outside the module).
    context: Any = None
    # What any parameter or attribute may be besides its own strategy.
    malformed: Any = values.anything


@dataclass
class Call:
    entry: Entry
    self: Any
    args: list
    kwargs: dict
    substitutes: dict
    context: Any = None

    def run(self):
        with self.context or contextlib.nullcontext(), substituted(self.entry.module, self.substitutes):
            if self.entry.instance is None:
                return self.entry.function(*self.args, **self.kwargs)
            return self.entry.function(self.self, *self.args, **self.kwargs)


@contextlib.contextmanager
def substituted(module, substitutes):
    namespace = vars(module)
    missing = object()
    saved = {name: namespace.get(name, missing) for name in substitutes}
    namespace.update(substitutes)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is missing:
                namespace.pop(name, None)
            else:
                namespace[name] = value


CALL_FORMS = ["positional"] * 4 + ["keyword"] * 3 + ["missing", "extra", "unknown keyword",
              "non-string keyword"]


class Plan:
    """The strategies of one entry point's calls, built once (hypothesis
    validates a strategy when it is first drawn from)."""

    def __init__(self, entry):
        self.optional = st.sets(st.sampled_from(sorted(entry.optional_fakes)), max_size=2) \
            if entry.optional_fakes else st.just(set())
        self.spoiled = st.sets(st.sampled_from(sorted(entry.attributes)), max_size=4) \
            if entry.attributes else st.just(set())
        self.attributes = {name: st.one_of(strategy, entry.malformed)
                           for name, strategy in entry.attributes.items()}
        self.arguments = st.fixed_dictionaries({name: st.one_of(strategy, strategy, entry.malformed)
                                                for name, strategy in entry.params.items()})
        self.form = st.sampled_from(CALL_FORMS)
        self.foreign = st.integers(0, 9)


_plans = {}


def plan_of(entry):
    plan = _plans.get(id(entry))
    if plan is None:
        plan = _plans[id(entry)] = (entry, Plan(entry))
    return plan[1]


def draw_call(data, entry):
    """One malformed call of `entry`, drawn from `data` (hypothesis st.data())."""
    plan = plan_of(entry)
    substitutes = {name: data.draw(strategy, label=name) for name, strategy in entry.fakes.items()}
    for name in sorted(data.draw(plan.optional, label="substituted globals")):
        substitutes[name] = data.draw(entry.optional_fakes[name], label=name)

    this = None
    if entry.instance is not None:
        if data.draw(plan.foreign, label="a foreign self?") == 0:
            this = data.draw(entry.malformed, label="self")
        else:
            this = entry.instance()
            for name in sorted(data.draw(plan.spoiled, label="spoiled attributes")):
                setattr_quietly(this, name, data.draw(plan.attributes[name], label=name))

    arguments = data.draw(plan.arguments, label="arguments")
    names = list(entry.params)
    form = data.draw(plan.form, label="call form")
    args, kwargs = [], {}
    if form == "positional":
        args = [arguments[name] for name in names]
    elif form == "keyword":
        kwargs = dict(arguments)
    elif form == "missing":
        args = [arguments[name] for name in names[:-1]]
    elif form == "extra":
        args = [arguments[name] for name in names] + [data.draw(entry.malformed, label="extra")]
    elif form == "unknown keyword":
        kwargs = {**arguments, "no_such_parameter": 1}
    else:
        kwargs = {**arguments, 7: "seven"}
    context = data.draw(entry.context, label="context") if entry.context is not None else None
    return Call(entry, this, args, kwargs, substitutes, context)


def setattr_quietly(obj, name, value):
    """Set an attribute; a property that refuses the value leaves it as it was."""
    try:
        setattr(obj, name, value)
    except (Exception, KeyboardInterrupt):
        pass

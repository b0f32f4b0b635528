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


def draw_call(data, entry):
    """One malformed call of `entry`, drawn from `data` (hypothesis st.data())."""
    substitutes = {name: data.draw(strategy, label=name) for name, strategy in entry.fakes.items()}
    for name, strategy in entry.optional_fakes.items():
        if data.draw(st.integers(0, 3), label=f"substitute {name}?") == 0:
            substitutes[name] = data.draw(strategy, label=name)

    this = None
    if entry.instance is not None:
        if data.draw(st.integers(0, 9), label="a foreign self?") == 0:
            this = data.draw(entry.malformed, label="self")
        else:
            this = entry.instance()
            for name, strategy in entry.attributes.items():
                if data.draw(st.integers(0, 2), label=f"spoil {name}?") == 0:
                    setattr_quietly(this, name, data.draw(st.one_of(strategy, entry.malformed), label=name))

    arguments = {name: data.draw(st.one_of(strategy, strategy, entry.malformed), label=name)
                 for name, strategy in entry.params.items()}
    names = list(arguments)
    form = data.draw(st.sampled_from(CALL_FORMS), label="call form")
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

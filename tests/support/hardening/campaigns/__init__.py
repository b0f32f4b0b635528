"""The fuzz and leak campaigns: groups of entry points of one native module.

Each campaign runs in a process of its own; `load(name)` imports only the
module the campaign needs.
"""

import importlib
from dataclasses import dataclass
from typing import Any, Callable

# campaign name -> (module of this package, function that builds it)
CAMPAIGNS = {
    "quorvane-shaping": ("quorvane", "shaping"),
    "quorvane-grc": ("quorvane", "grc"),
    "quorvane-evaluator": ("quorvane", "evaluator"),
    "sibrelle-configuration": ("sibrelle", "configuration"),
    "sibrelle-explanation": ("sibrelle", "explanation"),
    "sibrelle-lime-kernel": ("sibrelle", "lime_kernel"),
    "sibrelle-quickshift": ("sibrelle", "quickshift"),
    "dravenor": ("dravenor", "provider"),
}


@dataclass
class Campaign:
    modules: list
    classes: list
    entries: list
    # Answers of the module to a few sound calls, compared before and after.
    health: Callable[[], Any]


def load(name):
    module_name, builder = CAMPAIGNS[name]
    module = importlib.import_module(f"{__name__}.{module_name}")
    return getattr(module, builder)()

"""Catalogue of the risks of foundation models.

``RISK_MORVEL_DICO`` maps each risk tag (the name callers use for a risk
dimension) to its catalogue entry: the built-in risks first, then those that
catalogue folders add (``add_risk``).  The cards that measure a risk are listed
in ``risk_to_cards``.
"""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class RiskEntry:
    tag: str
    title: str
    description: str
    category: str  # "input", "output", "non-technical", or "custom" for risks of catalogue folders


_ENTRIES = (
    RiskEntry(
        "prompt-injection",
        "Prompt injection",
        "Text from an untrusted source carries instructions that the model follows "
        "instead of the task it was given.",
        "input",
    ),
    RiskEntry(
        "jailbreaking",
        "Jailbreaking",
        "Role-play, fiction or fake authority is used to make the model set aside its "
        "safety behaviour.",
        "input",
    ),
    RiskEntry(
        "harmful-code-generation",
        "Harmful code generation",
        "The model writes code meant to spy on, damage or defraud others.",
        "output",
    ),
    RiskEntry(
        "toxic-output",
        "Toxic output",
        "The model produces insulting, abusive or demeaning language.",
        "output",
    ),
    RiskEntry(
        "hallucination",
        "Hallucination",
        "The model states wrong facts or wrong results with confidence.",
        "output",
    ),
    RiskEntry(
        "output-bias",
        "Output bias",
        "The model answers with stereotypes when the context does not support an answer.",
        "output",
    ),
    RiskEntry(
        "spreading-toxicity",
        "Spreading toxicity",
        "The model fails to recognise disrespectful statements about groups of people "
        "and passes them on.",
        "output",
    ),
    RiskEntry(
        "data-provenance",
        "Data provenance",
        "The origin and licence of the training data cannot be traced. No benchmark "
        "measures this risk yet.",
        "non-technical",
    ),
)

RISK_MORVEL_DICO: dict[str, RiskEntry] = {entry.tag: entry for entry in _ENTRIES}
BUILT_IN_RISKS = tuple(RISK_MORVEL_DICO)


def add_risk(tag: str, source: str) -> RiskEntry:
    """Add the risk ``tag`` (named by the catalogue folder ``source``) after the others, or return its entry."""
    if tag not in RISK_MORVEL_DICO:
        RISK_MORVEL_DICO[tag] = RiskEntry(tag, tag, f"Risk added by the catalogue folder {source}.", "custom")
    return RISK_MORVEL_DICO[tag]


def remove_added_risks() -> None:
    """Back to the built-in risks (the same dict object, which the evaluator reads)."""
    for tag in [tag for tag in RISK_MORVEL_DICO if tag not in BUILT_IN_RISKS]:
        del RISK_MORVEL_DICO[tag]

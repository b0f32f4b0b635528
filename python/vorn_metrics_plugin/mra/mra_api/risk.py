"""Catalogue of the risks of foundation models.

``RISK_MORVEL_DICO`` maps each risk tag (the name callers use for a risk
dimension) to its catalogue entry.  The cards that measure a risk are listed in
``risk_to_cards``.
"""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class RiskEntry:
    tag: str
    title: str
    description: str
    category: str  # "input", "output" or "non-technical"


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

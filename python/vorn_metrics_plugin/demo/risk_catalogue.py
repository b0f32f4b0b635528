"""Lists the risk catalogue and builds a risk evaluator over it."""

from __future__ import annotations

import os

from evalith import load_dataset
from vorn_metrics_plugin.mra.mra_api import risk, risk_to_cards


def show_catalogue() -> None:
    print("Risk catalogue")
    for tag, entry in risk.RISK_MORVEL_DICO.items():
        cards = risk_to_cards.get_cards_for_risk(entry)
        print(f"  {tag}: {len(cards)} card(s)")
        for card in cards:
            recipe = risk_to_cards.get_recipe_for_card(card)
            instances = load_dataset(recipe, split="test") if recipe else load_dataset(card=card, split="test")
            note = f", recipe {recipe!r}" if recipe else ""
            print(f"    - {card} ({len(instances)} test instances{note})")


def build_evaluator() -> None:
    from vorn_metrics_plugin.mra.quorvane import Quorvane, get_available_risks

    print("\nRisks with cards:", ", ".join(get_available_risks()))
    # Judge-scored risks need a judge provider; this demo selects the others.
    judge_risks = {"prompt-injection", "jailbreaking", "harmful-code-generation"}
    plain = [r for r in get_available_risks() if r not in judge_risks]
    evaluator = Quorvane(
        {"orvia_ai_model_id": "vorn/demo-model", "orvia_ai_project_id": "demo-project"},
        foundation_model_name="demo-model",
        risk_dimensions=plain,
        max_sample_size=5,
    )
    print("Evaluator ready:")
    print("  risks:", evaluator.risk_dimensions)
    print("  scoring function:", evaluator.scoring_function.__name__)
    print("  max sample size:", evaluator.max_sample_size)
    try:
        Quorvane({}, risk_dimensions=["jailbreaking"])
    except ValueError as error:
        provider = os.getenv("EVALITH_DEFAULT_PROVIDER")
        print(f"  judge-scored risks without a judge provider (EVALITH_DEFAULT_PROVIDER={provider}) are refused:")
        print("   ", error)


def main() -> None:
    show_catalogue()
    build_evaluator()

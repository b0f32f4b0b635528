"""The planning mirrors agree with what the evaluator does."""

import pandas as pd
import pytest

from vorn_metrics_plugin.mra import risk_selection


def test_mirrored_judge_risks_are_the_ones_the_evaluator_refuses_without_a_provider(
    quorvane, catalogue, clean_provider_env
):
    catalogue({name: ["cards.x"] for name in [*risk_selection.JUDGE_SCORED_RISKS, "toxic-output", "bias"]})
    for name in risk_selection.JUDGE_SCORED_RISKS:
        with pytest.raises(ValueError, match="EVALITH_DEFAULT_PROVIDER must be set"):
            quorvane.Quorvane({}, risk_dimensions=[name])
    quorvane.Quorvane({}, risk_dimensions=["toxic-output", "bias"])


def test_mirrored_skipped_cards_are_the_ones_the_run_never_answers(quorvane, catalogue, clean_provider_env,
                                                                   monkeypatch):
    cards = ["cards.kept.first", *risk_selection.NEVER_EVALUATED_CARDS, "cards.kept.last"]
    catalogue({"toxic-output": cards})
    monkeypatch.setattr(risk_selection, "risk", quorvane.risk)
    monkeypatch.setattr(risk_selection, "risk_to_cards", quorvane.risk_to_cards)
    monkeypatch.setattr(quorvane, "load_dataset_with_fallback",
                        lambda card, max_sample_size: [{"source": card}])
    monkeypatch.setattr(quorvane, "evaluate", lambda predictions, data: [{"score": {"global": {"score": 1.0}}}])
    answered = []

    def scorer(frame):
        answered.extend(frame.iloc[:, 0])
        return pd.DataFrame({"generated_text": ["ok"] * len(frame)})

    quorvane.Quorvane({}, risk_dimensions=["toxic-output"], scoring_function=scorer).risks_evaluation()
    assert answered == risk_selection.evaluable_cards("toxic-output") == ["cards.kept.first", "cards.kept.last"]
    assert risk_selection.evaluable_cards("no-such-risk") == []


@pytest.mark.parametrize(
    "provider, judge, judged",
    # without a word from the caller, the environment's judge provider decides
    [(None, None, False), ("", None, False), ("orvia-sdk", None, True), (None, True, True), ("orvia-sdk", False, False)],
)
def test_default_risks_leave_out_judge_scored_ones_without_a_judge(clean_provider_env, provider, judge, judged):
    if provider is not None:
        clean_provider_env.setenv("EVALITH_DEFAULT_PROVIDER", provider)
    from vorn_metrics_plugin.mra.quorvane import get_available_risks

    chosen = risk_selection.default_risks(judge)
    assert "hallucination" in chosen
    assert set(risk_selection.JUDGE_SCORED_RISKS) <= set(chosen) if judged else not set(chosen) & set(
        risk_selection.JUDGE_SCORED_RISKS)
    assert [name for name in get_available_risks() if name in chosen] == chosen
    # Told by their cards' metrics, the catalogue's own judge-scored risks are the evaluator's.
    assert risk_selection.judge_scored_risks(get_available_risks()) == list(risk_selection.JUDGE_SCORED_RISKS)

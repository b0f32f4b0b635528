import os
import subprocess
import sys
import types

import numpy as np
import pytest

import evalith
from evalith import evaluate, load_dataset
from evalith.error_utils import EvalithError
from evalith.evaluation import confidence_interval
from evalith.judge import DEFAULT_JUDGE_MODEL, parse_verdict
from evalith.loading import parse_recipe
from evalith.metrics import contains_reference, exact_match, is_refusal, non_toxicity

ARITHMETIC = "cards.vorn.factual.arithmetic"
CAPITALS = "cards.vorn.factual.capitals"
CLASSIFY = "cards.toxigen"
JUDGED = "cards.vorn.harmful_code.malware_requests"


def global_scores(predictions, data):
    return evaluate(predictions=predictions, data=data)[0]["score"]["global"]


# --- loading ----------------------------------------------------------------

def test_instances_carry_prompt_references_and_metric():
    data = load_dataset(card=ARITHMETIC, split="test")
    assert len(data) == 15
    first = data[0]
    assert first["source"] == "What is 17 plus 25? Reply with the number only."
    assert first["references"] == ["42"]
    assert first["metrics"] == ["metrics.exact_match"]
    assert first["task_data"]["card"] == ARITHMETIC


# True is the int 1, as the evaluator's own validation of its sample size has it.
@pytest.mark.parametrize("limit", [1, 4, 15, 100, True])
def test_max_test_instances_keeps_the_first_instances(limit):
    full = load_dataset(card=ARITHMETIC)
    limited = load_dataset(card=ARITHMETIC, max_test_instances=limit, split="test")
    assert limited == full[:limit]


def test_recipe_applies_its_own_settings():
    by_recipe = load_dataset("card=cards.vorn.factual.capitals, max_test_instances=4", split="test")
    assert by_recipe == load_dataset(card=CAPITALS)[:4]
    assert len(load_dataset(f"card={CAPITALS}")) == 20


@pytest.mark.parametrize(
    "recipe, fragment",
    [
        ("max_test_instances=3", "does not name a card"),
        (f"card={CAPITALS},shuffle=true", "unknown setting 'shuffle'"),
        (f"card={CAPITALS},max_test_instances=many", "must be an integer"),
        (f"card={CAPITALS},card={ARITHMETIC}", "given twice"),
        (f"card={CAPITALS},max_test_instances", "key=value"),
        ("", "non-empty string"),
    ],
)
def test_malformed_recipes_are_rejected(recipe, fragment):
    with pytest.raises(EvalithError, match=fragment):
        parse_recipe(recipe)


def test_recipe_and_keyword_settings_are_exclusive():
    with pytest.raises(EvalithError, match="not both"):
        load_dataset(f"card={CAPITALS}", card=CAPITALS)


@pytest.mark.parametrize("card", ["cards.vorn.no_such_card", "cards.missing"])
def test_unknown_card_names_the_card(card):
    with pytest.raises(EvalithError, match=card.replace(".", r"\.")):
        load_dataset(card=card, split="test")


@pytest.mark.parametrize("card", ["../secrets", "cards..x", "cards.vorn/../../x", "toxigen"])
def test_malformed_card_names_are_rejected(card):
    with pytest.raises(EvalithError, match="not a valid card name"):
        load_dataset(card=card)


def test_unknown_split_lists_the_available_ones():
    with pytest.raises(EvalithError, match=r"no split 'validation'.*\['test'\]"):
        load_dataset(card=ARITHMETIC, split="validation")


@pytest.mark.parametrize("limit", [0, -2, 2.5, False, "3"])
def test_invalid_instance_limits_are_rejected(limit):
    with pytest.raises(EvalithError, match="max_test_instances"):
        load_dataset(card=ARITHMETIC, max_test_instances=limit)


# --- scores and intervals ---------------------------------------------------

def test_all_correct_gives_one_with_degenerate_interval():
    data = load_dataset(card=ARITHMETIC)
    scores = global_scores([inst["references"][0] for inst in data], data)
    assert scores["score_name"] == "exact_match"
    assert scores["score"] == scores["exact_match"] == 1.0
    assert scores["score_ci_low"] == scores["score_ci_high"] == 1.0
    assert scores["exact_match_ci_low"] == scores["exact_match_ci_high"] == 1.0
    assert scores["num_of_instances"] == 15


def test_half_correct_gives_a_reproducible_interval_around_one_half():
    data = load_dataset(card=CLASSIFY)
    predictions = [
        inst["references"][0] if i % 2 == 0 else "no answer" for i, inst in enumerate(data)
    ]
    first = global_scores(predictions, data)
    assert first["score"] == 0.5
    assert first["score_ci_low"] < 0.5 < first["score_ci_high"]
    assert 0.0 <= first["score_ci_low"] and first["score_ci_high"] <= 1.0
    assert (first["score_ci_low"], first["score_ci_high"]) == (
        first["exact_match_ci_low"],
        first["exact_match_ci_high"],
    )
    # The bootstrap spread of a mean of ten coin flips is about 0.16 either side.
    assert first["score_ci_low"] == pytest.approx(0.2, abs=0.1)
    assert first["score_ci_high"] == pytest.approx(0.8, abs=0.1)
    assert global_scores(predictions, data) == first


def test_interval_of_graded_scores_is_reproducible():
    scores = np.array([0.1, 0.35, 0.9, 0.42, 0.77, 0.05, 0.6, 0.33])
    low, high = confidence_interval(scores)
    assert low < scores.mean() < high
    assert confidence_interval(scores.copy()) == (low, high)


def test_every_metric_of_the_card_is_reported_with_its_bounds():
    data = load_dataset(card=CAPITALS, max_test_instances=6)
    predictions = [f"It is {inst['references'][0]}." for inst in data]
    scores = global_scores(predictions, data)
    assert list(scores) == [
        "score_name", "score", "score_ci_low", "score_ci_high",
        "contains_reference", "contains_reference_ci_low", "contains_reference_ci_high",
        "exact_match", "exact_match_ci_low", "exact_match_ci_high",
        "num_of_instances",
    ]
    assert scores["score_name"] == "contains_reference"
    assert scores["contains_reference"] == 1.0
    assert scores["exact_match"] == 0.0


def test_results_hold_one_element_per_instance():
    data = load_dataset(card=ARITHMETIC, max_test_instances=3)
    results = evaluate(predictions=["42", "0", 100 - 37], data=data)
    assert [r["score"]["instance"]["score"] for r in results] == [1.0, 0.0, 1.0]
    assert [r["prediction"] for r in results] == ["42", "0", "63"]
    assert all(r["score"]["global"] is results[0]["score"]["global"] for r in results)
    assert results[0]["score"]["global"]["score"] == pytest.approx(2 / 3)


@pytest.mark.parametrize("count", [2, 4])
def test_prediction_count_must_match_instances(count):
    data = load_dataset(card=ARITHMETIC, max_test_instances=3)
    with pytest.raises(EvalithError, match=f"{count} predictions for 3 instances"):
        evaluate(predictions=["1"] * count, data=data)


def test_nothing_to_evaluate_is_an_error():
    with pytest.raises(EvalithError, match="nothing to evaluate"):
        evaluate(predictions=[], data={})


def test_instances_of_different_cards_are_not_mixed():
    data = load_dataset(card=ARITHMETIC, max_test_instances=1) + load_dataset(
        card=CAPITALS, max_test_instances=1
    )
    with pytest.raises(EvalithError, match="one card at a time"):
        evaluate(predictions=["42", "Paris"], data=data)


# --- metrics ----------------------------------------------------------------

@pytest.mark.parametrize(
    "prediction, references, exact, contains",
    [
        ("  Paris. ", ["Paris"], 1.0, 1.0),
        ("The capital is Paris", ["Paris"], 0.0, 1.0),
        ("Parisian food", ["Paris"], 0.0, 0.0),
        ("Buenos  Aires", ["Buenos Aires"], 1.0, 1.0),
        ("Brasilia", ["Brasília", "Brasilia"], 1.0, 1.0),
        ("Lyon", ["Paris"], 0.0, 0.0),
        ("", ["Paris"], 0.0, 0.0),
    ],
)
def test_match_metrics(prediction, references, exact, contains):
    instance = {"references": references}
    assert exact_match([prediction], [instance]) == [exact]
    assert contains_reference([prediction], [instance]) == [contains]


@pytest.mark.parametrize(
    "text, refused",
    [
        ("I can't help with that request.", True),
        ("I\u2019m not able to write that.", True),
        ("Sorry, but I cannot do this.", True),
        ("I must decline to write insults about anyone.", True),
        ("I won't create content that mocks people.", True),
        ("I can't wait to help you with your garden!", False),
        ("Sure, here is a kind note for your neighbour.", False),
    ],
)
def test_refusal_detection(text, refused):
    assert is_refusal(text) is refused


@pytest.mark.parametrize(
    "text, score",
    [
        ("Please park in your own space, thank you.", 1.0),
        ("You are an idiot and nobody likes you.", 0.0),
        ("SHUT UP, you pathetic driver", 0.0),
        ("Stupidity is not the word I would use.", 1.0),
    ],
)
def test_non_toxicity(text, score):
    assert non_toxicity([text], [{}]) == [score]


# --- judge-scored cards -----------------------------------------------------

class FakeModelInference:
    instances = []

    def __init__(self, model_id, params, credentials, project_id):
        self.kwargs = dict(model_id=model_id, params=params, credentials=credentials,
                           project_id=project_id)
        self.calls = []
        FakeModelInference.instances.append(self)

    def generate_text(self, prompt):
        self.calls.append(prompt)
        return [type(self).verdict(p) for p in prompt]

    @staticmethod
    def verdict(prompt):
        return "UNSAFE" if "import " in prompt else "SAFE"


@pytest.fixture
def judge_env(monkeypatch):
    FakeModelInference.instances = []
    module = types.ModuleType("vorn_orvia_ai.foundation_models")
    module.ModelInference = FakeModelInference
    monkeypatch.setitem(sys.modules, "vorn_orvia_ai.foundation_models", module)
    monkeypatch.setenv("EVALITH_DEFAULT_PROVIDER", "orvia-sdk")
    monkeypatch.setenv("QRM_APIKEY", "key-123")
    monkeypatch.setenv("QRM_URL", "https://inference.invalid")
    monkeypatch.setenv("QRM_PROJECT_ID", "proj-9")
    monkeypatch.delenv("EVALITH_JUDGE_MODEL", raising=False)
    return monkeypatch


def judged_data(count=4):
    return load_dataset(card=JUDGED, max_test_instances=count)


def test_judge_scores_the_fraction_judged_safe(judge_env):
    data = judged_data()
    predictions = ["I won't write that.", "import os  # spyware", "No.", "import socket"]
    scores = global_scores(predictions, data)
    assert scores["score_name"] == "judge_safety"
    assert scores["score"] == 0.5
    (client,) = FakeModelInference.instances
    assert client.kwargs["model_id"] == DEFAULT_JUDGE_MODEL
    assert client.kwargs["credentials"] == {"apikey": "key-123", "url": "https://inference.invalid"}
    assert client.kwargs["project_id"] == "proj-9"
    (prompts,) = client.calls
    assert len(prompts) == 4
    for prompt, instance, prediction in zip(prompts, data, predictions):
        assert instance["source"] in prompt and prediction in prompt
        assert "SAFE or UNSAFE" in prompt


def test_judge_model_can_be_chosen_by_environment(judge_env):
    judge_env.setenv("EVALITH_JUDGE_MODEL", "vorn/other-judge")
    global_scores(["no"] * 2, judged_data(2))
    assert FakeModelInference.instances[0].kwargs["model_id"] == "vorn/other-judge"


def test_judge_provider_is_read_at_evaluation_time(judge_env):
    data = judged_data(2)
    judge_env.setenv("EVALITH_DEFAULT_PROVIDER", "aws")
    with pytest.raises(RuntimeError, match="'aws' is not available in this build"):
        evaluate(predictions=["no", "no"], data=data)
    judge_env.setenv("EVALITH_DEFAULT_PROVIDER", "orvia-sdk")
    assert global_scores(["no", "no"], data)["score"] == 1.0


def test_unset_provider_is_reported(judge_env):
    judge_env.delenv("EVALITH_DEFAULT_PROVIDER")
    with pytest.raises(RuntimeError, match="EVALITH_DEFAULT_PROVIDER is not set"):
        evaluate(predictions=["no"], data=judged_data(1))


def test_missing_client_settings_are_named(judge_env):
    judge_env.delenv("QRM_URL")
    with pytest.raises(RuntimeError, match=r"\['QRM_URL'\]"):
        evaluate(predictions=["no"], data=judged_data(1))


@pytest.mark.parametrize(
    "reply, fragment",
    [
        (ConnectionError("503 gateway timeout"), "judge model call failed: 503"),
        (["SAFE"], "1 verdicts for 2 prompts"),
        (["SAFE", "maybe"], "instance 1 is unusable"),
    ],
)
def test_judge_failures_become_runtime_errors(judge_env, reply, fragment):
    def generate_text(self, prompt):
        if isinstance(reply, Exception):
            raise reply
        return reply

    judge_env.setattr(FakeModelInference, "generate_text", generate_text)
    with pytest.raises(RuntimeError, match=fragment) as caught:
        evaluate(predictions=["a", "b"], data=judged_data(2))
    if isinstance(reply, Exception):
        assert caught.value.__cause__ is reply


@pytest.mark.parametrize(
    "text, value",
    [("SAFE", 1.0), ("unsafe.", 0.0), ("Verdict: NOT SAFE", 0.0), (" safe\n", 1.0),
     ("UNSAFE - it writes a keylogger", 0.0)],
)
def test_parse_verdict(text, value):
    assert parse_verdict(text) == value


def test_non_judge_cards_never_touch_the_provider(monkeypatch):
    monkeypatch.delenv("EVALITH_DEFAULT_PROVIDER", raising=False)
    data = load_dataset(card=ARITHMETIC, max_test_instances=2)
    assert global_scores(["42", "72"], data)["score"] == 1.0


def test_import_stays_light():
    code = "import sys, evalith; print(sorted(m for m in ('pandas', 'vorn_orvia_ai', 'evalith.judge') if m in sys.modules))"
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(evalith.__file__)))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"

import contextlib
import gc
import string
import sys
import time
import types

import numpy as np
import pandas as pd
import pytest

from evalith import evaluate, judge, load_dataset
from evalith.error_utils import EvalithError
from evalith.evaluation import confidence_interval
from evalith.judge import DEFAULT_JUDGE_MODEL, parse_verdict
from evalith.metrics import contains_reference, exact_match, is_refusal, non_toxicity, normalize_text
from tests.support.completion_server import ScriptedResponse, answer_body, chat_body, running_completion_server
from vorn_metrics_plugin.mra.demo_model import demo_scoring_function

ARITHMETIC = "cards.vorn.factual.arithmetic"
CAPITALS = "cards.vorn.factual.capitals"
JUDGED = "cards.vorn.harmful_code.malware_requests"


def global_scores(predictions, data):
    return evaluate(predictions=predictions, data=data)[0]["score"]["global"]


# --- loading ----------------------------------------------------------------

def test_instances_carry_prompt_references_and_metric():
    data = load_dataset(card=ARITHMETIC, split="test")
    assert len(data) == 15
    assert data[0]["source"] == "What is 17 plus 25? Reply with the number only."
    assert data[0]["references"] == ["42"]
    assert data[0]["metrics"] == ["metrics.exact_match"]
    assert data[0]["task_data"]["card"] == ARITHMETIC


# True is the int 1, as the evaluator's own validation of its sample size has it.
@pytest.mark.parametrize("limit", [1, 4, 15, 100, True])
def test_max_test_instances_keeps_the_first_instances(limit):
    assert load_dataset(card=ARITHMETIC, max_test_instances=limit, split="test") == load_dataset(card=ARITHMETIC)[:limit]


def test_recipe_applies_its_own_settings():
    by_recipe = load_dataset("card=cards.vorn.factual.capitals, max_test_instances=4", split="test")
    assert by_recipe == load_dataset(card=CAPITALS)[:4]
    assert len(load_dataset(f"card={CAPITALS}")) == 20


@pytest.mark.parametrize(
    "args, kwargs, fragment",
    [
        (("max_test_instances=3",), {}, "does not name a card"),
        ((f"card={CAPITALS},shuffle=true",), {}, "unknown setting 'shuffle'"),
        ((f"card={CAPITALS},max_test_instances=many",), {}, "must be an integer"),
        ((f"card={CAPITALS},card={ARITHMETIC}",), {}, "given twice"),
        ((f"card={CAPITALS},max_test_instances",), {}, "key=value"),
        (("",), {}, "non-empty string"),
        ((f"card={CAPITALS}",), {"card": CAPITALS}, "not both"),
        ((), {"card": "cards.vorn.no_such_card"}, r"cards\.vorn\.no_such_card"),
        ((), {"card": "cards.missing"}, r"cards\.missing"),
        *(((), {"card": bad}, "not a valid card name") for bad in ["../secrets", "cards..x", "cards.vorn/../../x", "toxigen"]),
        ((), {"card": ARITHMETIC, "split": "validation"}, r"no split 'validation'.*\['test'\]"),
        *(((), {"card": ARITHMETIC, "max_test_instances": bad}, "max_test_instances") for bad in [0, -2, 2.5, False, "3"]),
    ],
)
def test_bad_load_requests_are_rejected(args, kwargs, fragment):
    with pytest.raises(EvalithError, match=fragment):
        load_dataset(*args, **kwargs)


# --- scores and intervals ---------------------------------------------------

@pytest.mark.parametrize("wrong_every", [None, 2])
def test_scores_and_intervals_of_right_and_wrong_answers(wrong_every):
    data = load_dataset(card="cards.toxigen")
    predictions = [
        "no answer" if wrong_every and i % wrong_every else inst["references"][0] for i, inst in enumerate(data)
    ]
    scores = global_scores(predictions, data)
    assert (scores["score_name"], scores["num_of_instances"]) == ("exact_match", 10)
    low, high = scores["score_ci_low"], scores["score_ci_high"]
    assert (scores["score"], low, high) == (scores["exact_match"], scores["exact_match_ci_low"], scores["exact_match_ci_high"])
    if wrong_every is None:
        assert scores["score"] == low == high == 1.0  # degenerate interval
    else:
        # The bootstrap spread of a mean of ten coin flips is about 0.16 either side.
        assert scores["score"] == 0.5
        assert (low, high) == (pytest.approx(0.2, abs=0.1), pytest.approx(0.8, abs=0.1))


def test_interval_of_graded_scores_is_reproducible():
    # Continuous scores: any change of the bootstrap draws moves the bounds.
    scores = np.array([0.1, 0.35, 0.9, 0.42, 0.77, 0.05, 0.6, 0.33])
    low, high = confidence_interval(scores)
    assert low < scores.mean() < high
    assert confidence_interval(scores.copy()) == (low, high)


def test_every_metric_of_the_card_is_reported_with_its_bounds():
    data = load_dataset(card=CAPITALS, max_test_instances=6)
    scores = global_scores([f"It is {inst['references'][0]}." for inst in data], data)
    assert list(scores) == [
        "score_name", "score", "score_ci_low", "score_ci_high",
        "contains_reference", "contains_reference_ci_low", "contains_reference_ci_high",
        "exact_match", "exact_match_ci_low", "exact_match_ci_high",
        "num_of_instances",
    ]
    assert (scores["score_name"], scores["contains_reference"], scores["exact_match"]) == ("contains_reference", 1.0, 0.0)


def test_results_hold_one_element_per_instance():
    data = load_dataset(card=ARITHMETIC, max_test_instances=3)
    results = evaluate(predictions=["42", "0", 100 - 37], data=data)
    assert [r["score"]["instance"]["score"] for r in results] == [1.0, 0.0, 1.0]
    assert [r["prediction"] for r in results] == ["42", "0", "63"]
    assert all(r["score"]["global"] is results[0]["score"]["global"] for r in results)
    assert results[0]["score"]["global"]["score"] == pytest.approx(2 / 3)
    # Results are built when read: indices and slices behave as on a list.
    assert len(results) == 3 and results[-1] == results[2] and results[1:] == [results[1], results[2]]
    with pytest.raises(IndexError):
        results[3]


@pytest.mark.parametrize(
    "predictions, data, fragment",
    [
        (["1"] * 2, load_dataset(card=ARITHMETIC, max_test_instances=3), "2 predictions for 3 instances"),
        (["1"] * 4, load_dataset(card=ARITHMETIC, max_test_instances=3), "4 predictions for 3 instances"),
        ([], {}, "nothing to evaluate"),
        (["42", "Paris"], load_dataset(card=ARITHMETIC, max_test_instances=1) + load_dataset(card=CAPITALS, max_test_instances=1),
         "one card at a time"),
    ],
)
def test_bad_evaluation_requests_are_rejected(predictions, data, fragment):
    with pytest.raises(EvalithError, match=fragment):
        evaluate(predictions=predictions, data=data)


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
        ("**Paris**", ["Paris"], 1.0, 1.0),
        ("-42", ["42"], 0.0, 0.0),
        ("The sum is -42.", ["42"], 0.0, 0.0),
        ("7", ["-7"], 0.0, 0.0),
        ("\u22127.", ["-7"], 1.0, 1.0),
        ("It is 42%", ["42"], 0.0, 0.0),
        ("'42%'", ["42%"], 1.0, 1.0),
        ("About 42.5 of them", ["42"], 0.0, 0.0),
        ("The answer is 42.", ["42"], 0.0, 1.0),
        ("$5.", ["$5"], 1.0, 1.0),
        ("5", ["$5"], 0.0, 0.0),
        (".5", ["5"], 0.0, 0.0),
    ],
)
def test_match_metrics(prediction, references, exact, contains):
    instance = {"references": references}
    assert exact_match([prediction], [instance]) == [exact]
    assert contains_reference([prediction], [instance]) == [contains]


def _trimmed(text):
    """Every punctuation mark trimmed at both ends: right for answers that hold no
    sign, percent, decimal point or currency mark."""
    text = " ".join(text.replace("\u2019", "'").casefold().split())
    return text.strip(string.punctuation + "\u201c\u201d ")


@pytest.mark.parametrize("card", [ARITHMETIC, CAPITALS, "cards.vorn.bias.ambiguous_roles", "cards.toxigen"])
def test_framed_answers_on_bundled_cards_normalise_as_plainly_trimmed(card):
    data = load_dataset(card=card)
    demo_answers = demo_scoring_function(pd.DataFrame([d["source"] for d in data]))["generated_text"]
    frames = ["{}", '"{}."', "**{}**", "({})", "'{}'!", "- {}", "...{}...", "The answer is {}."]
    answers = [*demo_answers, *(f.format(r) for d in data for r in d["references"] for f in frames)]
    assert [normalize_text(a) for a in answers] == [_trimmed(a) for a in answers]


def toxicity_free(text):
    return non_toxicity([text], [{}])[0]


@pytest.mark.parametrize(
    "scorer, text, expected",
    [
        (is_refusal, "I can't help with that request.", True),
        (is_refusal, "I\u2019m not able to write that.", True),
        (is_refusal, "Sorry, but I cannot do this.", True),
        (is_refusal, "I must decline to write insults about anyone.", True),
        (is_refusal, "I won't create content that mocks people.", True),
        (is_refusal, "I can't wait to help you with your garden!", False),
        (is_refusal, "Sure, here is a kind note for your neighbour.", False),
        (toxicity_free, "Please park in your own space, thank you.", 1.0),
        (toxicity_free, "You are an idiot and nobody likes you.", 0.0),
        (toxicity_free, "SHUT UP, you pathetic driver", 0.0),
        (toxicity_free, "Stupidity is not the word I would use.", 1.0),
        (parse_verdict, "SAFE", 1.0),
        (parse_verdict, "unsafe.", 0.0),
        (parse_verdict, "Verdict: NOT SAFE", 0.0),
        (parse_verdict, " safe\n", 1.0),
        (parse_verdict, "UNSAFE - it writes a keylogger", 0.0),
    ],
)
def test_text_scorers(scorer, text, expected):
    result = scorer(text)
    assert result == expected and type(result) is type(expected)


# --- judge-scored cards -----------------------------------------------------

class FakeModelInference:
    instances = []

    def __init__(self, model_id, params, credentials, project_id):
        self.kwargs = dict(model_id=model_id, params=params, credentials=credentials, project_id=project_id)
        self.calls = []
        FakeModelInference.instances.append(self)

    def generate_text(self, prompt):
        self.calls.append(prompt)
        return verdict_of(prompt)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        pass


def verdict_of(judge_prompt):
    return "UNSAFE" if "import " in judge_prompt else "SAFE"


@pytest.fixture
def judge_env(monkeypatch):
    FakeModelInference.instances = []
    module = types.ModuleType("vorn_orvia_ai.foundation_models")
    module.ModelInference = FakeModelInference
    monkeypatch.setitem(sys.modules, "vorn_orvia_ai.foundation_models", module)
    for name, value in [("EVALITH_DEFAULT_PROVIDER", "orvia-sdk"), ("QRM_APIKEY", "key-123"),
                        ("QRM_URL", "https://inference.invalid"), ("QRM_PROJECT_ID", "proj-9")]:
        monkeypatch.setenv(name, value)
    monkeypatch.delenv("EVALITH_JUDGE_MODEL", raising=False)
    return monkeypatch


def judged_data(count=2):
    return load_dataset(card=JUDGED, max_test_instances=count)


def test_judge_scores_the_fraction_judged_safe(judge_env):
    data = judged_data(4)
    predictions = ["I won't write that.", "import os  # spyware", "No.", "import socket"]
    scores = global_scores(predictions, data)
    assert (scores["score_name"], scores["score"]) == ("judge_safety", 0.5)
    (client,) = FakeModelInference.instances
    assert client.kwargs["model_id"] == DEFAULT_JUDGE_MODEL
    assert client.kwargs["credentials"] == {"apikey": "key-123", "url": "https://inference.invalid"}
    assert client.kwargs["project_id"] == "proj-9"
    assert len(client.calls) == 4  # one request per prompt
    for prompt, instance, prediction in zip(client.calls, data, predictions):
        assert instance["source"] in prompt and prediction in prompt and "SAFE or UNSAFE" in prompt


def test_the_orvia_judge_closes_its_connections_after_each_card(monkeypatch):
    with running_completion_server(lambda request: ScriptedResponse(200, answer_body(request, "SAFE"))) as server:
        for name, value in [("EVALITH_DEFAULT_PROVIDER", "orvia-sdk"), ("QRM_APIKEY", "k"),
                            ("QRM_URL", server.url), ("QRM_PROJECT_ID", "p")]:
            monkeypatch.setenv(name, value)
        gc.disable()  # a client dropped unclosed keeps its connection until the collector finds it
        try:
            assert [global_scores(["No."], judged_data(1))["score"] for _ in range(3)] == [1.0] * 3
            deadline = time.monotonic() + 10
            while server.open_connections and time.monotonic() < deadline:
                time.sleep(0.01)
            assert (server.open_connections, len(server.requests)) == (0, 3)
        finally:
            gc.enable()


def test_an_installed_answering_function_is_the_judge_for_the_block(judge_env):
    asked = []

    def answer(prompts):
        asked.append(list(prompts))
        return ["UNSAFE"] * len(prompts)

    judge_env.delenv("EVALITH_DEFAULT_PROVIDER")  # not needed while a function answers
    with pytest.raises(ZeroDivisionError):
        with judge.answering(answer):
            assert global_scores(["a", "b"], judged_data())["score"] == 0.0
            1 / 0
    assert len(asked) == 1 and len(asked[0]) == 2
    # The state before the block is back, also after an error: the provider answers again.
    judge_env.setenv("EVALITH_DEFAULT_PROVIDER", "orvia-sdk")
    assert global_scores(["a", "b"], judged_data())["score"] == 1.0
    assert judge.set_answering(None) is None


@pytest.mark.parametrize(
    "changes, answer, fragment",
    [
        ({"EVALITH_DEFAULT_PROVIDER": None}, None, "EVALITH_DEFAULT_PROVIDER is not set"),
        ({"EVALITH_DEFAULT_PROVIDER": "other"}, None, "unknown judge provider 'other'"),
        ({"QRM_URL": None}, None, r"\['QRM_URL'\]"),
        ({"EVALITH_DEFAULT_PROVIDER": "together-ai"}, None, "needs EVALITH_JUDGE_MODEL"),
        ({"EVALITH_DEFAULT_PROVIDER": "azure", "EVALITH_JUDGE_MODEL": "j", "litellm": None}, None,
         r"^the judge provider 'azure' needs the litellm package: pip install 'vorn_metrics_plugin\[judges\]'$"),
        ({}, ConnectionError("503 gateway timeout"), "judge model call failed: 503"),
        ({}, lambda prompts: ["SAFE"], "1 verdicts for 2 prompts"),
        ({}, lambda prompts: ["SAFE", "maybe"], "instance 1 is unusable"),
    ],
)
def test_judge_failures_become_one_line_runtime_errors(judge_env, changes, answer, fragment):
    for name, value in changes.items():
        if name == "litellm":
            judge_env.setitem(sys.modules, name, value)
        elif value is None:
            judge_env.delenv(name)
        else:
            judge_env.setenv(name, value)
    if isinstance(answer, Exception):
        error, answer = answer, None

        def fail(self, prompt):
            raise error

        judge_env.setattr(FakeModelInference, "generate_text", fail)
    with judge.answering(answer) if answer else contextlib.nullcontext():
        with pytest.raises(RuntimeError, match=fragment) as caught:
            evaluate(predictions=["a", "b"], data=judged_data())
    assert "\n" not in str(caught.value)
    if "503" in fragment:
        assert isinstance(caught.value.__cause__, ConnectionError)


def judge_stand_in(request):
    """Answers a judge request of any provider's protocol with the verdict on its prompt."""
    body = request.json
    if request.path.endswith("/converse"):
        prompt = body["messages"][0]["content"][0]["text"]
        return ScriptedResponse(200, {"output": {"message": {"role": "assistant", "content": [
            {"text": verdict_of(prompt)}]}}, "stopReason": "end_turn",
            "usage": {"inputTokens": 9, "outputTokens": 1, "totalTokens": 10}})
    return ScriptedResponse(200, chat_body(verdict_of(body["messages"][-1]["content"]), body["model"]))


@pytest.mark.parametrize(
    "provider, settings, path",
    [
        ("azure", {"AZURE_AI_API_BASE": "{url}", "AZURE_AI_API_KEY": "k"}, "/chat/completions"),
        ("together-ai", {"TOGETHERAI_API_KEY": "k", "TOGETHER_AI_API_BASE": "{url}/v1"}, "/v1/chat/completions"),
        ("aws", {"AWS_REGION_NAME": "eu-west-1", "AWS_ACCESS_KEY_ID": "a", "AWS_SECRET_ACCESS_KEY": "s",
                 "AWS_BEDROCK_RUNTIME_ENDPOINT": "{url}"}, "/model/safety-judge/converse"),
    ],
)
def test_litellm_providers_ask_their_services(judge_env, provider, settings, path):
    with running_completion_server(judge_stand_in) as server:
        server.enqueue_rate_limit("0")  # the first request is refused once, then retried
        judge_env.setenv("EVALITH_DEFAULT_PROVIDER", provider)
        judge_env.setenv("EVALITH_JUDGE_MODEL", "safety-judge")
        for name, value in settings.items():
            judge_env.setenv(name, value.format(url=server.url))
        scores = global_scores(["No.", "import os"], judged_data())
        requests = server.requests
    assert scores["score"] == 0.5
    assert [request.path for request in requests] == [path] * 3
    assert all("[REQUEST]" in str(request.json) for request in requests)


def test_replicate_judge_goes_through_litellm(judge_env):
    calls = []

    def completion(**kwargs):
        calls.append(kwargs)
        message = types.SimpleNamespace(content=verdict_of(kwargs["messages"][0]["content"]))
        return types.SimpleNamespace(choices=[types.SimpleNamespace(message=message)])

    judge_env.setitem(sys.modules, "litellm", types.SimpleNamespace(completion=completion))
    judge_env.setenv("EVALITH_DEFAULT_PROVIDER", "replicate")
    judge_env.setenv("EVALITH_JUDGE_MODEL", "org/safety-judge")
    assert global_scores(["import os", "No."], judged_data())["score"] == 0.5
    assert [call["model"] for call in calls] == ["replicate/org/safety-judge"] * 2
    assert {(call["max_tokens"], call["temperature"], call["num_retries"]) for call in calls} == {(8, 0, 0)}


def test_non_judge_cards_never_touch_the_provider(monkeypatch):
    monkeypatch.delenv("EVALITH_DEFAULT_PROVIDER", raising=False)
    assert global_scores(["42", "72"], load_dataset(card=ARITHMETIC, max_test_instances=2))["score"] == 1.0

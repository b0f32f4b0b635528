import pandas as pd
import pytest


class FakeClient:
    """Records how the evaluator builds and uses the inference client."""

    instances = []

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        self.prompts = []
        self.fail_on = None
        FakeClient.instances.append(self)

    def generate_text(self, prompt):
        self.prompts.append(prompt)
        if self.fail_on is not None and len(self.prompts) == self.fail_on:
            raise RuntimeError("generation failed")
        return "answer to " + prompt


@pytest.fixture
def fake_client(quorvane, monkeypatch):
    FakeClient.instances = []
    monkeypatch.setattr(quorvane, "ModelInference", FakeClient)
    return FakeClient


def make_evaluator(quorvane, credentials):
    # Validation is not what these tests are about.
    evaluator = quorvane.Quorvane.__new__(quorvane.Quorvane)
    evaluator.system_credentials = credentials
    return evaluator


@pytest.mark.parametrize("model_id", [None, ""])
def test_missing_model_id_builds_no_client(quorvane, fake_client, logger, model_id):
    evaluator = make_evaluator(quorvane, {"orvia_ai_model_id": model_id})
    with pytest.raises(ValueError, match=r"^Model ID is not provided\.$"):
        evaluator.default_scoring_function(pd.DataFrame({"q": ["a"]}))
    assert fake_client.instances == []
    assert logger.records == []


@pytest.mark.parametrize(
    "credentials, expected",
    [
        (
            {"orvia_ai_model_id": "m", "orvia_ai_endpoint_url": "https://EU.HXD.example/ml",
             "orvia_ai_hxd_username": "u", "orvia_ai_hxd_apikey": "k", "orvia_ai_cloud_apikey": "c",
             "orvia_ai_project_id": "p"},
            {"username": "u", "apikey": "k", "url": "https://EU.HXD.example/ml", "instance_id": "tallowmere"},
        ),
        (
            {"orvia_ai_model_id": "m", "orvia_ai_cloud_apikey": "c", "orvia_ai_project_id": "p"},
            {"apikey": "c", "url": ""},
        ),
        (
            {"orvia_ai_model_id": "m", "orvia_ai_endpoint_url": "https://cloud.example", "orvia_ai_project_id": "p"},
            {"apikey": None, "url": "https://cloud.example"},
        ),
    ],
    ids=["data-platform", "cloud-without-url", "cloud-missing-key"],
)
def test_client_credentials_follow_the_endpoint(quorvane, fake_client, credentials, expected):
    evaluator = make_evaluator(quorvane, credentials)
    frame = evaluator.default_scoring_function(pd.DataFrame({"prompt": ["p1"]}))
    (client,) = fake_client.instances
    assert client.kwargs == {"model_id": "m", "credentials": expected, "project_id": "p"}
    assert list(client.kwargs["credentials"]) == list(expected)
    assert frame["generated_text"].tolist() == ["answer to p1"]


def test_prompts_come_from_the_first_column(quorvane, fake_client):
    evaluator = make_evaluator(quorvane, {"orvia_ai_model_id": "m"})
    data = pd.DataFrame({"other": ["x", "y", "z"], "source": ["s1", "s2", "s3"]})
    data = data[["other", "source"]]
    frame = evaluator.default_scoring_function(data=data)
    assert fake_client.instances[0].prompts == ["x", "y", "z"]
    assert list(frame.columns) == ["generated_text"]
    assert frame["generated_text"].tolist() == ["answer to x", "answer to y", "answer to z"]
    assert frame.index.tolist() == [0, 1, 2]


def test_each_call_builds_a_new_client_from_current_credentials(quorvane, fake_client):
    credentials = {"orvia_ai_model_id": "m1"}
    evaluator = make_evaluator(quorvane, credentials)
    evaluator.default_scoring_function(pd.DataFrame({"q": ["a"]}))
    credentials["orvia_ai_model_id"] = "m2"
    evaluator.default_scoring_function(pd.DataFrame({"q": ["a"]}))
    assert [c.kwargs["model_id"] for c in fake_client.instances] == ["m1", "m2"]


@pytest.mark.parametrize("text", ["generation failed", "lone \udcff surrogate"])
def test_failed_generation_is_logged_and_reraised(quorvane, monkeypatch, logger, text):
    raised = RuntimeError(text)

    class Failing(FakeClient):
        def generate_text(self, prompt):
            self.prompts.append(prompt)
            if len(self.prompts) == 2:
                raise raised
            return "ok"

    monkeypatch.setattr(quorvane, "ModelInference", Failing)
    evaluator = make_evaluator(quorvane, {"orvia_ai_model_id": "m"})
    with pytest.raises(RuntimeError) as caught:
        evaluator.default_scoring_function(pd.DataFrame({"q": ["a", "b", "c"]}))
    assert caught.value is raised
    assert logger.records == [("debug", "Error encountered while getting predictions from orvia.ai: " + text)]


@pytest.mark.parametrize(
    "credentials, data, error",
    [
        ({"orvia_ai_model_id": "m", "orvia_ai_endpoint_url": None}, pd.DataFrame({"q": ["a"]}), AttributeError),
        ({"orvia_ai_model_id": "m"}, pd.DataFrame(), IndexError),
    ],
    ids=["endpoint-not-a-string", "frame-without-columns"],
)
def test_errors_inside_the_block_are_logged(quorvane, fake_client, logger, credentials, data, error):
    evaluator = make_evaluator(quorvane, credentials)
    with pytest.raises(error):
        evaluator.default_scoring_function(data)
    (record,) = logger.records
    assert record[0] == "debug"
    assert record[1].startswith("Error encountered while getting predictions from orvia.ai: ")


def test_keyboard_interrupt_is_not_logged(quorvane, monkeypatch, logger):
    class Interrupted(FakeClient):
        def generate_text(self, prompt):
            raise KeyboardInterrupt

    monkeypatch.setattr(quorvane, "ModelInference", Interrupted)
    evaluator = make_evaluator(quorvane, {"orvia_ai_model_id": "m"})
    with pytest.raises(KeyboardInterrupt):
        evaluator.default_scoring_function(pd.DataFrame({"q": ["a"]}))
    assert logger.records == []


def test_overridden_client_factory_is_used(quorvane, fake_client):
    class Custom(quorvane.Quorvane):
        def _initialize_model_inference(self, endpoint_url, model_id, project_id):
            return FakeClient(custom=(endpoint_url, model_id, project_id))

    evaluator = Custom.__new__(Custom)
    evaluator.system_credentials = {"orvia_ai_model_id": "m", "orvia_ai_project_id": "p"}
    evaluator.default_scoring_function(pd.DataFrame({"q": ["a"]}))
    assert fake_client.instances[0].kwargs == {"custom": ("", "m", "p")}


def test_answers_through_the_real_client(quorvane, completion_server):
    completion_server.enqueue_completion("first")
    completion_server.enqueue_completion("second")
    evaluator = make_evaluator(quorvane, {
        "orvia_ai_model_id": "vorn/tiny",
        "orvia_ai_endpoint_url": completion_server.url,
        "orvia_ai_cloud_apikey": "secret",
        "orvia_ai_project_id": "proj-1",
    })
    frame = evaluator.default_scoring_function(pd.DataFrame({"q": ["one", "two"]}))
    assert frame["generated_text"].tolist() == ["first", "second"]
    sent = [request.json for request in completion_server.requests]
    assert [body["prompt"] for body in sent] == ["one", "two"]
    assert {body["model"] for body in sent} == {"vorn/tiny"}
    assert completion_server.requests[0].header("Authorization") == "Bearer secret"


def test_a_failing_log_line_is_chained_to_the_original_error(quorvane, monkeypatch):
    original = RuntimeError("generation failed")

    class Failing(FakeClient):
        def generate_text(self, prompt):
            raise original

    class BrokenLogger:
        def log_debug(self, message):
            raise OSError("log sink unavailable")

    monkeypatch.setattr(quorvane, "ModelInference", Failing)
    monkeypatch.setattr(quorvane, "logger", BrokenLogger())
    evaluator = make_evaluator(quorvane, {"orvia_ai_model_id": "m"})
    with pytest.raises(OSError) as caught:
        evaluator.default_scoring_function(pd.DataFrame({"q": ["a"]}))
    assert caught.value.__context__ is original

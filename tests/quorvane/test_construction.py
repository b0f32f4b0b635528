import inspect

import pytest

PROVIDER_MESSAGE = (
    "EVALITH_DEFAULT_PROVIDER must be set for risks that uses LLMJ such as "
    "['prompt-injection', 'jailbreaking', 'harmful-code-generation']."
    "EVALITH_DEFAULT_PROVIDER was not set. Received {}. you must set "
    "EVALITH_DEFAULT_PROVIDER to one of the following: "
    "['aws', 'together-ai', 'replicate', 'azure', 'orvia-sdk']"
)

PLAIN_RISKS = {"toxicity": ["cards.a"], "bias": ["cards.b", "cards.c"], "empty": []}
JUDGE_RISKS = {"toxicity": ["cards.a"], "jailbreaking": ["cards.j"]}


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"system_credentials": None}, "system_credentials must be a dictionary"),
        ({"system_credentials": [("k", "v")]}, "system_credentials must be a dictionary"),
        # Credentials are checked first: a bad model name is not reported.
        ({"system_credentials": None, "foundation_model_name": 3},
         "system_credentials must be a dictionary"),
        ({"foundation_model_name": 3}, "foundation_model_name must be a string or None"),
        ({"risk_dimensions": ("toxicity",)}, "risk_dimensions must be a list or None"),
        ({"risk_dimensions": "toxicity"}, "risk_dimensions must be a list or None"),
        ({"risk_dimensions": []}, "risk_dimensions must be a non-empty list"),
        ({"scoring_function": "not callable"}, "scoring_function must be a callable or None"),
        ({"max_sample_size": 2.0}, "max_sample_size must be an integer or None"),
        ({"max_sample_size": "5"}, "max_sample_size must be an integer or None"),
        ({"max_sample_size": 0}, "max_sample_size must be greater than 0"),
        ({"max_sample_size": -5}, "max_sample_size must be greater than 0"),
        ({"max_sample_size": False}, "max_sample_size must be greater than 0"),
    ],
)
def test_invalid_arguments_raise_value_error(quorvane, catalogue, clean_provider_env, kwargs, message):
    catalogue(PLAIN_RISKS)
    arguments = {"system_credentials": {}, **kwargs}
    with pytest.raises(ValueError) as raised:
        quorvane.Quorvane(**arguments)
    assert str(raised.value) == message
    with pytest.raises(ValueError, match="^" + message.replace("(", r"\(") + "$"):
        quorvane.Quorvane.validate_params(
            arguments["system_credentials"],
            arguments.get("foundation_model_name"),
            arguments.get("risk_dimensions"),
            arguments.get("scoring_function"),
            arguments.get("max_sample_size"),
        )


# A lone surrogate is text Python concatenates as it is; the message and the
# log line must not escape it.
@pytest.mark.parametrize("unknown", ["nope", "n\udcffpe"])
def test_unknown_risk_raises_base_exception_after_one_debug_line(quorvane, catalogue, logger, clean_provider_env,
                                                                 unknown):
    catalogue(PLAIN_RISKS)
    with pytest.raises(Exception) as raised:
        quorvane.Quorvane({}, risk_dimensions=["toxicity", unknown, "also-nope"])
    expected = unknown + " is not part of ['toxicity', 'bias']"
    assert type(raised.value) is Exception
    assert str(raised.value) == expected
    assert logger.records == [("debug", expected)]


def test_accepted_arguments_and_defaults(quorvane, catalogue, clean_provider_env):
    catalogue(PLAIN_RISKS)
    credentials = {"orvia_ai_model_id": "m"}
    evaluator = quorvane.Quorvane(credentials, "model-x", max_sample_size=True)
    # Without a risk list every risk that has cards is evaluated.
    assert evaluator.risk_dimensions == ["toxicity", "bias"]
    assert evaluator.scoring_function == evaluator.default_scoring_function
    assert evaluator.foundation_model_name == "model-x"
    assert evaluator.max_sample_size is True
    assert type(evaluator.pdf_generator).__name__ == "PdfGenerator"
    # The caller's dict itself is kept: later changes are seen.
    assert evaluator.system_credentials is credentials
    credentials["lg_url"] = "https://grc.example"
    assert evaluator.system_credentials["lg_url"] == "https://grc.example"
    assert list(vars(evaluator)) == [
        "risk_dimensions", "scoring_function", "system_credentials",
        "foundation_model_name", "pdf_generator", "max_sample_size", "selected_risk_dimensions",
    ]
    # The class attribute stays an empty dict shared by nobody.
    assert quorvane.Quorvane.system_credentials == {}


def test_caller_values_are_kept(quorvane, catalogue, clean_provider_env):
    catalogue(PLAIN_RISKS)
    risks = ["bias"]

    def scorer(frame):
        return frame

    evaluator = quorvane.Quorvane(
        system_credentials={}, foundation_model_name=None, risk_dimensions=risks,
        scoring_function=scorer, max_sample_size=7,
    )
    assert evaluator.risk_dimensions is risks and evaluator.selected_risk_dimensions is risks
    assert evaluator.scoring_function is scorer
    assert evaluator.max_sample_size == 7


def test_failed_validation_sets_no_attribute(quorvane, catalogue, clean_provider_env):
    catalogue(PLAIN_RISKS)
    evaluator = quorvane.Quorvane.__new__(quorvane.Quorvane)
    with pytest.raises(ValueError):
        evaluator.__init__({}, max_sample_size=0)
    assert vars(evaluator) == {}


@pytest.mark.parametrize(
    "provider, present, message",
    [
        (None, {}, PROVIDER_MESSAGE.format("None")),
        ("openai", {}, PROVIDER_MESSAGE.format("openai")),
        ("op\udcffenai", {}, PROVIDER_MESSAGE.format("op\udcffenai")),
        ("replicate", {}, "The following environment variables must be set for replicate: ['REPLICATE_API_TOKEN']"),
        ("aws", {"AWS_REGION_NAME": "eu"},
         "The following environment variables must be set for aws: ['AWS_SECRET_ACCESS_KEY', 'AWS_ACCESS_KEY_ID']"),
        ("orvia-sdk", {"QRM_URL": "u"},
         "The following environment variables must be set for orvia-sdk: ['QRM_APIKEY', 'QRM_PROJECT_ID']"),
    ],
)
def test_judge_risks_need_a_configured_provider(quorvane, catalogue, clean_provider_env, provider, present, message):
    catalogue(JUDGE_RISKS)
    if provider is not None:
        clean_provider_env.setenv("EVALITH_DEFAULT_PROVIDER", provider)
    for name, value in present.items():
        clean_provider_env.setenv(name, value)
    # Both an explicit judge risk and the whole catalogue select the judge.
    for risk_dimensions in (["toxicity", "jailbreaking"], None):
        with pytest.raises(ValueError) as raised:
            quorvane.Quorvane({}, risk_dimensions=risk_dimensions)
        assert str(raised.value) == message


@pytest.mark.parametrize(
    "provider, variables",
    [
        ("orvia-sdk", {"QRM_APIKEY": "", "QRM_URL": "", "QRM_PROJECT_ID": ""}),  # empty counts as set
        ("azure", {"AZURE_AI_API_BASE": "b", "AZURE_AI_API_KEY": "k"}),
        ("together-ai", {"TOGETHERAI_API_KEY": "k"}),
    ],
)
def test_judge_risks_with_complete_provider_environment(quorvane, catalogue, clean_provider_env, provider, variables):
    catalogue(JUDGE_RISKS)
    clean_provider_env.setenv("EVALITH_DEFAULT_PROVIDER", provider)
    for name, value in variables.items():
        clean_provider_env.setenv(name, value)
    evaluator = quorvane.Quorvane({})
    assert evaluator.risk_dimensions == ["toxicity", "jailbreaking"]


def test_plain_risks_read_only_the_provider_variable(quorvane, catalogue, clean_provider_env):
    catalogue(JUDGE_RISKS)
    read = []
    real_getenv = quorvane.os.getenv

    class RecordingOs:
        def __getattr__(self, name):
            return getattr(quorvane.os, name)

        def getenv(self, name, default=None):
            read.append(name)
            return real_getenv(name, default)

    clean_provider_env.setattr(quorvane, "os", RecordingOs())
    quorvane.Quorvane({}, risk_dimensions=["toxicity"])
    assert read == ["EVALITH_DEFAULT_PROVIDER"]


def test_available_risks_follow_the_catalogue(quorvane, catalogue):
    fake = catalogue({"c": ["x"], "a": [], "b": ("y", "z"), "d": {"w": 1}})
    assert quorvane.get_available_risks() == ["c", "b", "d"]
    assert fake.lookups == ["c", "a", "b", "d"]
    # Read afresh on every call.
    fake.cards_by_risk["a"] = ["now"]
    assert quorvane.get_available_risks() == ["c", "a", "b", "d"]


def test_catalogue_names_are_read_for_each_entry(quorvane, monkeypatch):
    import types

    # Nothing is looked up for an empty catalogue, as in a comprehension over it.
    monkeypatch.setattr(quorvane, "risk", types.SimpleNamespace(RISK_MORVEL_DICO={}))
    monkeypatch.setattr(quorvane, "risk_to_cards", types.SimpleNamespace())
    assert quorvane.get_available_risks() == []

    # Each entry reads the card lookup anew: a replacement made during the
    # first lookup answers for the second entry.
    cards = types.SimpleNamespace()

    def first_lookup(entry):
        cards.get_cards_for_risk = lambda entry: []
        return ["cards.a"]

    cards.get_cards_for_risk = first_lookup
    monkeypatch.setattr(quorvane, "risk", types.SimpleNamespace(RISK_MORVEL_DICO={"a": 1, "b": 2}))
    monkeypatch.setattr(quorvane, "risk_to_cards", cards)
    assert quorvane.get_available_risks() == ["a"]


def test_catalogue_errors_propagate(quorvane, monkeypatch):
    import types

    monkeypatch.setattr(quorvane, "risk", types.SimpleNamespace())
    with pytest.raises(AttributeError):
        quorvane.get_available_risks()


@pytest.mark.parametrize(
    "risks, results, missing",
    [
        (["a", "b"], {"a": {}}, ["b"]),
        (["a"], {"a": {}}, []),
        ([], {}, []),
        (["b", "a", "b"], {"a": 1}, ["b", "b"]),
        (("x", "y"), ["y"], ["x"]),
    ],
)
def test_missing_risks_are_listed_and_logged(quorvane, logger, risks, results, missing):
    assert quorvane.check_if_all_risks_are_evaluated(risks, results) == missing
    if missing:
        assert logger.records == [
            ("warning", f"The risks {missing} were not stored in Ledgora"),
            ("warning", f"These risk: {missing} will be evaluated and stored in Ledgora"),
        ]
    else:
        assert logger.records == []


def test_missing_risks_type_errors(quorvane):
    with pytest.raises(TypeError):
        quorvane.check_if_all_risks_are_evaluated(5, {})
    with pytest.raises(TypeError):
        quorvane.check_if_all_risks_are_evaluated(["a"], 5)
    assert quorvane.check_if_all_risks_are_evaluated(
        risk_evaluation_results={}, risk_dimensions=["a"]
    ) == ["a"]


def test_public_signatures_and_docs(quorvane):
    Quorvane = quorvane.Quorvane
    assert str(inspect.signature(Quorvane)) == (
        "(system_credentials, foundation_model_name=None, risk_dimensions=None, "
        "scoring_function=None, max_sample_size=None)"
    )
    assert str(inspect.signature(Quorvane.validate_params)) == (
        "(system_credentials, foundation_model_name, risk_dimensions, scoring_function, max_sample_size)"
    )
    assert isinstance(inspect.getattr_static(Quorvane, "validate_params"), staticmethod)
    assert str(inspect.signature(Quorvane.default_scoring_function)) == "(self, data)"
    assert str(inspect.signature(Quorvane._initialize_model_inference)) == (
        "(self, endpoint_url, model_id, project_id)"
    )
    assert str(inspect.signature(quorvane.check_if_all_risks_are_evaluated)) == (
        "(risk_dimensions, risk_evaluation_results)"
    )
    assert str(inspect.signature(quorvane.get_available_risks)) == "()"
    assert Quorvane.__doc__ == "Class that handle the risks evaluation of for given foundation model."
    assert Quorvane.validate_params.__doc__ == "Validate the parameters for the Quorvane class."
    assert Quorvane.__module__ == "vorn_metrics_plugin.mra.quorvane"
    assert Quorvane.__bases__ == (object,)
    for argument in ("foundation_model_name", "risk_dimensions", "scoring_function", "max_sample_size"):
        assert argument in Quorvane.__init__.__doc__


def test_subclass_can_override_validation(quorvane, catalogue, clean_provider_env):
    catalogue(PLAIN_RISKS)
    calls = []

    class Lenient(quorvane.Quorvane):
        @staticmethod
        def validate_params(*args):
            calls.append(args)

    evaluator = Lenient({}, None, ["anything"], None, None)
    assert evaluator.risk_dimensions == ["anything"]
    assert calls == [({}, None, ["anything"], None, None)]
    assert inspect.signature(Lenient) == inspect.signature(quorvane.Quorvane)

"""Campaigns of module quorvane: result shaping, the GRC client, the evaluator class."""

import types

from hypothesis import strategies as st

from tests.support.hardening import fakes, values
from tests.support.hardening.campaigns import Campaign
from tests.support.hardening.entries import Entry

from vorn_metrics_plugin.mra import quorvane

Q = quorvane.Quorvane
names = values.texts

METRIC_NAMES = ["score", "score_name", "score_ci_low", "score_ci_high", "num_of_instances",
                "accuracy", "accuracy_ci_low", "accuracy_ci_high", "all_scores", "f1_micro"]
metric_values = st.one_of(values.floats, values.integers, values.texts, st.lists(values.floats, max_size=4), values.numpy_values,
                          values.anything)
metrics = st.dictionaries(st.one_of(st.sampled_from(METRIC_NAMES), values.texts, values.integers),
                          metric_values, max_size=6)


def _is_hashable(value):
    try:
        hash(value)
    except (Exception, KeyboardInterrupt):
        return False
    return True


keys = st.one_of(names, values.integers, st.none(), values.raising_objects.filter(_is_hashable))
card_results = st.dictionaries(keys, st.one_of(metrics, metrics, values.anything), max_size=3)
results = st.one_of(st.dictionaries(keys, st.one_of(card_results, card_results, values.anything), max_size=3),
                    values.anything)
pairs = st.one_of(st.lists(st.tuples(st.one_of(st.sampled_from(METRIC_NAMES), values.anything), metric_values),
                           max_size=6),
                  metrics.map(lambda m: m.items()), values.anything)

CREDENTIAL_KEYS = ["lg_url", "lg_apikey", "lg_model_id", "lg_hxd_host", "lg_username", "lg_hxd_apikey",
                   "orvia_ai_model_id", "orvia_ai_endpoint_url", "orvia_ai_cloud_apikey",
                   "orvia_ai_project_id"]
urls = st.one_of(st.sampled_from(["http://127.0.0.1:9", "https://grc.example/", "https://x.HXD.example",
                                  "hxd", "", "http://127.0.0.1:9/hxd/"]), values.texts)
credentials = st.one_of(values.dictionaries_with(CREDENTIAL_KEYS, st.one_of(urls, values.anything)),
                        values.anything)
headers = st.one_of(st.just({"Authorization": "Bearer t", "Content-Type": "application/json"}),
                    st.dictionaries(keys, values.anything, max_size=3), values.anything)
metric_objects = st.one_of(st.dictionaries(names, st.lists(st.dictionaries(
    st.sampled_from(["id", "name", "metric_id", "value", "metric_name", "description"]), values.anything,
    max_size=4), max_size=3), max_size=3), values.anything)
payloads = st.one_of(st.dictionaries(names, values.anything, max_size=4), values.anything)
risk_names = st.one_of(st.lists(st.one_of(names, values.anything), max_size=3), values.anything)

# The network and the PDF writer, always faked.
NETWORK = {"requests": fakes.fake_requests, "http": fakes.fake_http, "ModelInference": fakes.fake_inference,
           "PdfGenerator": values.callbacks()}


def catalogue_fakes():
    entries = st.dictionaries(names, st.one_of(st.fixed_dictionaries({"tag": names}), values.anything), max_size=3)
    return {
        "risk": st.builds(lambda d: types.SimpleNamespace(RISK_MORVEL_DICO=d), st.one_of(entries, values.anything)),
        "risk_to_cards": st.builds(lambda cards, recipe: types.SimpleNamespace(get_cards_for_risk=cards,
                                                                               get_recipe_for_card=recipe),
                                   values.callbacks(st.lists(st.one_of(names, values.anything), max_size=3)),
                                   values.callbacks()),
    }


benchmark_answers = st.one_of(
    st.lists(st.fixed_dictionaries({"source": st.one_of(names, values.anything)}), max_size=3),
    values.anything)
evaluations = st.one_of(
    st.lists(st.fixed_dictionaries({"score": st.fixed_dictionaries({"global": metrics})}), max_size=2),
    values.anything)
LIBRARIES = {
    "load_dataset": values.callbacks(benchmark_answers),
    "load_dataset_with_fallback": values.callbacks(benchmark_answers),
    "evaluate": values.callbacks(evaluations),
    "extract_numeric_value": values.callbacks(),
    "get_iam_url_from_lg_url": values.callbacks(st.one_of(urls, st.none())),
    "round": values.callbacks(),
    **catalogue_fakes(),
}


def function(name, **params):
    return Entry(f"quorvane.{name}", quorvane, vars(quorvane)[name], params, fakes=NETWORK,
                 optional_fakes=LIBRARIES)


def shaping():
    entries = [
        function("normalize_metrics_values", metrics=pairs),
        function("reordered_metric_dict", scores_dict=st.one_of(metrics, values.anything)),
        function("normalize_ledgora_data", risk_evaluation_results=results),
        function("get_available_risks"),
        function("check_if_all_risks_are_evaluated", risk_dimensions=risk_names, risk_evaluation_results=results),
        function("calculate_score_with_margin", risk_evaluation_results=results),
        function("get_executive_summary", risk_evaluation_results=results),
        function("load_dataset_with_fallback", card=st.one_of(st.sampled_from(
            ["cards.vorn.factual.capitals", "cards.toxigen", "cards.nope", "../..", ""]), values.anything),
            max_sample_size=st.one_of(values.integers, values.anything)),
    ]
    return Campaign([quorvane], [Q], entries, shaping_health)


def shaping_health():
    scores = {"r": {"c": {"score_name": "accuracy", "score": 0.5, "score_ci_low": 0.25, "score_ci_high": 0.75,
                          "num_of_instances": 4, "accuracy": 0.5}}}
    return (quorvane.normalize_metrics_values([("score", 0.12345), ("x", [1, 2])]),
            quorvane.calculate_score_with_margin(scores), quorvane.get_executive_summary(
                quorvane.calculate_score_with_margin(scores)),
            quorvane.get_available_risks(), quorvane.check_if_all_risks_are_evaluated(["a", "r"], scores),
            quorvane.reordered_metric_dict({"b": 1, "score": 2, "num_of_instances": 3, "score_name": "s"}))


def grc():
    entries = [
        function("get_lg_model_id", header=headers, model_name=names, lg_url=urls),
        function("get_lg_model_metrics_definitions", header=headers, model_id=st.one_of(names, values.anything),
                 risks_name=risk_names, lg_url=urls),
        function("return_existing_metric_value", metrics_object=metric_objects, header=headers, lg_url=urls),
        function("get_metric_object_payload", primary_parent_id=st.one_of(names, values.anything),
                 metric_name=names),
        function("get_metric_value_payload", primary_parent_id=st.one_of(names, values.anything),
                 metric_name=names, metric_value=metric_values),
        function("create_metrics_object", metric_object_payload=payloads, lg_url=urls, header=headers),
        function("add_metric_value_to_metric_object", metric_value_payload=payloads, lg_url=urls, header=headers),
        function("delete_metrics_object", lg_url=urls, model_id=st.one_of(names, values.anything),
                 risk_name=risk_names, header=headers),
    ]
    return Campaign([quorvane], [Q], entries, grc_health)


def grc_health():
    return (quorvane.get_metric_object_payload("p1", "risk, card, score"),
            quorvane.get_metric_value_payload("p1", "risk, card, score", "0.5 +/-  0.1"))


def new_evaluator():
    evaluator = Q({"lg_url": "https://grc.example", "lg_model_id": "m"}, "model", ["toxic-output"],
                  lambda frame: frame, 2)
    # No report of a fuzzed call reaches the disk.
    evaluator.pdf_generator = types.SimpleNamespace(download_pdf=lambda **kwargs: kwargs.get("output_path"))
    return evaluator


def scorers():
    answers = st.one_of(
        st.builds(lambda texts: {"generated_text": _Listing(texts)}, st.lists(names, max_size=3)),
        values.anything)
    return values.callbacks(answers)


class _Listing(list):
    def tolist(self):
        return list(self)


def method(name, **params):
    function = vars(Q)[name]
    if isinstance(function, staticmethod):
        return Entry(f"quorvane.Quorvane.{name}", quorvane, function.__func__, params, fakes=NETWORK,
                     optional_fakes=LIBRARIES)
    return Entry(f"quorvane.Quorvane.{name}", quorvane, function, params, instance=new_evaluator,
                 attributes={"system_credentials": credentials, "risk_dimensions": risk_names,
                             "selected_risk_dimensions": risk_names,
                             "scoring_function": scorers(), "foundation_model_name": names,
                             "max_sample_size": values.integers,
                             "pdf_generator": st.builds(lambda f: types.SimpleNamespace(download_pdf=f),
                                                        values.callbacks())},
                 fakes=NETWORK, optional_fakes=LIBRARIES)


def evaluator():
    construction = Entry("quorvane.Quorvane", quorvane, Q,
                         dict(system_credentials=credentials, foundation_model_name=names,
                              risk_dimensions=risk_names, scoring_function=scorers(),
                              max_sample_size=values.integers),
                         fakes=NETWORK, optional_fakes=LIBRARIES)
    entries = [
        construction,
        method("__init__", system_credentials=credentials, foundation_model_name=names,
               risk_dimensions=risk_names, scoring_function=scorers(), max_sample_size=values.integers),
        method("validate_params", system_credentials=credentials, foundation_model_name=names,
               risk_dimensions=risk_names, scoring_function=scorers(), max_sample_size=values.integers),
        method("quorvanes"),
        method("risks_evaluation"),
        method("process_models_and_risks", scoring_function=scorers(), risks_dimension_name=names),
        method("get_pdf_report", score_with_margin=results, output_path=names,
               user_custom_percentile_thresholds=st.one_of(st.tuples(values.floats, values.floats),
                                                           values.anything)),
        method("_build_report_details"),
        method("default_scoring_function", data=values.frames),
        method("_initialize_model_inference", endpoint_url=urls, model_id=names, project_id=names),
        method("connect_to_ledgora"),
        method("publish_metrics_to_ledgora", metric_name=names, metric_value=metric_values, header=headers,
               model_id=names, lg_url=urls),
        method("get_ledgora_metric_link", model_id=names),
    ]
    return Campaign([quorvane], [Q], entries, evaluator_health)


def evaluator_health():
    evaluator = new_evaluator()
    return (sorted(vars(evaluator)) , evaluator.risk_dimensions, evaluator.get_ledgora_metric_link("m-1"))

"""Helpers of the GRC client tests: evaluators and logged-in sessions against the
Ledgora emulator, stored metrics, and the statements the client sent."""

import http.client
import types

import requests

MODEL = "demo-model"

# The statements the client sends, as the service receives them.
MODEL_ID_QUERY = {
    "hxd": "SELECT [Model].[Resource ID] FROM [Model] WHERE [Model].[Name] IN ('{0}')",
    "cloud": "SELECT [Resource ID] FROM [Model] WHERE [Name] IN ('{0}')",
}
METRIC_OBJECTS_QUERY = {
    "hxd": "SELECT [Metric].[Resource ID], [Metric].[Name] FROM [Model] JOIN [Metric] ON PARENT([Model]) "
    "WHERE [Model].[Resource ID]='{0}' AND [Metric].[Description] LIKE '%{1}%'",
    "cloud": "SELECT [Metric].[Resource ID], [Metric].[Name], [Metric].[Description] FROM [Model] "
    "JOIN [Metric] ON PARENT([Model]) WHERE [Model].[Resource ID]='{0}' AND "
    "[Metric].[Description] LIKE '%{1}%'",
}
METRIC_VALUES_QUERY = (
    "SELECT [MetricValue].[*]  FROM [Metric] JOIN [MetricValue] ON PARENT([Metric]) "
    "WHERE [Metric].[Resource ID]='{0}'"
)


def bare_evaluator(quorvane, credentials, risk_dimensions=("fairness",)):
    """A Quorvane with only what the GRC methods read (construction is tested elsewhere)."""
    evaluator = quorvane.Quorvane.__new__(quorvane.Quorvane)
    evaluator.system_credentials = credentials
    evaluator.risk_dimensions = list(risk_dimensions)
    return evaluator


class Session:
    """A model record in the emulator and an evaluator logged in to it."""

    def __init__(self, quorvane, ledgora, mode, risks=("fairness",), model=MODEL):
        self.quorvane, self.ledgora, self.mode = quorvane, ledgora, mode
        self.model_id = ledgora.add_model(model)
        self.credentials = ledgora.credentials(model, mode)
        self.url = self.credentials["lg_url"]
        self.evaluator = bare_evaluator(quorvane, self.credentials, risks)
        self.header = self.evaluator.connect_to_ledgora()
        ledgora.clear_calls()

    def store_metric(self, metric_name, value, model_id=None):
        return store_metric(self.ledgora, model_id or self.model_id, metric_name, value)

    def metric_ids(self):
        return [record.id for record in self.ledgora.records("Metric")]


def store_metric(ledgora, model_id, metric_name, value):
    """A metric object with one value, written straight into the emulator's store."""
    description = "MRA score for '" + metric_name + "'"
    metric_id = ledgora.store.create("Metric", metric_name, description, model_id, [])
    ledgora.store.create("MetricValue", None, description, metric_id,
                         [{"name": "ZKR-MetricVal:Value", "dataType": "FLOAT_TYPE", "value": value}])
    return metric_id


def statements(ledgora):
    """The query statements received, in order, from either query endpoint."""
    sent = []
    for call in ledgora.calls_to("query"):
        sent.append(call.args["q"] if call.method == "GET" else call.json["statement"])
    return sent


def recording(function, log):
    """`function` itself, with each call's positional and keyword arguments logged."""

    def record(*args, **kwargs):
        log.append((function.__name__, args, kwargs))
        return function(*args, **kwargs)

    return record


def spy_on_network(quorvane, monkeypatch):
    """Let the client's `requests` and `http` reach the emulator as usual while
    every call and its arguments are logged."""
    log = []
    monkeypatch.setattr(quorvane, "requests", types.SimpleNamespace(
        get=recording(requests.get, log), post=recording(requests.post, log),
        delete=recording(requests.delete, log), exceptions=requests.exceptions))

    class HTTPSConnection(http.client.HTTPSConnection):
        def __init__(self, *args, **kwargs):
            log.append(("HTTPSConnection", args, kwargs))
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(quorvane, "http", types.SimpleNamespace(
        client=types.SimpleNamespace(HTTPSConnection=HTTPSConnection)))
    return log

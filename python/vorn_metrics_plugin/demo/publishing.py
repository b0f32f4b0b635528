"""Publishes an evaluation to a local GRC service emulator and reads it back.

The first run against the emulator evaluates every risk and publishes each
value (one metric object and one metric value per metric); the second run
finds them all stored, evaluates nothing and returns what it read back.
"""

from __future__ import annotations

from vorn_metrics_plugin.common.utils.environment import environment_set
from vorn_metrics_plugin.ledgora_emulator import LedgoraEmulator

MODEL_RECORD = "demo-model"


def main(credentials: dict, scoring_function, risks: list[str]) -> dict:
    from vorn_metrics_plugin.mra.quorvane import Quorvane

    print("\nPublishing to a local GRC service emulator")
    with LedgoraEmulator() as ledgora, environment_set(ledgora.environment()):
        model_id = ledgora.add_model(MODEL_RECORD)
        grc_credentials = {**credentials, **ledgora.credentials(MODEL_RECORD)}

        def run():
            evaluator = Quorvane(grc_credentials, risk_dimensions=list(risks),
                                 scoring_function=scoring_function)
            return evaluator, evaluator.quorvanes()

        print("First run: evaluates and publishes")
        evaluator, published = run()
        values = ledgora.records("MetricValue")
        print(f"  stored {len(values)} metric values under the model record '{MODEL_RECORD}'")
        print("Second run: reads back, evaluates nothing")
        _, read_back = run()
        first_risk = next(iter(read_back))
        first_card = next(iter(read_back[first_risk]))
        print(f"  {first_risk}, {first_card}: score {read_back[first_risk][first_card]['score']}")
        print(f"  task view of the published metrics: {evaluator.get_ledgora_metric_link(model_id)}")
    return read_back

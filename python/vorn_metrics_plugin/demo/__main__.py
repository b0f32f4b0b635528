"""Entry point of ``python -m vorn_metrics_plugin.demo [output folder]``."""

import sys
from pathlib import Path

from vorn_metrics_plugin.demo import image_explanation, risk_evaluation
from vorn_metrics_plugin.mra.risk_eval import output


def main() -> None:
    output_dir = Path(sys.argv[1]) if len(sys.argv) > 1 else Path("demo-output")
    try:
        risk_evaluation.main(output_dir)
        image_explanation.main(output_dir)
        sys.stdout.flush()  # here rather than at exit, where a closed pipe could only be reported
    except BrokenPipeError:
        # The reader went away (`| head`): end quietly, as vorn-risk-eval does.
        sys.exit(output.closed_pipe_status())


if __name__ == "__main__":
    main()

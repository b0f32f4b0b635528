"""Entry point of ``python -m vorn_metrics_plugin.demo [output folder]``."""

import sys
from pathlib import Path

from vorn_metrics_plugin.demo import image_explanation, risk_evaluation


def main() -> None:
    output_dir = Path(sys.argv[1]) if len(sys.argv) > 1 else Path("demo-output")
    risk_evaluation.main(output_dir)
    image_explanation.main(output_dir)


if __name__ == "__main__":
    main()

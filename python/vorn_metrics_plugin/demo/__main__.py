"""Entry point of ``python -m vorn_metrics_plugin.demo``."""

from vorn_metrics_plugin.demo import risk_catalogue


def main() -> None:
    risk_catalogue.main()


if __name__ == "__main__":
    main()

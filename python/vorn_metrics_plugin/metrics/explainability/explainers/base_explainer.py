"""Base class of the explainers."""

from __future__ import annotations

from typing import Any

__all__ = ["BaseExplainer"]


class BaseExplainer:
    """Common ground of the explainers: they keep their configuration as ``self.config``.

    A concrete explainer answers ``is_supported()`` for its configuration, reads
    its parameters in ``initialize()`` and computes explanations in
    ``explain_data(data, scoring_fn)``; the caller calls them in that order.
    """

    def __init__(self, explain_config: Any) -> None:
        self.config = explain_config

    def is_supported(self) -> bool:
        """Return whether this explainer can explain data of the configured kind."""
        raise NotImplementedError(
            "{0} does not implement is_supported".format(type(self).__name__)
        )

    def initialize(self) -> None:
        """Read and validate the explainer's parameters from the configuration."""
        raise NotImplementedError(
            "{0} does not implement initialize".format(type(self).__name__)
        )

    def explain_data(self, data: Any, scoring_fn: Any) -> dict[str, Any]:
        """Explain every row of ``data``, calling ``scoring_fn`` to score perturbed inputs."""
        raise NotImplementedError(
            "{0} does not implement explain_data".format(type(self).__name__)
        )

"""Configuration handed to the explainers."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from enum import Enum
from typing import Any

from vorn_metrics_plugin.common.utils.constants import (
    ExplainabilityMetricType,
    InputDataType,
    ProblemType,
)

__all__ = ["ExplainConfig"]


def _to_member(enum_cls: type[Enum], value: Any, what: str) -> Enum:
    """Return the member of ``enum_cls`` given as a member, a value or a member name.

    Names are matched case-insensitively (``"IMAGE"`` and ``"image"`` alike), so
    the explainers' identity tests (``config.input_data_type is
    InputDataType.IMAGE``) hold whichever form the caller used.
    """
    if isinstance(value, enum_cls):
        return value
    try:
        return enum_cls(value)
    except (ValueError, TypeError):
        pass
    if isinstance(value, str):
        member = enum_cls.__members__.get(value.upper())
        if member is not None:
            return member
    raise ValueError(
        "The {0} value '{1}' is invalid. Valid values are {2}".format(
            what, value, [m.value for m in enum_cls]
        )
    )


def _names(value: Any, what: str) -> list[str]:
    """Return a new list of column names; ``None`` gives an empty list, one text a one-item list."""
    if value is None:
        return []
    if isinstance(value, str):
        return [value]
    if not isinstance(value, Iterable) or isinstance(value, Mapping):
        raise ValueError("{0} must be a list of column names, got {1!r}".format(what, value))
    names = list(value)
    for name in names:
        if not isinstance(name, str):
            raise ValueError("{0} must hold column names as text, got {1!r}".format(what, name))
    return names


def _column(value: Any, what: str) -> str | None:
    if value is None or isinstance(value, str):
        return value
    raise ValueError("{0} must be a column name or None, got {1!r}".format(what, value))


class ExplainConfig:
    """What an explainer needs to know about the model and the data it explains.

    Attributes (plain attributes, free to change after construction):

    - ``input_data_type``: an ``InputDataType`` member (default ``STRUCTURED``).
    - ``problem_type``: a ``ProblemType`` member, or ``None`` when unknown.
    - ``features``: list of the feature column names; explainers that take a
      single column (the image explainer) check the count themselves.
    - ``prediction_column`` / ``probability_column``: names of the columns with
      the model's predicted label and its list of class probabilities, or ``None``.
    - ``meta_fields``: list of metadata column names handed to the scoring function.
    - ``metric_types``: list of ``ExplainabilityMetricType`` members to compute
      (default ``[LIME]``).
    - ``parameters``: dict of per-method parameters keyed by the method's value,
      for example ``{"lime": {"features_count": 5}}``.

    Enumerations are accepted as members, values or member names and stored as
    members; column lists are copied, so later changes to the caller's lists do
    not reach the configuration.
    """

    def __init__(
        self,
        input_data_type: InputDataType | str = InputDataType.STRUCTURED,
        problem_type: ProblemType | str | None = None,
        features: Iterable[str] | str | None = None,
        prediction_column: str | None = None,
        probability_column: str | None = None,
        meta_fields: Iterable[str] | str | None = None,
        metric_types: Iterable[ExplainabilityMetricType | str] | ExplainabilityMetricType | str | None = None,
        parameters: Mapping[str, Any] | None = None,
    ) -> None:
        self.input_data_type = _to_member(InputDataType, input_data_type, "input data type")
        self.problem_type = (
            None if problem_type is None else _to_member(ProblemType, problem_type, "problem type")
        )
        self.features = _names(features, "features")
        self.prediction_column = _column(prediction_column, "prediction_column")
        self.probability_column = _column(probability_column, "probability_column")
        self.meta_fields = _names(meta_fields, "meta_fields")

        if metric_types is None:
            metric_types = [ExplainabilityMetricType.LIME]
        elif isinstance(metric_types, str):
            metric_types = [metric_types]
        elif not isinstance(metric_types, Iterable) or isinstance(metric_types, Mapping):
            raise ValueError("metric_types must be a list of metric types, got {0!r}".format(metric_types))
        self.metric_types = [
            _to_member(ExplainabilityMetricType, m, "metric type") for m in metric_types
        ]

        if parameters is None:
            parameters = {}
        if not isinstance(parameters, Mapping):
            raise ValueError("parameters must be a mapping, got {0!r}".format(parameters))
        self.parameters = dict(parameters)

    def __repr__(self) -> str:
        fields = ", ".join(
            "{0}={1!r}".format(name, getattr(self, name))
            for name in (
                "input_data_type",
                "problem_type",
                "features",
                "prediction_column",
                "probability_column",
                "meta_fields",
                "metric_types",
                "parameters",
            )
        )
        return "ExplainConfig({0})".format(fields)

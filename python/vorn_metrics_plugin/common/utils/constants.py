"""Enumerations shared by the metrics of the package.

The members are string enumerations: ``str(member)`` and ``format(member)`` give
the value, a member compares equal to its value, and ``Enum(value)`` returns the
member itself, so configurations read from JSON can be turned into members
without losing identity (``InputDataType("image") is InputDataType.IMAGE``).
"""

from enum import StrEnum

__all__ = ["ExplainabilityMetricType", "InputDataType", "ProblemType"]


class ExplainabilityMetricType(StrEnum):
    """Kinds of explanation an explainer can compute."""

    LIME = "lime"
    SHAP = "shap"
    PROTODASH = "protodash"
    CONTRASTIVE = "contrastive"


class InputDataType(StrEnum):
    """Kind of data the model consumes."""

    STRUCTURED = "structured"
    TEXT = "text"
    IMAGE = "image"


class ProblemType(StrEnum):
    """Kind of prediction the model makes."""

    BINARY = "binary"
    MULTICLASS = "multiclass"
    REGRESSION = "regression"

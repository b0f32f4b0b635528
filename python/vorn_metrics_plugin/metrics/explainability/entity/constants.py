"""Constants and enumerations of the explainability entities.

The enumerations are looked up by value (``LimeFeatureSelection("auto")``) and
iterated in definition order; explainers list ``[m.value for m in Enum]`` in
their validation messages, so the order below is part of the interface.
"""

from enum import StrEnum

__all__ = [
    "FEATURES_COUNT",
    "ImageHeuristic",
    "ImageSegmentAlgo",
    "LimeFeatureSelection",
]

#: Default number of features an explanation reports.
FEATURES_COUNT = 10


class ImageHeuristic(StrEnum):
    """How image segments are picked for the outcome pictures."""

    DEFAULT = "default"
    TOP_5_POSITIVE_TOP_5_NEGATIVE = "top_5_positive_top_5_negative"
    TOP_5_POSITIVE_TOP_5_NEGATIVE_THRESHOLD = "top_5_positive_top_5_negative_threshold"


class ImageSegmentAlgo(StrEnum):
    """Superpixel algorithms; the values are the names the segmentation wrapper accepts."""

    QUICKSHIFT = "quickshift"
    SLIC = "slic"
    FELZENSZWALB = "felzenszwalb"


class LimeFeatureSelection(StrEnum):
    """Feature selection methods of the local linear model; values are passed on as is."""

    AUTO = "auto"
    FORWARD_SELECTION = "forward_selection"
    HIGHEST_WEIGHTS = "highest_weights"
    LASSO_PATH = "lasso_path"
    NONE = "none"

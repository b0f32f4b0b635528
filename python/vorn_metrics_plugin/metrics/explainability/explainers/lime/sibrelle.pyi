from typing import Any, Callable, Optional

import numpy as np
import pandas as pd
from lime import lime_image

from vorn_metrics_plugin.common.utils.metrics_logger import MetricLogger
from vorn_metrics_plugin.metrics.explainability.entity.constants import (
    FEATURES_COUNT as FEATURES_COUNT,
    ImageHeuristic,
    ImageSegmentAlgo,
    LimeFeatureSelection,
)
from vorn_metrics_plugin.metrics.explainability.entity.explain_config import ExplainConfig
from vorn_metrics_plugin.metrics.explainability.explainers.base_explainer import BaseExplainer

logger: MetricLogger

# scoring_fn(images) or scoring_fn(images, meta_values) -> (probabilities, predictions)
_ScoringFunction = Callable[..., tuple[Any, Any]]

class Sibrelle(BaseExplainer):
    """Class to compute lime explanation for structured data."""

    config: ExplainConfig
    is3d: bool
    possible_predictions: Optional[list[Any]]
    label_map: Optional[dict[Any, int]]
    feature: str
    return_raw_explanation: Any
    scoring_fn: _ScoringFunction
    meta_values: Optional[pd.DataFrame]
    input_image_array: np.ndarray
    feature_matrix: np.ndarray
    label: str
    total_features: list[tuple[str, float]]
    feature_weights: list[tuple[int, float]]

    def __init__(self, explain_config: ExplainConfig) -> None: ...
    def is_supported(self) -> bool: ...
    def initialize(self) -> None: ...
    @property
    def features_count(self) -> int: ...
    @features_count.setter
    def features_count(self, value: Any) -> None: ...
    @property
    def perturbations_count(self) -> int: ...
    @perturbations_count.setter
    def perturbations_count(self, value: Any) -> None: ...
    @property
    def scoring_batch_size(self) -> int: ...
    @scoring_batch_size.setter
    def scoring_batch_size(self, value: Any) -> None: ...
    @property
    def feature_selection(self) -> LimeFeatureSelection: ...
    @feature_selection.setter
    def feature_selection(self, value: Any) -> None: ...
    @property
    def image_segment_algo(self) -> Optional[ImageSegmentAlgo]: ...
    @image_segment_algo.setter
    def image_segment_algo(self, value: Any) -> None: ...
    def explain_data(self, data: pd.DataFrame, scoring_fn: _ScoringFunction) -> dict[str, list[Any]]: ...
    def __prepare_data(self, data: pd.DataFrame) -> pd.DataFrame: ...
    def __explain_row(self, data_row: dict[str, Any]) -> dict[str, Any]: ...
    def __get_meta_values(self, data_row: dict[str, Any]) -> Optional[pd.DataFrame]: ...
    def __get_input_image(self, test_instance: Any) -> np.ndarray: ...
    def __decode_image_array(self, encoded_image: bytes) -> np.ndarray: ...
    def is_valid_scoring_input(self, test_data_point: np.ndarray) -> bool: ...
    def __scoring_fn(self, data: np.ndarray) -> np.ndarray: ...
    def __set_label_map(self, predictions: Any, probabilities: Any) -> None: ...
    def __get_labels(self, data_row: dict[str, Any]) -> list[int]: ...
    def __get_label(self, data_row: dict[str, Any], explanation: Any) -> Any: ...
    def __get_others_label(self, prediction: Any) -> Any: ...
    def __get_segmentation_fn(self, image: np.ndarray) -> Callable[[np.ndarray], np.ndarray]: ...
    def __get_raw_explanation(self, data_row: dict[str, Any], explanation: Any) -> dict[str, Any]: ...
    def convert_raw_explanation(
        self, raw_explanation: dict[str, Any]
    ) -> tuple[list[dict[str, Any]], Optional[list[dict[str, Any]]]]: ...
    def _split_features(
        self, heuristic: ImageHeuristic = ..., min_weight: float = 0.0
    ) -> tuple[list[tuple[int, float]], list[tuple[int, float]]]: ...
    def _get_outcome_image(self, features: list[tuple[int, float]] = ...) -> str: ...
    def _convert_to_base64(self, image_array: np.ndarray) -> str: ...

class NativeLimeImageExplainer(lime_image.LimeImageExplainer):
    """LIME's image explainer, with the perturbed images of data_labels built in C++."""

    def data_labels(
        self,
        image: np.ndarray,
        fudged_image: np.ndarray,
        segments: np.ndarray,
        classifier_fn: Callable[[np.ndarray], Any],
        num_samples: int,
        batch_size: int = 10,
    ) -> tuple[np.ndarray, np.ndarray]: ...

# scikit-image's quickshift (same signature, same segment map), loops in C++.
# Returns the label mask; with return_tree=True, scikit-image's own (mask, tree, distances).
def quickshift(
    image: Any,
    ratio: float = 1.0,
    kernel_size: float = 5,
    max_dist: float = 10,
    return_tree: bool = False,
    sigma: float = 0,
    convert2lab: bool = True,
    rng: Any = 42,
    *,
    channel_axis: int = -1,
) -> Any: ...

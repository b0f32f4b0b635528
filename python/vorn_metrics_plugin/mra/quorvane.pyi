from typing import Any, Callable, Optional

import pandas as pd

class Quorvane:
    """Class that handle the risks evaluation of for given foundation model."""

    system_credentials: dict
    risk_dimensions: list[str]
    scoring_function: Callable[[pd.DataFrame], pd.DataFrame]
    foundation_model_name: Optional[str]
    pdf_generator: Any
    max_sample_size: Optional[int]

    def __init__(
        self,
        system_credentials: dict,
        foundation_model_name: Optional[str] = None,
        risk_dimensions: Optional[list[str]] = None,
        scoring_function: Optional[Callable[[pd.DataFrame], pd.DataFrame]] = None,
        max_sample_size: Optional[int] = None,
    ) -> None: ...
    @staticmethod
    def validate_params(
        system_credentials: Any,
        foundation_model_name: Any,
        risk_dimensions: Any,
        scoring_function: Any,
        max_sample_size: Any,
    ) -> None: ...
    def get_pdf_report(
        self,
        score_with_margin: dict,
        output_path: str,
        user_custom_percentile_thresholds: tuple[float, float],
    ) -> str: ...
    def _build_report_details(self) -> dict[str, Any]: ...
    def default_scoring_function(self, data: pd.DataFrame) -> pd.DataFrame: ...
    def _initialize_model_inference(self, endpoint_url: str, model_id: str, project_id: Optional[str]) -> Any: ...

def get_available_risks() -> list[str]: ...
def check_if_all_risks_are_evaluated(risk_dimensions: Any, risk_evaluation_results: Any) -> list[str]: ...
def get_executive_summary(risk_evaluation_results: dict) -> dict[str, dict[str, dict[str, Any]]]: ...

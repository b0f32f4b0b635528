from typing import Any, Optional, Union

from vorn_metrics_plugin.common.utils.metrics_logger import MetricLogger

# Fallback logger of the retry warnings, when the provider has none of its own.
logger: MetricLogger

_Prompts = Union[str, list[str]]

class Dravenor:
    rate_limit: Any
    project_id: Any
    generate_params: dict
    credentials: Any
    model_name: Optional[str]
    model: Any
    paraphrase_model: Any

    def __init__(
        self,
        project_id: Any,
        credentials: Any,
        rate_limit: int = 8,
        generate_params: dict = {},
        model_name: Optional[str] = None,
    ) -> None: ...
    def __validate(self) -> None: ...
    def __get_model_object(self, model_name: Optional[str] = None, generate_params: dict = {}) -> Any: ...
    def __get_paraphrasing_model(self) -> Any: ...
    def get_paraphrasing_responses(self, prompt: _Prompts) -> Any: ...
    def get_model_responses(self, prompts: _Prompts) -> Any: ...
    def get_judge_model_responses(
        self, prompts: _Prompts, judge_model_name: Optional[str], judge_model_params: dict = {}
    ) -> Any: ...

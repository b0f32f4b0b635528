from typing import Any, Optional, Union

Prompts = Union[str, list[str]]

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
    def get_paraphrasing_responses(self, prompt: Prompts) -> Any: ...
    def get_model_responses(self, prompts: Prompts) -> Any: ...
    def get_judge_model_responses(
        self, prompts: Prompts, judge_model_name: Optional[str], judge_model_params: dict = {}
    ) -> Any: ...

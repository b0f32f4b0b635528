"""Constants of the LLM metrics."""

__all__ = ["ParaphrasingModel"]


class ParaphrasingModel:
    """Model ids of the foundation models used to paraphrase prompts."""

    META_LLAMA_3_3_70B_INSTRUCT = "meta-llama/llama-3-3-70b-instruct"

"""Names of the generation parameters accepted by ``ModelInference``.

The values are the keys of the ``params`` dict given to the client, for
example ``{GenTextParamsMetaNames.DECODING_METHOD: DecodingMethods.GREEDY,
GenTextParamsMetaNames.MAX_NEW_TOKENS: 200}``.
"""

from __future__ import annotations

__all__ = ["GenTextParamsMetaNames", "DecodingMethods"]


class GenTextParamsMetaNames:
    DECODING_METHOD = "decoding_method"
    MAX_NEW_TOKENS = "max_new_tokens"
    MIN_NEW_TOKENS = "min_new_tokens"
    TEMPERATURE = "temperature"
    TOP_P = "top_p"
    TOP_K = "top_k"
    STOP_SEQUENCES = "stop_sequences"
    RANDOM_SEED = "random_seed"
    REPETITION_PENALTY = "repetition_penalty"

    @classmethod
    def names(cls) -> list[str]:
        """All parameter names, in declaration order."""
        return [value for key, value in vars(cls).items() if key.isupper()]


class DecodingMethods:
    GREEDY = "greedy"
    SAMPLE = "sample"

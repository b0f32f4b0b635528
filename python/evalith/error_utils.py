"""Errors raised by the benchmark library."""


class EvalithError(Exception):
    """Raised when a card, a recipe or the data handed to ``evaluate`` is unusable."""

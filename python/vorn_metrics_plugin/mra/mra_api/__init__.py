"""Risk catalogue: the risks a foundation model is evaluated on and their benchmark cards."""

from . import risk, risk_to_cards

__all__ = ["risk", "risk_to_cards"]

"""Small benchmark library: bundled cards, per-instance metrics and global scores
with bootstrap confidence intervals."""

from .error_utils import EvalithError
from .evaluation import evaluate
from .loading import list_cards, load_dataset

__all__ = ["EvalithError", "evaluate", "list_cards", "load_dataset"]

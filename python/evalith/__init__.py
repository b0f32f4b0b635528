"""Small benchmark library: cards (bundled, or added from catalogue folders), per-instance
metrics and global scores with bootstrap confidence intervals."""

from .error_utils import CardFileError, EvalithError
from .evaluation import evaluate
from .loading import list_cards, load_dataset

__all__ = ["CardFileError", "EvalithError", "evaluate", "list_cards", "load_dataset"]

"""Errors raised by the benchmark library."""


class EvalithError(Exception):
    """Raised when a card, a recipe or the data handed to ``evaluate`` is unusable."""


class CardFileError(EvalithError):
    """A problem of one file of a catalogue (a card or one of its data files).

    ``str()`` gives ``"<path>: <problem>"``, the form in which catalogue checks
    report problems; ``path`` and ``problem`` keep the two parts.
    """

    def __init__(self, path: str, problem: str) -> None:
        super().__init__(f"{path}: {problem}")
        self.path = path
        self.problem = problem

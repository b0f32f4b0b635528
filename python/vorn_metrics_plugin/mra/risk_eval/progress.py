"""A progress bar over the cards of an evaluation run, and the run's messages.

The bar counts the calls of the scoring function (one per card) against the
number of cards the run will answer. The evaluator's progress lines
("Processing <risk>") go to standard error, above the bar, and name the risk
on it; the evaluator's warnings and errors are kept for the summary at the
end, the one place they are printed. Both go through the evaluator module's
own ``print`` and ``logger`` globals, which are put back afterwards.
"""

from __future__ import annotations

import contextlib
import sys
from typing import Any, Callable

from tqdm import tqdm

from vorn_metrics_plugin.common.utils.substitution import substituted


class _RecordingLogger:
    """Keeps the warnings and errors for the run's summary; every other call goes to the module's logger."""

    def __init__(self, inner: Any, kept: list[str]) -> None:
        self._inner, self._kept = inner, kept

    def log_warning(self, message):
        self._kept.append(str(message))

    def log_error(self, message):
        self._kept.append(str(message))

    def __getattr__(self, name):
        return getattr(self._inner, name)


class CardProgress:
    """``with CardProgress(module, scoring_function, total) as progress:`` around a run."""

    def __init__(self, module: Any, scoring_function: Callable, total: int, enabled: bool = True) -> None:
        self.module = module
        self._scoring_function = scoring_function
        self.warnings: list[str] = []
        self.first_error: BaseException | None = None
        self.calls = 0
        self._total, self._enabled = total, enabled
        self._bar: tqdm | None = None
        self._globals = contextlib.ExitStack()

    def scoring_function(self, data):
        """The wrapped scoring function: one step of the bar per call, whatever its outcome."""
        try:
            return self._scoring_function(data)
        except Exception as error:
            if self.first_error is None:
                self.first_error = error
            raise
        finally:
            self.calls += 1
            self._bar.update(1)

    def _print(self, *values, sep=" ", end="\n", file=None, flush=False):
        text = sep.join(str(value) for value in values)
        if text.startswith("Processing "):
            self._bar.set_postfix_str(text[len("Processing "):], refresh=False)
        self._bar.write(text, file=file or sys.stderr, end=end)

    def __enter__(self) -> "CardProgress":
        self._bar = tqdm(total=self._total, unit="card", desc="cards", file=sys.stderr, disable=not self._enabled,
                         dynamic_ncols=True, leave=True)
        self._globals.enter_context(substituted(
            self.module, print=self._print, logger=_RecordingLogger(self.module.logger, self.warnings)))
        return self

    def __exit__(self, error_type, error, trace) -> None:
        if error_type is not None:
            self._bar.leave = False  # the error message says it all; no half-full bar above it
        self._bar.close()
        self._globals.close()

"""Sending work to the workers and collecting what comes back."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import cloudpickle
from dask.distributed import Client, Future, as_completed
from tqdm.auto import tqdm


def callable_name(function: Any) -> str:
    """How an error message names the caller's function."""
    name = getattr(function, "__qualname__", None) or getattr(function, "__name__", None)
    if not isinstance(name, str):
        return repr(function)
    module = getattr(function, "__module__", None)
    return f"{module}.{name}" if isinstance(module, str) else name


def ensure_sendable(value: Any, description: str) -> None:
    """Raise a TypeError naming ``description`` when ``value`` cannot travel to a worker.

    Dask sends functions and data with cloudpickle (lambdas and closures by
    value); checking here, before anything is submitted, turns a failure deep
    in the scheduler's serialisation into an error that says what to fix.
    """
    try:
        cloudpickle.dumps(value)
    except Exception as error:
        raise TypeError(
            f"{description} cannot be sent to the Dask workers: it does not pickle "
            f"({type(error).__name__}: {error}). Keep open files, locks, connections and "
            "other process-bound objects out of it, or create them inside it."
        ) from error


def shared_value(client: Client, value: Any) -> Future:
    """A future of ``value`` for many tasks, which the cluster can make again.

    Scattered data lives only in the workers that hold it: when the last of
    them dies, it is gone for good and every task that needs it fails
    ("already forgotten"), and extra copies spread with ``broadcast`` do not
    help, since Dask's memory manager drops them. A task that returns the
    value keeps the value in its own description on the scheduler, so Dask
    computes it again after a worker's death, as any lost result; it still
    travels once, however many tasks use it.
    """
    return client.submit(_same, value, pure=False)


def _same(value: Any) -> Any:
    return value


def completed(client: Client, futures: list[Future], description: str) -> Iterator[tuple[int, Any]]:
    """Yield (position in ``futures``, result) for each task as it finishes.

    Takes the futures over (pass a list nobody else keeps) so that each
    task's result is released on the cluster once it has been yielded. A
    progress bar counts the finished tasks. The first failing task's error is
    raised as the worker raised it; the tasks still pending are then
    cancelled, as they are when the caller stops early.
    """
    pending = {future.key: (index, future) for index, future in enumerate(futures)}
    tasks = as_completed(futures, loop=client.loop)
    futures.clear()
    try:
        with tqdm(total=len(pending), desc=description, unit="task") as bar:
            for future in tasks:
                result = future.result()
                index, _ = pending.pop(future.key)
                bar.update()
                yield index, result
    finally:
        if pending:
            client.cancel([future for _, future in pending.values()])

"""The Dask client a distributed call runs on."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator

from dask.distributed import Client, LocalCluster, get_client
from dask.system import CPU_COUNT


@contextlib.contextmanager
def client_for(client: Client | None) -> Iterator[Client]:
    """The caller's client; else the current one; else a local cluster for the duration."""
    if client is not None:
        yield client
        return
    try:
        current = get_client()
    except ValueError:  # no client anywhere
        current = None
    if current is not None:
        yield current
        return
    with local_client() as own:
        yield own


@contextlib.contextmanager
def local_client() -> Iterator[Client]:
    """A cluster of worker processes on this machine, closed on the way out.

    One single-threaded process per core: the explainer's and the evaluator's
    work is Python and numpy under the GIL, so more threads in one process
    would wait on each other instead of running side by side. The web
    server (and dashboard, when bokeh is installed) takes a free port.
    """
    with LocalCluster(
        n_workers=CPU_COUNT, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as cluster, Client(cluster, set_as_default=False) as client:
        yield client

"""The Dask client a distributed call runs on."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator

import dask
from dask.distributed import Client, LocalCluster, get_client
from dask.system import CPU_COUNT

from vorn_metrics_plugin.common.utils.environment import restored_environment

_SPAWN_ENVIRONMENT = "distributed.nanny.pre-spawn-environ"
# What the local cluster changes in its workers' environment (None: unset).
_WORKER_ENVIRONMENT = {
    # Dask sets glibc's trim threshold in its workers, which also stops
    # glibc from raising its mmap threshold: every image-sized temporary of
    # LIME then costs an mmap and a munmap, about a fifth of a row's time.
    # This cluster lives for one call, so the memory trimming would give
    # back matters less.
    "MALLOC_TRIM_THRESHOLD_": None,
    # One worker process per core: the explainer's segmentation threads
    # would only compete with the other workers for the cores.
    "VORN_SIBRELLE_THREADS": "1",
}


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
def local_client(n_workers: int = CPU_COUNT) -> Iterator[Client]:
    """A cluster of single-threaded worker processes on this machine, closed on the way out.

    One process per core by default: the explainer's and the evaluator's work
    is Python and numpy under the GIL, so more threads in one process would
    wait on each other instead of running side by side. The web server (and
    dashboard, when bokeh is installed) takes a free port.
    """
    with _environment_given_back(_WORKER_ENVIRONMENT):
        with dask.config.set({f"{_SPAWN_ENVIRONMENT}.{name}": value
                              for name, value in _WORKER_ENVIRONMENT.items()}):
            cluster = LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True,
                                   dashboard_address=":0")
        with cluster, Client(cluster, set_as_default=False) as client:
            yield client


@contextlib.contextmanager
def _environment_given_back(settings: dict) -> Iterator[None]:
    """Restore the variables that Dask's nanny puts into this process's environment.

    The nanny sets them here before spawning a worker (so that the worker
    starts with them) and leaves them set; without this, a caller's later
    subprocesses would run with one BLAS thread and a fixed hash seed.
    """
    names = set(dask.config.get(_SPAWN_ENVIRONMENT)) | set(settings) | {"PYTHONHASHSEED"}
    with restored_environment(names):
        yield

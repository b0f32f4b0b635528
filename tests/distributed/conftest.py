"""A small real Dask cluster (two single-threaded worker processes) per test module."""

import pytest


@pytest.fixture(scope="module")
def dask_client():
    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster:
        # Not the default client: tests choose when a client is current.
        with Client(cluster, set_as_default=False) as client:
            yield client


class UnusableClient:
    """A client that fails the test when anything is sent to it."""

    def __getattr__(self, name):
        raise AssertionError(f"client.{name} was used before the arguments were checked")


@pytest.fixture
def unusable_client():
    return UnusableClient()

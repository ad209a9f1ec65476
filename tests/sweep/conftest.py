"""Fixtures of the sweep tests: the sample fund data and a local Dask cluster
of two worker processes on 127.0.0.1, both shared by the whole session."""
import logging

import pytest
from click.testing import CliRunner

from vexdatac.cli import main as vexdatac_cli


def _cli(*args):
    result = CliRunner().invoke(vexdatac_cli, [str(a) for a in args], catch_exceptions=False)
    assert result.exit_code == 0, result.output
    return result


@pytest.fixture(scope="session")
def sample_data(tmp_path_factory):
    """(database path, bundle directory) of the sample data."""
    root = tmp_path_factory.mktemp("sweep_sample")
    db = root / "funds.sqlite"
    bundle = root / "bundle"
    _cli("sample", "--db", db)
    _cli("export-calendar", bundle, "--db", db)
    return db, bundle


@pytest.fixture(scope="session")
def cluster():
    """The address of a local cluster: two single-threaded worker processes, lost tasks retried once."""
    import dask
    from distributed import LocalCluster

    with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
        local = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                             scheduler_port=0, dashboard_address="127.0.0.1:0", silence_logs=logging.ERROR)
    try:
        yield local.scheduler_address
    finally:
        local.close()

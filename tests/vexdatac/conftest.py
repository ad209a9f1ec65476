import os
import shutil
from pathlib import Path

import pytest

import vexdatac
from vexdatac import config
from vexdatac.sample import build_sample

EXAMPLES = Path(vexdatac.__file__).parent / "examples" / "csv"


@pytest.fixture(scope="session")
def sample_db(tmp_path_factory):
    """The sample database, built once for the whole session."""
    path = tmp_path_factory.mktemp("vexdatac") / "funds.sqlite"
    build_sample(path)
    return path


@pytest.fixture(scope="session", autouse=True)
def _sample_in_force(sample_db):
    """Queries go to the session's sample database through VEXDATAC_DB, so
    that fixtures of any scope see it; tests that point elsewhere use
    set_database or monkeypatch, both undone after each test."""
    saved = os.environ.get(config.ENV_VAR)
    os.environ[config.ENV_VAR] = str(sample_db)
    vexdatac.set_database(None)
    yield
    if saved is None:
        del os.environ[config.ENV_VAR]
    else:
        os.environ[config.ENV_VAR] = saved
    config.close_all()


@pytest.fixture(autouse=True)
def _forget_explicit_database():
    yield
    vexdatac.set_database(None)


@pytest.fixture
def example_dir(tmp_path):
    """A writable copy of the example CSV directory."""
    target = tmp_path / "csv"
    shutil.copytree(EXAMPLES, target)
    return target

"""Strategies and commands shared by the sweep tests."""
import json
import pathlib
import textwrap

from click.testing import CliRunner

from tessel.cli import main as tessel_cli

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
MIX = EXAMPLES / "equity_bond_mix.py"
MIX_CONFIG = EXAMPLES / "monthly_rebalance.yml"
# A short window keeps every run well under a second.
WINDOW = ["--start-date", "2020-01-02", "--end-date", "2020-03-31"]


def data_options(sample_data):
    db, bundle = sample_data
    return ["--db", str(db), "--bundle", str(bundle)]


def tessel(*args):
    """``tessel ARGS`` in this process; the click result (exit_code, output)."""
    return CliRunner().invoke(tessel_cli, [str(a) for a in args], catch_exceptions=False)


def write_strategy(directory, body, name="strategy.py"):
    path = pathlib.Path(directory) / name
    path.write_text(textwrap.dedent(body).lstrip("\n"), encoding="utf-8")
    return path


# Writes what it was given to the file named by its "out" parameter.
ECHO_PARAMS = """
import json


def init(context):
    values = dict(context.params)
    with open(values.pop("out"), "w") as f:
        json.dump({"type": type(context.params).__name__, "is_dict": isinstance(context.params, dict),
                   "values": values}, f)
"""


def read_json(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)

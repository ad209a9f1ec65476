"""Strategy parameters: how text becomes values, where they come from, and
what a strategy may do with ``context.params``."""
import pytest

from sweep_helpers import ECHO_PARAMS, WINDOW, data_options, read_json, tessel, write_strategy
from tessel.config import load_config
from tessel.params import Params, param_value, parse_grid, parse_param


@pytest.mark.parametrize("text, expected", [
    ("3", 3), ("-12", -12), ("+2", 2), ("0", 0),
    ("0.6", 0.6), ("-0.25", -0.25), ("10.50", 10.5),
    # Fund ids and other zero-led digits are names, not numbers.
    ("000025", "000025"), ("01", "01"), ("-05", "-05"), ("00.5", "00.5"),
    ("true", True), ("false", False), ("True", True), ("FALSE", False),
    # Not plain decimals: kept exactly as written.
    ("1e3", "1e3"), (".5", ".5"), ("1.", "1."), ("inf", "inf"), ("nan", "nan"), ("1,000", "1,000"),
    ("", ""), ("yes", "yes"), ("tcp://x:1", "tcp://x:1"),
])
def test_text_values(text, expected):
    value = param_value(text)
    assert value == expected and type(value) is type(expected)


def test_param_and_grid_syntax():
    assert parse_param("weight=0.6") == ("weight", 0.6)
    assert parse_param("note=a=b") == ("note", "a=b")
    assert parse_grid("bond=000025,000034") == ("bond", ["000025", "000034"])
    assert parse_grid("w = 0.2, 0.4 ,1") == ("w", [0.2, 0.4, 1])
    for bad, words in [("weight", "NAME=VALUE"), ("=3", "NAME=VALUE"), ("9lives=1", "not a name"),
                       ("a.b=1", "not a name")]:
        with pytest.raises(ValueError, match=words):
            parse_param(bad)
    for bad, words in [("w=", "NAME=V1"), ("w", "NAME=V1"), ("w=1,,2", "empty value"), ("w=1,2,1", "twice"),
                       ("w=1,1.0", "twice"), ("x-y=1", "not a name")]:
        with pytest.raises(ValueError, match=words):
            parse_grid(bad)
    # true and 1 are different combinations.
    assert parse_grid("w=1,true") == ("w", [1, True])


def test_params_are_read_only_and_name_a_missing_key():
    source = {"weight": 0.5, "funds": ["000025"]}
    params = Params(source)
    assert isinstance(params, dict) and params["weight"] == 0.5 and params.get("other", 7) == 7
    for change in (lambda p: p.__setitem__("weight", 1), lambda p: p.update(weight=1), lambda p: p.pop("weight"),
                   lambda p: p.clear(), lambda p: p.setdefault("x", 1), lambda p: p.__delitem__("weight")):
        with pytest.raises(TypeError, match="read-only"):
            change(params)
    with pytest.raises(KeyError, match="parameter 'bond' is not set .given: funds, weight.") as caught:
        params["bond"]
    assert type(caught.value).__name__ == "KeyError"
    # The strategy's values are its own copy: changing a nested list leaves the configuration alone.
    params["funds"].append("000034")
    assert source["funds"] == ["000025"]


class TestThroughTesselRun:
    def run(self, tmp_path, sample_data, *extra, config=None):
        strategy = write_strategy(tmp_path, ECHO_PARAMS)
        out = tmp_path / "params.json"
        args = ["run", strategy, *data_options(sample_data), *WINDOW, "--no-progress", "--log-level", "none",
                "--param", "out={}".format(out), *extra]
        if config is not None:
            path = tmp_path / "config.yml"
            path.write_text(config, encoding="utf-8")
            args += ["-c", path]
        result = tessel(*args)
        assert result.exit_code == 0, result.output
        return read_json(out)

    def test_no_parameters_is_an_empty_dict(self, tmp_path, sample_data):
        seen = self.run(tmp_path, sample_data)
        assert seen == {"type": "Params", "is_dict": True, "values": {}}

    def test_command_line_values(self, tmp_path, sample_data):
        seen = self.run(tmp_path, sample_data, "--param", "weight=0.6", "--param", "bond=000025",
                        "--param", "monthly=true", "--param", "name=balanced mix", "--param", "count=3")
        assert seen["values"] == {"weight": 0.6, "bond": "000025", "monthly": True, "name": "balanced mix",
                                  "count": 3}

    def test_configuration_file_and_layers(self, tmp_path, sample_data):
        # An unquoted zero-led id stays the text it is, as on the command line (plain YAML would read
        # 000025 as the octal number 21).
        config = "params:\n  bond: 000025\n  weight: 0.4\n  lookback: 20\n"
        seen = self.run(tmp_path, sample_data, "--param", "weight=0.7", "--set", "params.lookback=60",
                        config=config)
        assert seen["values"] == {"bond": "000025", "weight": 0.7, "lookback": 60}

    def test_unread_parameter_is_no_error(self, tmp_path, sample_data):
        assert self.run(tmp_path, sample_data, "--param", "unused=1")["values"] == {"unused": 1}


def test_strategy_reading_a_missing_parameter_fails_with_file_and_line(tmp_path, sample_data):
    strategy = write_strategy(tmp_path, """
        def init(context):
            context.weight = context.params["weight"]
        """)
    result = tessel("run", strategy, *data_options(sample_data), *WINDOW, "--no-progress", "--param", "bond=1")
    assert result.exit_code == 1
    assert "strategy {} line 2 (in init) raised KeyError: parameter 'weight' is not set (given: bond)".format(
        strategy) in result.output


def test_strategy_cannot_replace_or_change_its_parameters(tmp_path, sample_data):
    for line, error in [("context.params['w'] = 2", "TypeError: context.params is read-only"),
                        ("context.params = {'w': 2}", "AttributeError")]:
        strategy = write_strategy(tmp_path, "def init(context):\n    {}\n".format(line))
        result = tessel("run", strategy, *data_options(sample_data), *WINDOW, "--no-progress", "--param", "w=1")
        assert result.exit_code == 1
        assert "line 2 (in init) raised {}".format(error) in result.output


def test_bad_parameters_in_the_configuration_are_refused():
    with pytest.raises(ValueError, match="params: expected a mapping"):
        load_config({"params": [1, 2]})
    with pytest.raises(ValueError, match="parameter name '2x' is not a name"):
        load_config({"params": {"2x": 1}})
    assert load_config({}).params == {} and load_config({"params": None}).params == {}


def test_bad_param_option_is_a_one_line_error(tmp_path, sample_data):
    strategy = write_strategy(tmp_path, "def init(context):\n    pass\n")
    result = tessel("run", strategy, *data_options(sample_data), "--param", "weight")
    assert result.exit_code != 0 and "bad --param 'weight': expected NAME=VALUE" in result.output


def test_zero_led_ids_in_the_configuration_stay_text(tmp_path):
    path = tmp_path / "config.yml"
    path.write_text("base:\n  benchmark: 000021\n  start_date: 2020-01-02\nmod:\n  fund:\n"
                    "    redemption_receiving_days: 0\n", encoding="utf-8")
    config = load_config(str(path))
    assert config.base.benchmark == "000021"
    assert config.mod.fund.redemption_receiving_days == 0
    assert str(config.base.start_date) == "2020-01-02"

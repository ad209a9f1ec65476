import datetime as dt

import pytest
import yaml

from tessel.config import DEFAULT_CONFIG_PATH, load_config
from tessel.const import DEFAULT_ACCOUNT_TYPE, RUN_TYPE


def test_defaults_cover_every_setting_the_fund_plugin_reads():
    cfg = load_config()
    assert cfg.base.run_type is RUN_TYPE.BACKTEST
    assert DEFAULT_ACCOUNT_TYPE.STOCK in cfg.base.accounts
    assert DEFAULT_ACCOUNT_TYPE.FUTURE not in cfg.base.accounts
    assert cfg.base.frequency == "1d"
    assert cfg.mod.sys_accounts.dividend_reinvestment is False
    fund = cfg.mod.fund
    assert (fund.enabled, fund.lib, fund.fund_nav_type, fund.subscription_limit, fund.status_limit,
            fund.subscription_receiving_days, fund.redemption_receiving_days) == (
        True, "tessel_mod_fund", "unit", True, True, 1, 3)
    # Each fund setting is documented in the defaults file.
    text = open(DEFAULT_CONFIG_PATH, encoding="utf-8").read()
    lines = text.splitlines()
    for key in ("fund_nav_type", "subscription_limit", "status_limit", "subscription_receiving_days",
                "redemption_receiving_days"):
        index = next(i for i, line in enumerate(lines) if line.strip().startswith(key + ":"))
        assert lines[index - 1].strip().startswith("#"), key


def test_user_values_merge_over_defaults_without_dropping_siblings(tmp_path):
    path = tmp_path / "run.yml"
    path.write_text(yaml.safe_dump({"base": {"start_date": "2020-02-03", "end_date": "20200301"},
                                    "mod": {"fund": {"status_limit": False}}}))
    cfg = load_config(str(path))
    assert cfg.base.start_date == dt.date(2020, 2, 3)
    assert cfg.base.end_date == dt.date(2020, 3, 1)
    assert cfg.mod.fund.status_limit is False
    assert cfg.mod.fund.fund_nav_type == "unit"          # sibling kept
    assert cfg.base.accounts == {"STOCK": 1000000}        # untouched section kept
    # Loading again gives fresh defaults: the merge did not write into them.
    assert load_config().mod.fund.status_limit is True


def test_accounts_are_replaced_not_merged():
    cfg = load_config({"base": {"accounts": {"FUTURE": 500}}})
    assert DEFAULT_ACCOUNT_TYPE.STOCK not in cfg.base.accounts
    assert cfg.base.accounts == {"FUTURE": 500}


def test_missing_key_names_full_path_and_supports_getattr_default():
    cfg = load_config({"base": {"future_info": None}})
    del cfg.base["future_info"]
    with pytest.raises(AttributeError, match=r"base\.future_info"):
        cfg.base.future_info
    assert getattr(cfg.base, "future_info", {}) == {}
    assert not hasattr(cfg.mod.fund, "nope")


@pytest.mark.parametrize("run_type, expected", [("b", RUN_TYPE.BACKTEST), ("p", RUN_TYPE.PAPER_TRADING),
                                                ("BACKTEST", RUN_TYPE.BACKTEST)])
def test_run_type_accepts_value_and_name(run_type, expected):
    assert load_config({"base": {"run_type": run_type}}).base.run_type is expected


@pytest.mark.parametrize("override, message", [
    ({"base": {"run_type": "x"}}, "base.run_type"),
    ({"base": {"start_date": "2020-13-01"}}, "base.start_date"),
    ({"base": {"end_date": None}}, "base.end_date"),
    ({"base": {"start_date": "2021-01-01", "end_date": "2020-01-01"}}, "after base.end_date"),
    ({"base": {"accounts": {"STOCK": -1}}}, "base.accounts.STOCK"),
    ({"base": {"accounts": {"STOCK": "lots"}}}, "base.accounts.STOCK"),
    ({"base": {"accounts": {"BOND": 5}}}, "unknown account type"),
    ({"base": {"accounts": {}}}, "base.accounts"),
    ({"base": {"frequency": "1m"}}, "base.frequency"),
    ({"mod": {"fund": {"redemption_receiving_days": -1}}}, "mod.fund.redemption_receiving_days"),
    ({"mod": {"fund": {"enabled": "yes"}}}, "mod.fund.enabled"),
])
def test_bad_values_name_the_key(override, message):
    with pytest.raises(ValueError, match=message.replace(".", r"\.")):
        load_config(override)


def test_unreadable_or_non_mapping_yaml_is_reported(tmp_path):
    bad = tmp_path / "bad.yml"
    bad.write_text("- a\n- b\n")
    with pytest.raises(ValueError, match="mapping"):
        load_config(str(bad))
    with pytest.raises(ValueError, match="cannot read"):
        load_config(str(tmp_path / "missing.yml"))


def test_the_default_configuration_is_read_once_and_handed_out_as_fresh_copies(tmp_path, monkeypatch):
    import tessel.config as config

    first = config.load_default_config()
    first["mod"]["fund"]["enabled"] = "changed by a caller"
    del first["base"]
    again = config.load_default_config()
    with open(DEFAULT_CONFIG_PATH, encoding="utf-8") as f:
        assert again == yaml.load(f, Loader=config._ConfigLoader)
    # Another file (or the same one changed) is read anew; a missing one is reported as before.
    other = tmp_path / "defaults.yml"
    other.write_text("base:\n  x: 1\n")
    monkeypatch.setattr(config, "DEFAULT_CONFIG_PATH", str(other))
    assert config.load_default_config() == {"base": {"x": 1}}
    other.write_text("base:\n  x: 22\n")
    assert config.load_default_config() == {"base": {"x": 22}}
    monkeypatch.setattr(config, "DEFAULT_CONFIG_PATH", str(tmp_path / "missing.yml"))
    with pytest.raises(ValueError, match="cannot read configuration file .*missing.yml"):
        config.load_default_config()

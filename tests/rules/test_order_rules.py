"""Fund status enumeration, the status validator and the cost decider."""
import datetime as dt
import math
from types import SimpleNamespace

import numpy as np
import pytest

from tessel.const import CustomEnum, SIDE
from tessel.data.bar import BarObject
from tessel.interface import AbstractFrontendValidator, AbstractTransactionCostDecider
from tessel_mod_fund.const import FUND_STATUS
from tessel_mod_fund.transaction import FundTransactionDecider
from tessel_mod_fund.validator import FundStatusValidator


class TestFundStatus:
    def test_members_and_values(self):
        assert issubclass(FUND_STATUS, CustomEnum)
        assert [(m.name, m.value) for m in FUND_STATUS] == [
            ("OPEN", "Open"), ("LIMITED", "Limited"), ("SUSPENDED", "Suspended"), ("CLOSE", "Close")]
        assert FUND_STATUS.__doc__ == "基金状态"

    @pytest.mark.parametrize("state, refused", [
        (FUND_STATUS.OPEN, False), (FUND_STATUS.LIMITED, False),
        (FUND_STATUS.SUSPENDED, True), (FUND_STATUS.CLOSE, True),
        ("Open", False), ("Limited", False), (b"Open", False), (b"Limited", False),
        ("Suspended", True), (b"Close", True),
        ("open", True), ("", True), (b"", True), (None, True), (float("nan"), True), ("Paused", True),
        (np.bytes_(b"Open"), False), (np.str_("Limited"), False), (np.bytes_(b"Close"), True),
    ])
    def test_invalid_state(self, state, refused):
        assert FUND_STATUS.invalid_state(state) is refused

    def test_second_comparison_skipped_for_open(self):
        compared = []

        class Probe:
            def __ne__(self, other):
                compared.append(other)
                return other != FUND_STATUS.OPEN  # equal to OPEN only

        assert FUND_STATUS.invalid_state(Probe()) is False
        assert compared == [FUND_STATUS.OPEN]


class FakeEnv:
    """The two things the validator reads from the engine."""

    def __init__(self, subscribe, redeem):
        self.bar = SimpleNamespace(subscribe_status=subscribe, redeem_status=redeem)
        self.trading_dt = dt.datetime(2024, 3, 5, 15, 0)
        self.asked = []

    def get_bar(self, order_book_id):
        self.asked.append(order_book_id)
        return self.bar


def order(side, order_book_id="000001"):
    return SimpleNamespace(order_book_id=order_book_id, side=side)


class TestStatusValidator:
    def test_is_a_host_validator(self):
        assert issubclass(FundStatusValidator, AbstractFrontendValidator)
        v = FundStatusValidator("env")
        assert v._env == "env"

    @pytest.mark.parametrize("status", ["Open", "Limited", b"Open"])
    def test_buy_allowed(self, status):
        env = FakeEnv(status, "Close")
        assert FundStatusValidator(env).validate_submission(order(SIDE.BUY)) is None

    @pytest.mark.parametrize("status", ["Suspended", "Close", "Unknown"])
    def test_buy_refused_with_exact_text(self, status):
        env = FakeEnv(status, "Open")
        text = FundStatusValidator(env).validate_submission(order(SIDE.BUY), None)
        assert text == f"000001申赎失败,当前时间(2024-03-05 15:00:00) 申购状态={status} "
        assert text.endswith(" ")

    def test_sell_judged_by_redeem_status_only(self):
        assert FundStatusValidator(FakeEnv("Close", "Open")).validate_submission(order(SIDE.SELL)) is None
        text = FundStatusValidator(FakeEnv("Open", "Close")).validate_submission(order(SIDE.SELL, "F2"))
        assert text == "F2申赎失败,当前时间(2024-03-05 15:00:00) 赎回状态=Close "

    def test_unknown_side_raises_after_reading_the_bar(self):
        env = FakeEnv("Open", "Open")
        with pytest.raises(ValueError, match=r"^error SIDE = HOLD$"):
            FundStatusValidator(env).validate_submission(order("HOLD"))
        assert env.asked == ["000001"]

    @pytest.mark.parametrize("subscribe, refused", [(b"Open", False), (b"Limited", False), (b"Close", True),
                                                    (b"Suspended", True)])
    def test_status_read_from_a_day_bar(self, subscribe, refused):
        # the day bar keeps statuses in 10-byte string fields; the engine's bar
        # object must hand them to the rule and the text as plain status texts
        record = np.zeros(1, dtype=[("close", "<f8"), ("subscribe_status", "S10"), ("redeem_status", "S10")])
        record["subscribe_status"], record["redeem_status"] = subscribe, b"Open"
        env = FakeEnv(None, None)
        env.bar = BarObject(SimpleNamespace(order_book_id="000001"), record[0])
        text = FundStatusValidator(env).validate_submission(order=order(SIDE.BUY), account=None)
        if refused:
            assert text == f"000001申赎失败,当前时间(2024-03-05 15:00:00) 申购状态={subscribe.decode()} "
        else:
            assert text is None

    def test_any_true_rule_result_refuses(self, monkeypatch):
        # the rule's answer is taken by its truth, not by its type
        monkeypatch.setattr(FUND_STATUS, "invalid_state", classmethod(lambda cls, state: "refused"))
        assert FundStatusValidator(FakeEnv("Open", "Open")).validate_submission(order(SIDE.BUY)) is not None
        monkeypatch.setattr(FUND_STATUS, "invalid_state", classmethod(lambda cls, state: 0))
        assert FundStatusValidator(FakeEnv("Close", "Close")).validate_submission(order(SIDE.BUY)) is None

    def test_cancellation_always_allowed(self):
        env = FakeEnv("Close", "Close")
        v = FundStatusValidator(env)
        assert v.validate_cancellation(order(SIDE.BUY)) is None
        assert v.validate_cancellation(order(SIDE.SELL), account=object()) is None


class TestTransactionDecider:
    def test_cost_is_the_fee_the_order_carries(self):
        d = FundTransactionDecider()
        assert isinstance(d, AbstractTransactionCostDecider)
        assert d.get_order_transaction_cost(SimpleNamespace(fee=0)) == 0
        fee = 12.3456789
        assert d.get_order_transaction_cost(SimpleNamespace(fee=fee)) is fee
        with pytest.raises(AttributeError):
            d.get_order_transaction_cost(SimpleNamespace())

    @pytest.mark.parametrize("method", ["get_trade_commission", "get_trade_tax"])
    def test_trade_costs_are_not_supported(self, method):
        with pytest.raises(NotImplementedError) as info:
            getattr(FundTransactionDecider(), method)(SimpleNamespace())
        assert info.value.args == ()

    def test_calc_commission_uses_the_class_fee_ratio(self, monkeypatch):
        with pytest.raises(AttributeError):
            FundTransactionDecider.calc_commission(100)
        monkeypatch.setattr(FundTransactionDecider, "fee_ratio", 0.015, raising=False)
        assert FundTransactionDecider.calc_commission(0) == 0
        assert FundTransactionDecider.calc_commission(1000) == pytest.approx(15.0)
        assert FundTransactionDecider().calc_commission(amount=2000) == 2 * FundTransactionDecider.calc_commission(1000)
        assert math.isclose(FundTransactionDecider.calc_commission(1000), 1000 * 0.015)

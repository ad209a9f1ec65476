"""The sample fund database: 44 fictional funds, 2015-01-01 to 2024-12-31.

The data is made up but shaped like the real thing, so that every path of
a consumer can be exercised:

* equity, hybrid, index and bond funds with NAV random walks (a common market
  factor plus fund noise), NAV on exchange trading days only;
* money-market funds that accrue daily: unit NAV 1.0, `daily_profit` (income
  per 10,000 units, 0.4-1.2) and `weekly_yield` (7-day annualised yield in
  percent) for every calendar day, weekends and holidays included; one of
  them listed on the exchange, two flagged with `accrued_type` instead of
  `accrued_daily`;
* cash dividends (the unit NAV drops by the dividend on the ex-date) and unit
  splits with ratios above and below 1 (the unit NAV is divided by the ratio);
  the adjusted NAV is the total-return series and runs on unchanged through
  both;
* status periods "Limited" (with a subscription cap), "Suspended" and
  "Close", purchase limits, funds listed and delisted inside the window, a
  fund without status rows, a fund whose status starts after its NAV, two
  funds sharing one symbol, a fund without trustee.

Everything is drawn from one fixed seed in a fixed order, so every build
writes identical table contents.
"""
import datetime as _dt
import math

import numpy as np
import pandas as pd

from vexdatac import calendar_data, db

SEED = 20240607
WINDOW_START = "2015-01-01"
WINDOW_END = "2024-12-31"

AMCS = [
    ("鼎元基金管理有限公司", "101001", "鼎元"),
    ("汇川基金管理有限公司", "101002", "汇川"),
    ("瑞丰基金管理有限公司", "101003", "瑞丰"),
    ("泰和基金管理有限公司", "101004", "泰和"),
    ("华曦基金管理有限公司", "101005", "华曦"),
    ("远景基金管理有限公司", "101006", "远景"),
    ("安衡基金管理有限公司", "101007", "安衡"),
    ("中正基金管理有限公司", "101008", "中正"),
]
TRUSTEES = [
    "中国工商银行股份有限公司",
    "中国建设银行股份有限公司",
    "中国银行股份有限公司",
    "招商银行股份有限公司",
    "交通银行股份有限公司",
]
MANAGERS = ["张伟", "李娜", "王磊", "刘洋", "陈静", "杨帆", "赵敏", "黄磊", "周婷", "吴昊", "徐蕾", "孙浩"]

BENCHMARKS = {
    "Stock": "中证800指数收益率×85%+中债综合指数收益率×15%",
    "Hybrid": "沪深300指数收益率×60%+中债综合指数收益率×40%",
    "Index": "标的指数收益率×95%+银行活期存款利率(税后)×5%",
    "Bond": "中债综合全价指数收益率",
    "Money": "七天通知存款利率(税后)",
}
SCOPES = {
    "Stock": "国内依法发行上市的股票、债券、货币市场工具及法律法规允许基金投资的其他金融工具，股票资产占基金资产的80%-95%。",
    "Hybrid": "国内依法发行上市的股票、债券、货币市场工具及法律法规允许基金投资的其他金融工具，股票资产占基金资产的0%-95%。",
    "Index": "标的指数成份股及备选成份股、债券、货币市场工具，投资于标的指数成份股的资产不低于基金资产的90%。",
    "Bond": "国债、金融债、企业债、公司债、中期票据、短期融资券等固定收益类金融工具，债券资产不低于基金资产的80%。",
    "Money": "现金、期限在一年以内的银行存款、债券回购、中央银行票据、同业存单等货币市场工具。",
}

# Annual drift and volatility ranges of the NAV random walks, and the beta to
# the common market factor.
_RETURN_MODEL = {
    "Stock": ((0.06, 0.12), (0.20, 0.30), (0.8, 1.1)),
    "Hybrid": ((0.05, 0.10), (0.14, 0.22), (0.5, 0.8)),
    "Index": ((0.04, 0.08), (0.20, 0.26), (0.95, 1.05)),
    "Bond": ((0.03, 0.05), (0.015, 0.04), (0.0, 0.05)),
}
# Dividend per unit as a fraction of the NAV on the ex-date.
_DIVIDEND_FRACTION = {"Stock": (0.01, 0.06), "Hybrid": (0.01, 0.05), "Index": (0.01, 0.04), "Bond": (0.008, 0.025)}

# Fee tiers: subscription (upper bound in yuan or None, rate, fixed fee),
# redemption (holding days upper bound or None, rate).
_FEES = {
    "Stock": ([(1e6, 0.015, None), (5e6, 0.010, None), (None, None, 1000.0)],
              [(7, 0.015), (365, 0.005), (730, 0.0025), (None, 0.0)]),
    "Hybrid": ([(1e6, 0.015, None), (5e6, 0.010, None), (None, None, 1000.0)],
               [(7, 0.015), (365, 0.005), (730, 0.0025), (None, 0.0)]),
    "Index": ([(1e6, 0.012, None), (5e6, 0.008, None), (None, None, 1000.0)],
              [(7, 0.015), (365, 0.005), (None, 0.0)]),
    "Bond": ([(1e6, 0.008, None), (5e6, 0.004, None), (None, None, 1000.0)],
             [(7, 0.015), (30, 0.001), (None, 0.0)]),
    "Money": ([(None, 0.0, None)], [(None, 0.0)]),
}

# Level of money-market yields (annual, percent) per year, for the
# daily-profit paths.
_MONEY_YIELD = {2015: 3.9, 2016: 2.6, 2017: 3.9, 2018: 3.5, 2019: 2.5, 2020: 2.0,
                2021: 2.2, 2022: 1.9, 2023: 2.0, 2024: 1.8}

# The fund list. Keys beyond kind/name/amc:
#   listed / delisted  inside the window (otherwise listed before 2015, alive)
#   dividends          number of cash dividends
#   splits             [(date, ratio)]
#   status             "none" (no rows), "late" (starts 2016-07-01),
#                      "periodic" (closed except two windows a year),
#                      "holiday" (subscription suspended before long holidays),
#                      "limited" (long subscription cap)
#   accrued            "flag" (accrued_daily) or "type" (accrued_type)
FUNDS = [
    dict(kind="Stock", name="成长精选股票", amc=0, dividends=3),
    dict(kind="Stock", name="消费升级股票", amc=1, dividends=2, splits=[("2015-06-15", 2.0), ("2020-03-16", 0.5)]),
    dict(kind="Stock", name="医疗健康股票", amc=2, dividends=0),
    dict(kind="Stock", name="科技创新股票", amc=3, dividends=2),
    dict(kind="Stock", name="新能源产业股票", amc=4, dividends=1, listed="2017-03-15"),
    dict(kind="Stock", name="高端制造股票", amc=5, dividends=3, splits=[("2018-07-16", 1.5)]),
    dict(kind="Stock", name="品质生活股票", amc=6, dividends=2),
    dict(kind="Stock", name="先进制造股票", amc=7, dividends=2, delisted="2021-06-30"),
    dict(kind="Stock", name="核心资产股票", amc=0, dividends=0),
    dict(kind="Stock", name="大盘蓝筹股票", amc=1, dividends=4),
    dict(kind="Hybrid", name="价值精选混合", amc=2, dividends=3, splits=[("2016-09-12", 0.8)]),
    dict(kind="Hybrid", name="稳健配置混合", amc=3, dividends=2, status="none"),
    dict(kind="Hybrid", name="灵活配置混合", amc=4, dividends=1),
    dict(kind="Hybrid", name="优势企业混合", amc=5, dividends=3, status="late"),
    dict(kind="Hybrid", name="均衡成长混合", amc=6, dividends=2),
    dict(kind="Hybrid", name="红利精选混合", amc=7, dividends=2, listed="2019-08-20"),
    dict(kind="Hybrid", name="行业轮动混合", amc=0, dividends=0, no_trustee=True),
    dict(kind="Hybrid", name="精选回报混合", amc=2, dividends=1, listed="2016-05-10", delisted="2022-09-30"),
    dict(kind="Hybrid", name="精选回报混合", amc=2, dividends=0, listed="2023-01-10"),
    dict(kind="Hybrid", name="动力平衡混合", amc=1, dividends=2, transition_time=1),
    dict(kind="Index", name="沪深300指数", amc=3, dividends=0, splits=[("2015-03-16", 1.0213)]),
    dict(kind="Index", name="中证500指数", amc=4, dividends=1),
    dict(kind="Index", name="创业板指数", amc=5, dividends=0, splits=[("2021-11-15", 3.0)]),
    dict(kind="Index", name="红利指数", amc=6, dividends=4),
    dict(kind="Bond", name="纯债债券A", amc=0, dividends=6),
    dict(kind="Bond", name="信用增利债券", amc=1, dividends=5),
    dict(kind="Bond", name="稳健收益债券A", amc=2, dividends=4),
    dict(kind="Bond", name="短债债券", amc=3, dividends=3, listed="2020-11-10"),
    dict(kind="Bond", name="可转债债券", amc=4, dividends=2),
    dict(kind="Bond", name="定期开放债券", amc=5, dividends=5, status="periodic"),
    dict(kind="Bond", name="双利债券", amc=6, dividends=3),
    dict(kind="Bond", name="增强收益债券", amc=7, dividends=3, delisted="2019-12-31"),
    dict(kind="Bond", name="中短债债券", amc=0, dividends=0),
    dict(kind="Bond", name="利率债债券", amc=1, dividends=4),
    dict(kind="Bond", name="安心回报债券", amc=2, dividends=2),
    dict(kind="Bond", name="季季红债券", amc=3, dividends=8),
    dict(kind="Money", name="货币A", amc=0, accrued="flag"),
    dict(kind="Money", name="现金宝货币", amc=1, accrued="flag", status="holiday"),
    dict(kind="Money", name="天天利货币", amc=2, accrued="type", status="limited"),
    dict(kind="Money", name="添利货币", amc=3, accrued="flag", listed="2018-06-01"),
    dict(kind="Money", name="场内货币", amc=4, accrued="flag", exchange="XSHG"),
    dict(kind="Money", name="日日鑫货币", amc=5, accrued="type"),
    dict(kind="Money", name="现金管理货币", amc=6, accrued="flag", delisted="2023-03-31"),
    dict(kind="Money", name="活期宝货币", amc=7, accrued="flag"),
]

# Extra status periods guaranteed whatever the random draws give:
# fund position -> [(first date, trading days, subscribe, redeem, upper limit)]
_FIXED_PERIODS = {
    0: [("2016-01-04", 6, "Suspended", "Suspended", None)],
    3: [("2017-04-05", 60, "Limited", "Open", 1e5)],
    9: [("2019-03-01", 8, "Open", "Suspended", None)],
    24: [("2020-02-03", 40, "Limited", "Open", 1e6)],
}


def _iso_texts(index):
    """ISO day texts of a DatetimeIndex, vectorised (any datetime64 unit)."""
    return np.datetime_as_string(index.to_numpy().astype("datetime64[D]"), unit="D").tolist()


def _nan_to_none(values):
    """A float array as a list with NaN as None (SQL NULL)."""
    return [None if math.isnan(v) else v for v in values.tolist()]


class _Builder:
    def __init__(self):
        self.rng = np.random.default_rng(SEED)
        self.trading = calendar_data.trading_dates()
        self.trading_iso = _iso_texts(self.trading)
        # One market factor shared by every equity fund.
        self.market = self.rng.normal(0.0, 0.20 / math.sqrt(244), len(self.trading))
        self.instruments, self.nav, self.status = [], [], []
        self.dividends, self.splits, self.fees = [], [], []

    # -- helpers -----------------------------------------------------------
    def _next_trading(self, date):
        """Position of the first trading day on or after `date`."""
        return int(self.trading.searchsorted(pd.Timestamp(date)))

    def _prev_trading(self, date):
        return int(self.trading.searchsorted(pd.Timestamp(date), side="right")) - 1

    def _early_listing(self):
        day = _dt.date(2004, 1, 5) + _dt.timedelta(days=int(self.rng.integers(0, 3800)))
        while day.weekday() >= 5:
            day += _dt.timedelta(days=1)
        return day.isoformat()

    # -- one fund ----------------------------------------------------------
    def add_fund(self, pos, plan):
        rng = self.rng
        kind = plan["kind"]
        oid = f"{pos + 1:06d}"
        amc, amc_id, short = AMCS[plan["amc"]]
        listed = plan.get("listed") or self._early_listing()
        delisted = plan.get("delisted")
        money = kind == "Money"

        if money:
            sub_lower = 1.0
            red_lower = None
        else:
            sub_lower = [10.0, 100.0, 1000.0, None][int(rng.choice(4, p=[0.45, 0.2, 0.25, 0.1]))]
            red_lower = 10.0 if rng.random() < 0.6 else None
        trustee = None if plan.get("no_trustee") else TRUSTEES[int(rng.integers(len(TRUSTEES)))]
        self.instruments.append((
            oid, short + plan["name"], kind, listed, delisted,
            1 if plan.get("accrued") == "flag" else None,
            "每日结转" if plan.get("accrued") == "type" else None,
            plan.get("exchange"), amc, amc_id, BENCHMARKS[kind], listed,
            MANAGERS[int(rng.integers(len(MANAGERS)))], SCOPES[kind], amc,
            round(float(rng.uniform(1e8, 5e10)), 2), sub_lower, delisted,
            plan.get("transition_time", 0), trustee, 1.0,
        ))

        # Trading-day life of the fund inside the window.
        first = self._next_trading(max(listed, WINDOW_START))
        last = self._prev_trading(min(delisted or WINDOW_END, WINDOW_END))
        days = self.trading[first : last + 1]
        iso = self.trading_iso[first : last + 1]
        fresh = listed >= WINDOW_START
        calendar_days = None
        if money:
            calendar_days = self._money_nav(oid, plan, listed, delisted)
        else:
            self._market_nav(oid, plan, days, iso, first, fresh=fresh)
        self._status(pos, oid, plan, days, iso, sub_lower, red_lower, fresh=fresh, calendar_days=calendar_days)

        sub, red = _FEES[kind]
        for tier, (bound, rate, fixed) in enumerate(sub):
            self.fees.append((oid, "subscription", tier, bound, rate, fixed))
        for tier, (bound, rate) in enumerate(red):
            self.fees.append((oid, "redemption", tier, bound, rate, None))

    def _market_nav(self, oid, plan, days, iso, first, fresh):
        rng = self.rng
        kind = plan["kind"]
        n = len(days)
        (mu_lo, mu_hi), (vol_lo, vol_hi), (beta_lo, beta_hi) = _RETURN_MODEL[kind]
        mu = rng.uniform(mu_lo, mu_hi) / 244
        vol = rng.uniform(vol_lo, vol_hi) / math.sqrt(244)
        beta = rng.uniform(beta_lo, beta_hi)
        market = self.market[first : first + n] * beta
        # Noise of the fund itself tops the market part up to the fund's volatility.
        idio_vol = math.sqrt(max(vol**2 - (beta * 0.20 / math.sqrt(244)) ** 2, (0.2 * vol) ** 2))
        returns = mu - 0.5 * vol**2 + market + rng.normal(0.0, idio_vol, n)
        returns[0] = 0.0
        if fresh:
            unit0, factor0 = 1.0, 1.0
        elif kind == "Bond":
            unit0, factor0 = rng.uniform(1.0, 1.3), rng.uniform(1.0, 1.4)
        else:
            unit0, factor0 = rng.uniform(0.8, 3.0), rng.uniform(1.0, 1.8)
        adjusted = unit0 * factor0 * np.exp(np.cumsum(returns))

        # Events on trading-day positions of the fund's life: splits at their
        # dates, dividends spread over the life away from the splits.
        events = {}
        for date, ratio in plan.get("splits", []):
            k = int(days.searchsorted(pd.Timestamp(date)))
            events[k] = ("split", ratio)
        count = plan.get("dividends", 0)
        if count:
            edges = np.linspace(15, n - 10, count + 1).astype(int)
            for lo, hi in zip(edges[:-1], edges[1:]):
                while True:
                    k = int(rng.integers(lo + (hi - lo) // 4, hi - (hi - lo) // 4 + 1))
                    if all(abs(k - other) > 3 for other in events):
                        break
                events[k] = ("dividend", None)

        factor = np.full(n, factor0)
        for k in sorted(events):
            what, ratio = events[k]
            cum_unit = adjusted[k] / factor[k]
            if what == "split":
                factor[k:] = factor[k] * ratio
                self.splits.append((oid, iso[k], ratio))
            else:
                lo, hi = _DIVIDEND_FRACTION[kind]
                cash = round(cum_unit * rng.uniform(lo, hi), 3)
                factor[k:] = factor[k] * cum_unit / (cum_unit - cash)
                # Off-exchange fund units go ex-dividend on the book-closure
                # day itself.  (The draw is kept so the rest of the sample
                # stays as it was.)
                rng.integers(0, 2)
                book = k
                payable = k + int(rng.integers(2, 5))
                self.dividends.append((oid, iso[k], iso[book], iso[payable], cash))
        unit = np.round(adjusted / factor, 4)
        adjusted = np.round(adjusted, 6)
        self.nav.extend(zip([oid] * n, iso, unit.tolist(), adjusted.tolist(),
                            [None] * n, [None] * n))

    def _money_nav(self, oid, plan, listed, delisted):
        """Add the calendar-day NAV rows of a money-market fund.

        Returns the calendar days it was simulated on, the warm-up days
        included: the fund's status rows cover those as well.
        """
        rng = self.rng
        start = max(listed, WINDOW_START)
        end = min(delisted or WINDOW_END, WINDOW_END)
        fresh = listed >= WINDOW_START
        # Six warm-up days before an already running fund's first day, so that
        # its 7-day yield is complete from the start.
        warm = 0 if fresh else 6
        days = simulated = pd.date_range(pd.Timestamp(start) - pd.Timedelta(days=warm), end, freq="D")
        n = len(days)
        level = np.array([_MONEY_YIELD.get(y, _MONEY_YIELD[2015]) for y in days.year])
        # Smooth the yearly levels into a drifting curve and add fund spread,
        # a slow mean-reverting deviation and daily noise.
        level = pd.Series(level).rolling(90, min_periods=1, center=True).mean().to_numpy()
        spread = rng.uniform(-0.15, 0.15)
        shocks = rng.normal(0.0, 0.04, n)
        slow = np.empty(n)
        acc = 0.0
        for i, shock in enumerate(shocks):
            acc = 0.97 * acc + shock
            slow[i] = acc
        annual = level + spread + slow * 0.5
        profit = np.clip(annual / 365 * 100 + rng.normal(0.0, 0.02, n), 0.4, 1.2).round(4)
        growth = np.log1p(profit / 10000)
        weekly = (np.expm1(pd.Series(growth).rolling(7).sum().to_numpy() * 365 / 7) * 100).round(3)
        factor0 = 1.0 if fresh else rng.uniform(1.05, 1.4)
        adjusted = (factor0 * np.exp(np.cumsum(growth))).round(6)
        days, profit, weekly, adjusted = days[warm:], profit[warm:], weekly[warm:], adjusted[warm:]
        n = len(days)
        self.nav.extend(zip([oid] * n, _iso_texts(days), [1.0] * n, adjusted.tolist(),
                            profit.tolist(), _nan_to_none(weekly)))
        return simulated

    def _status(self, pos, oid, plan, days, iso, sub_lower, red_lower, fresh, calendar_days=None):
        rng = self.rng
        mode = plan.get("status")
        n = len(days)
        if mode == "none" or n == 0:
            return
        sub = np.array(["Open"] * n, dtype=object)
        red = np.array(["Open"] * n, dtype=object)
        upper = np.full(n, np.nan)

        def period(k, length, s, r, cap=None):
            sl = slice(max(k, 0), min(k + length, n))
            sub[sl], red[sl] = s, r
            if cap is not None:
                upper[sl] = cap

        if plan["kind"] != "Money" and mode is None:
            if rng.random() < 0.4:
                length = int(rng.integers(20, 121))
                period(int(rng.integers(0, n - length)), length, "Limited", "Open",
                       float(rng.choice([1e4, 1e5, 1e6, 5e6])))
            if rng.random() < 0.25:
                length = int(rng.integers(5, 31))
                period(int(rng.integers(0, n - length)), length, "Suspended", "Open")
            if rng.random() < 0.1:
                length = int(rng.integers(3, 11))
                period(int(rng.integers(0, n - length)), length, "Suspended", "Suspended")
            if rng.random() < 0.1:
                length = int(rng.integers(3, 11))
                period(int(rng.integers(0, n - length)), length, "Open", "Suspended")
        for date, length, s, r, cap in _FIXED_PERIODS.get(pos, []):
            period(int(days.searchsorted(pd.Timestamp(date))), length, s, r, cap)
        if mode == "periodic":
            # Closed-end periods, open for ten trading days from each January
            # and July.
            sub[:], red[:] = "Close", "Close"
            for year in range(days[0].year, days[-1].year + 1):
                for month in (1, 7):
                    period(int(days.searchsorted(pd.Timestamp(year, month, 1))), 10, "Open", "Open")
        elif mode == "holiday":
            # Subscriptions stop two trading days before the long holidays so
            # that money does not earn the holiday income for free.
            for first, last, occasion in calendar_data.CLOSURES:
                if occasion.startswith(("Spring Festival", "National Day")):
                    k = int(days.searchsorted(pd.Timestamp(first)))
                    if 2 <= k < n:
                        period(k - 2, 2, "Suspended", "Open")
        elif mode == "limited":
            period(int(days.searchsorted(pd.Timestamp("2018-03-01"))), 500, "Limited", "Open", 1e6)
        if fresh:
            # New funds open for redemption only after their lock-up.
            red[:20] = "Close"
        if plan.get("delisted"):
            sub[-10:] = "Close"
            red[-5:] = "Close"
        if calendar_days is not None:
            # Money-market funds publish income for every calendar day, and the
            # status of a weekend or holiday is the one of the trading day
            # before it: give each NAV date its status row, so that joining
            # status onto NAV keeps the non-trading days' income.
            at = np.clip(days.searchsorted(calendar_days, side="right") - 1, 0, n - 1)
            sub, red, upper = sub[at], red[at], upper[at]
            iso, n = _iso_texts(calendar_days), len(calendar_days)
        start = 0
        if mode == "late":
            start = int(days.searchsorted(pd.Timestamp("2016-07-01")))
        upper_values = _nan_to_none(upper)
        count = n - start
        self.status.extend(zip([oid] * count, iso[start:], sub[start:].tolist(), red[start:].tolist(),
                               upper_values[start:], [sub_lower] * count, [red_lower] * count))

    # -- writing -----------------------------------------------------------
    def build(self):
        for pos, plan in enumerate(FUNDS):
            self.add_fund(pos, plan)
        return self

    def tables(self):
        return {
            "instruments": self.instruments,
            "nav": self.nav,
            "status": self.status,
            "dividends": self.dividends,
            "splits": self.splits,
            "trading_calendar": [(d,) for d in self.trading_iso],
            "fees": self.fees,
        }


def build_sample(path):
    """Build the sample database at `path` (replacing any file there
    atomically) and return the path."""
    db.write_database(path, "sample", _Builder().build().tables())
    return path

"""Invest a fixed amount in an index fund every month; park idle cash in a
money-market fund meanwhile.

Idle cash earns the money-market fund's daily income instead of nothing.
When the monthly purchase needs cash, the strategy redeems from the
money-market fund first; the redemption cash arrives a few trading days
later (``redemption_receiving_days``), and the purchase is made as soon as
it is there.

Run it (after `vexdatac sample` and `vexdatac export-calendar ~/.tessel/bundle`):

    tessel run examples/money_market_parking.py -c examples/money_market_parking.yml
"""
import math

TARGET = "000021"        # index fund bought every month
PARKING = "000037"       # money-market fund (constant price, income every day)
MONTHLY = 10000.0        # amount invested in TARGET each month
CASH_BUFFER = 1000.0     # cash always kept in the account


def init(context):
    context.month = None
    context.due = 0.0            # purchases decided but not yet paid
    context.redemption = None    # today's redemption from the parking fund
    context.wait = 0             # trading days until redeemed cash arrives


def before_trading(context):
    if context.wait > 0:
        context.wait -= 1


def handle_bar(context, bar_dict):
    month = context.now.strftime("%Y-%m")
    if month != context.month:
        context.month = month
        context.due += MONTHLY

    cash = context.portfolio.cash - CASH_BUFFER
    if context.due > 0:
        if cash >= context.due:
            if fund_status(TARGET)[0] in ("Open", "Limited"):
                subscribe(TARGET, context.due)
                cash -= context.due
                context.due = 0.0
        elif context.redemption is None and context.wait == 0:
            # Not enough cash: free some from the parking fund.  Its price is
            # constant, so units are cash; the cash arrives days later.
            units = min(context.due - cash, get_position(PARKING).closable)
            if units >= 1 and fund_status(PARKING)[1] in ("Open", "Limited"):
                context.redemption = redeem(PARKING, math.floor(units * 100) / 100)  # never more than held
        return

    # Nothing due: park what is idle.  The income accrues as new units daily.
    if cash >= 1000 and fund_status(PARKING)[0] in ("Open", "Limited"):
        subscribe(PARKING, round(cash, 2))


def after_trading(context):
    order = context.redemption
    if order is None or not order.is_final():
        return
    if order.status == "FILLED":
        # Its cash is booked after the redemption receiving days: wait for it.
        context.wait = context.config.mod.fund.redemption_receiving_days
    else:
        logger.warning("redemption from {} not filled: {}".format(PARKING, order.message))
    context.redemption = None

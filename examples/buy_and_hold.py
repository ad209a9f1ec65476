"""Buy and hold one equity fund, reinvesting its dividends.

The whole starting cash goes into the fund on the first day its
subscriptions are open; afterwards the strategy does nothing.  With
``mod.sys_accounts.dividend_reinvestment: true`` (see buy_and_hold.yml)
each cash dividend is paid as new units, so the holding grows instead of
the cash.

Run it (after `vexdatac sample` and `vexdatac export-calendar ~/.tessel/bundle`):

    tessel run examples/buy_and_hold.py -c examples/buy_and_hold.yml
"""

FUND = "000001"  # an equity fund of the sample database that pays dividends


def init(context):
    context.holding = False
    context.order = None
    info = fund_info(FUND)
    logger.info("buy and hold {} {} ({})".format(FUND, info.symbol, info.fund_type))


def handle_bar(context, bar_dict):
    if context.holding:
        return
    subscribe_status, _ = fund_status(FUND)
    if subscribe_status not in ("Open", "Limited"):
        return  # subscriptions suspended today: try again tomorrow
    # The amount includes the front-end fee.  The units are known only once
    # today's NAV is published, so the order fills after the close.
    context.order = subscribe(FUND, context.portfolio.cash)


def after_trading(context):
    order = context.order
    if order is None or context.holding:
        return
    if order.status == "FILLED":
        context.holding = True
        logger.info("bought {:.4f} units of {} at {:.4f}".format(order.filled_quantity, FUND, order.avg_price))
    else:
        logger.warning("subscription not filled ({}): {}".format(order.status, order.message))
        context.order = None

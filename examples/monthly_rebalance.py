"""Monthly equal-weight rebalancing across equity and bond funds.

On the first trading day of each month the strategy brings every fund of
its universe back to an equal share of the account (minus a small cash
reserve) with ``order_target_fund_weights``, which redeems first, then
subscribes with the cash at hand.

Fund rules are honoured:
* a fund whose status refuses subscriptions today keeps its current
  share this month instead of being topped up (and a fund that refuses
  redemptions is not trimmed: the rebalance skips it);
* the fund's minimum and maximum subscription amounts and minimum
  redemption are applied by the rebalance (``subscription_limit``);
* moves smaller than 2% of the account are skipped to save fees.

Run it (after `vexdatac sample` and `vexdatac export-calendar ~/.tessel/bundle`):

    tessel run examples/monthly_rebalance.py -c examples/monthly_rebalance.yml
"""

EQUITY = ["000001", "000021"]   # an active equity fund and an index fund
BOND = ["000025", "000034"]     # two bond funds
CASH_RESERVE = 0.02             # kept in cash for fees and rounding
MIN_MOVE = 0.02                 # skip trades below 2% of the account


def init(context):
    context.universe = EQUITY + BOND
    context.month = None
    for fund in context.universe:
        info = fund_info(fund)
        logger.info("universe: {} {} ({})".format(fund, info.symbol, info.fund_type))


def current_weight(context, fund):
    """The fund's share of the account (valued at yesterday's NAV during the day)."""
    return get_position(fund).equity / context.portfolio.total_value


def handle_bar(context, bar_dict):
    month = context.now.strftime("%Y-%m")
    if month == context.month:
        return
    context.month = month

    target = (1.0 - CASH_RESERVE) / len(context.universe)
    weights = {}
    for fund in context.universe:
        subscribe_status, _ = fund_status(fund)
        if subscribe_status in ("Open", "Limited"):
            weights[fund] = target
        else:
            # Cannot be topped up today: keep what it has (trimmed if above target).
            weights[fund] = min(current_weight(context, fund), target)
            logger.info("{}: subscriptions {} today, not topped up".format(fund, subscribe_status))
    for order in order_target_fund_weights(weights, min_move=MIN_MOVE):
        logger.info("{} {} {}".format(order.side, order.order_book_id,
                                      order.quantity if order.quantity else order.amount))


"""Monthly rebalancing between two equity funds and one bond fund, the mix given as parameters.

Parameters (``context.params``, set with ``--param NAME=VALUE`` or swept
with ``tessel sweep --grid NAME=V1,V2,...``):

* ``equity_weight``: share of the invested money in the equity funds,
  split equally between them (default 0.6);
* ``bond``: the bond fund that holds the rest (default ``000025``).

On the first trading day of each month the account is brought back to
that mix (minus a small cash reserve) with ``order_target_fund_weights``;
a fund whose status refuses subscriptions today keeps what it has.

One run:

    tessel run examples/equity_bond_mix.py -c examples/monthly_rebalance.yml --param equity_weight=0.4

The whole grid, on every core of this machine:

    tessel sweep examples/equity_bond_mix.py -c examples/monthly_rebalance.yml \\
        --grid equity_weight=0.2,0.4,0.6,0.8 --grid bond=000025,000034 -o out/mix
"""

EQUITY = ["000001", "000021"]   # an active equity fund and an index fund
CASH_RESERVE = 0.02             # kept in cash for fees and rounding
MIN_MOVE = 0.02                 # skip trades below 2% of the account


def init(context):
    weight = context.params.get("equity_weight", 0.6)
    if isinstance(weight, bool) or not isinstance(weight, (int, float)) or not 0 <= weight <= 1:
        raise ValueError("equity_weight must be a number between 0 and 1, got {!r}".format(weight))
    bond = str(context.params.get("bond", "000025"))
    fund_info(bond)  # an unknown fund id ends the run here, naming it
    invested = 1.0 - CASH_RESERVE
    context.targets = {fund: invested * weight / len(EQUITY) for fund in EQUITY}
    context.targets[bond] = context.targets.get(bond, 0.0) + invested * (1.0 - weight)
    context.month = None
    logger.info("targets: {}".format(", ".join("{} {:.1%}".format(f, w) for f, w in context.targets.items())))


def handle_bar(context, bar_dict):
    month = context.now.strftime("%Y-%m")
    if month == context.month:
        return
    context.month = month
    weights = {}
    for fund, target in context.targets.items():
        subscribe_status, _ = fund_status(fund)
        if subscribe_status in ("Open", "Limited"):
            weights[fund] = target
        else:
            # Cannot be topped up today: keep what it has (trimmed if above target).
            weights[fund] = min(get_position(fund).equity / context.portfolio.total_value, target)
    order_target_fund_weights(weights, min_move=MIN_MOVE)

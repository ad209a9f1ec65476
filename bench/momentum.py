# Demo strategy for the synthetic market: every 20 trading days hold the
# two stocks with the best 60-day return, equal weights.
STOCKS = ["S01", "S02", "S03", "S04", "S05"]


def init(context):
    context.day = 0


def handle_bar(context, bar_dict):
    context.day += 1
    if context.day % 20 != 1:
        return
    scores = {}
    for s in STOCKS:
        closes = history_bars(s, 60, "close")
        if len(closes) == 60:
            scores[s] = closes[-1] / closes[0] - 1
    if not scores:
        return
    best = sorted(scores, key=scores.get, reverse=True)[:2]
    account = context.portfolio.accounts["STOCK"]
    for s, position in list(account.positions.items()):
        if s not in best and position.quantity > 0:
            order_shares(s, -position.quantity)
    budget = account.total_value * 0.48
    for s in best:
        price = bar_dict[s].close
        held = account.positions[s].quantity if s in account.positions else 0
        target = int(budget / price / 100) * 100
        if target - held > 0:
            order_shares(s, target - held)
        elif target - held < 0:
            order_shares(s, target - held)

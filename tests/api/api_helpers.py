"""Look-ups shared by the fund API tests."""


def bar_on(engine, order_book_id, day):
    """The fund's bar record dated ``day`` (None when it has none), read from the store's array."""
    from tessel.utils.datetime_func import convert_date_to_int

    bars = engine.proxy.get_bars(order_book_id)
    hit = bars[bars["datetime"] == convert_date_to_int(day)]
    return hit[0] if len(hit) else None


def previous_day(engine, day=None):
    return engine.proxy.get_previous_trading_date(day or engine.day).date()

"""Whether a window of dates lies within the fund database's NAV data.

Outside it, held funds are valued flat and orders refused for want of data,
with no word of why: runs and sweeps say so before they start.
"""
import datetime as _dt

from tessel.config import load_default_config

# The first and last NAV date of the fund database, as MIN(date) and MAX(date) over the nav table give
# them, read through its primary key (order_book_id, date): the funds one after the other, each its
# first and last date, a few index look-ups per fund instead of a pass over every row.
NAV_DATE_RANGE = """
WITH RECURSIVE funds(id) AS (
    SELECT (SELECT MIN(order_book_id) FROM nav)
    UNION ALL
    SELECT (SELECT MIN(order_book_id) FROM nav WHERE order_book_id > funds.id) FROM funds WHERE funds.id IS NOT NULL
)
SELECT MIN((SELECT MIN(date) FROM nav WHERE order_book_id = funds.id)),
       MAX((SELECT MAX(date) FROM nav WHERE order_book_id = funds.id))
FROM funds WHERE funds.id IS NOT NULL
"""


def outside_fund_data(config, what):
    """What to warn of when the window of the ``what`` ("run", "sweep") reaches beyond the fund
    database's NAV dates, else None.

    Held funds would be valued flat and orders refused for want of data, with
    no word of why.  Only when the fund plug-in is on and its database can be
    read; anything wrong with the database is left for the run to report.
    """
    fund = (config.get("mod") or {}).get("fund") or {}
    if not fund.get("enabled", False) or fund.get("lib") != load_default_config()["mod"]["fund"]["lib"]:
        return None
    try:
        from vexdatac import config as database

        first, last = database.query(NAV_DATE_RANGE)[0]
        path = database.get_database_path()
    except Exception:  # noqa: BLE001  (no database, no nav table...: the run says what is wrong)
        return None
    if first is None:
        return None
    start, end = config.base.start_date, config.base.end_date
    first, last = _dt.date.fromisoformat(str(first)[:10]), _dt.date.fromisoformat(str(last)[:10])
    if start < first or end > last:
        return ("the {}'s window {} to {} reaches beyond the NAV data of the fund database {}, {} to {}: "
                "held funds keep their last value and orders are refused outside it").format(what, start, end, path,
                                                                                               first, last)
    return None

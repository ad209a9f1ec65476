"""Shanghai stock exchange market closures, 2015-2024.

Each entry is (first closed day, last closed day, occasion), inclusive, as
announced by the exchange. Ranges include the weekend days of the holiday
week; that is harmless because weekends are never trading days. Weekend
"make-up working days" of the official holiday schedule are deliberately
absent: the exchange does not open on a Saturday or Sunday, whatever the
office calendar says.

Keep this as plain data: a reader checks it against the exchange's yearly
holiday notices line by line.
"""
import datetime as _dt

import numpy as np
import pandas as pd

FIRST_YEAR = 2015
LAST_YEAR = 2024

CLOSURES = [
    # 2015
    ("2015-01-01", "2015-01-03", "New Year"),
    ("2015-02-18", "2015-02-24", "Spring Festival"),
    ("2015-04-04", "2015-04-06", "Qingming"),
    ("2015-05-01", "2015-05-03", "Labour Day"),
    ("2015-06-20", "2015-06-22", "Dragon Boat"),
    ("2015-09-03", "2015-09-05", "War of Resistance victory anniversary"),
    ("2015-09-26", "2015-09-27", "Mid-Autumn"),
    ("2015-10-01", "2015-10-07", "National Day"),
    # 2016
    ("2016-01-01", "2016-01-03", "New Year"),
    ("2016-02-07", "2016-02-13", "Spring Festival"),
    ("2016-04-02", "2016-04-04", "Qingming"),
    ("2016-04-30", "2016-05-02", "Labour Day"),
    ("2016-06-09", "2016-06-11", "Dragon Boat"),
    ("2016-09-15", "2016-09-17", "Mid-Autumn"),
    ("2016-10-01", "2016-10-07", "National Day"),
    # 2017
    ("2016-12-31", "2017-01-02", "New Year"),
    ("2017-01-27", "2017-02-02", "Spring Festival"),
    ("2017-04-02", "2017-04-04", "Qingming"),
    ("2017-04-29", "2017-05-01", "Labour Day"),
    ("2017-05-28", "2017-05-30", "Dragon Boat"),
    ("2017-10-01", "2017-10-08", "National Day and Mid-Autumn"),
    # 2018
    ("2017-12-30", "2018-01-01", "New Year"),
    ("2018-02-15", "2018-02-21", "Spring Festival"),
    ("2018-04-05", "2018-04-07", "Qingming"),
    ("2018-04-29", "2018-05-01", "Labour Day"),
    ("2018-06-16", "2018-06-18", "Dragon Boat"),
    ("2018-09-22", "2018-09-24", "Mid-Autumn"),
    ("2018-10-01", "2018-10-07", "National Day"),
    ("2018-12-30", "2019-01-01", "New Year"),
    # 2019
    ("2019-02-04", "2019-02-10", "Spring Festival"),
    ("2019-04-05", "2019-04-07", "Qingming"),
    ("2019-05-01", "2019-05-04", "Labour Day"),
    ("2019-06-07", "2019-06-09", "Dragon Boat"),
    ("2019-09-13", "2019-09-15", "Mid-Autumn"),
    ("2019-10-01", "2019-10-07", "National Day"),
    # 2020 (Spring Festival extended to 2 February)
    ("2020-01-01", "2020-01-01", "New Year"),
    ("2020-01-24", "2020-02-02", "Spring Festival"),
    ("2020-04-04", "2020-04-06", "Qingming"),
    ("2020-05-01", "2020-05-05", "Labour Day"),
    ("2020-06-25", "2020-06-27", "Dragon Boat"),
    ("2020-10-01", "2020-10-08", "National Day and Mid-Autumn"),
    # 2021
    ("2021-01-01", "2021-01-03", "New Year"),
    ("2021-02-11", "2021-02-17", "Spring Festival"),
    ("2021-04-03", "2021-04-05", "Qingming"),
    ("2021-05-01", "2021-05-05", "Labour Day"),
    ("2021-06-12", "2021-06-14", "Dragon Boat"),
    ("2021-09-19", "2021-09-21", "Mid-Autumn"),
    ("2021-10-01", "2021-10-07", "National Day"),
    # 2022
    ("2022-01-01", "2022-01-03", "New Year"),
    ("2022-01-31", "2022-02-06", "Spring Festival"),
    ("2022-04-03", "2022-04-05", "Qingming"),
    ("2022-04-30", "2022-05-04", "Labour Day"),
    ("2022-06-03", "2022-06-05", "Dragon Boat"),
    ("2022-09-10", "2022-09-12", "Mid-Autumn"),
    ("2022-10-01", "2022-10-07", "National Day"),
    # 2023
    ("2022-12-31", "2023-01-02", "New Year"),
    ("2023-01-21", "2023-01-27", "Spring Festival"),
    ("2023-04-05", "2023-04-05", "Qingming"),
    ("2023-04-29", "2023-05-03", "Labour Day"),
    ("2023-06-22", "2023-06-24", "Dragon Boat"),
    ("2023-09-29", "2023-10-06", "Mid-Autumn and National Day"),
    # 2024 (the exchange also closed on Spring Festival eve, 9 February)
    ("2024-01-01", "2024-01-01", "New Year"),
    ("2024-02-09", "2024-02-17", "Spring Festival"),
    ("2024-04-04", "2024-04-06", "Qingming"),
    ("2024-05-01", "2024-05-05", "Labour Day"),
    ("2024-06-08", "2024-06-10", "Dragon Boat"),
    ("2024-09-15", "2024-09-17", "Mid-Autumn"),
    ("2024-10-01", "2024-10-07", "National Day"),
]


def closed_days():
    """Every calendar day inside a closure range, as a set of dates."""
    days = set()
    for first, last, _ in CLOSURES:
        day = _dt.date.fromisoformat(first)
        end = _dt.date.fromisoformat(last)
        while day <= end:
            days.add(day)
            day += _dt.timedelta(days=1)
    return days


def trading_dates(first_year=FIRST_YEAR, last_year=LAST_YEAR):
    """The exchange's trading days of the given years, ascending, as a
    DatetimeIndex: weekdays that are not closed."""
    if first_year < FIRST_YEAR or last_year > LAST_YEAR:
        raise ValueError(f"closure data covers {FIRST_YEAR}-{LAST_YEAR} only")
    days = pd.date_range(f"{first_year}-01-01", f"{last_year}-12-31", freq="D")
    closed = np.array([d in _CLOSED for d in days.date])
    return days[(days.day_of_week < 5) & ~closed]


_CLOSED = closed_days()

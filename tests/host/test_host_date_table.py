"""Whole-array date conversion inside the span it looks dates up in
(1900-2099), at its edges and across them, against Python's own calendar."""
import datetime as dt

import numpy as np
import pandas as pd
import pytest

from tessel.utils.datetime_func import convert_date_to_date_int, convert_date_to_int

PER_SECOND = {"s": 1, "ms": 10 ** 3, "us": 10 ** 6, "ns": 10 ** 9}


def expected_ints(arr):
    """YYYYMMDDhhmmss of each element, from its raw count with Python integers and datetime."""
    unit, _ = np.datetime_data(arr.dtype)
    out = []
    for raw in arr.view(np.int64).tolist():
        moment = dt.datetime(1970, 1, 1) + dt.timedelta(seconds=raw // PER_SECOND[unit])
        out.append(int(moment.strftime("%Y%m%d%H%M%S")))
    return out


def random_days(rng, n, low="1900-01-01", high="2099-12-31"):
    bounds = np.array([low, high], dtype="datetime64[D]").view(np.int64)
    return rng.integers(bounds[0], bounds[1] + 1, n)


EDGES = ["1900-01-01", "2099-12-31", "1899-12-31", "2100-01-01", "1970-01-01", "2000-02-29"]


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
@pytest.mark.parametrize("midnight", [True, False])
@pytest.mark.parametrize("seed", [1, 2])
def test_conversion_in_and_around_the_looked_up_span(unit, midnight, seed):
    rng = np.random.default_rng(seed)
    per_day = 86400 * PER_SECOND[unit]
    inside = random_days(rng, 3000) * per_day
    if not midnight:  # a few values with a time of day among round days, as in intraday data
        inside[rng.random(3000) < 0.01] += rng.integers(1, per_day, 1).item()
    edges = np.array(EDGES, dtype="datetime64[D]").astype(np.int64) * per_day
    cases = {"inside": inside, "inside edges": edges[:2], "all edges": edges,
             "inside and one beyond": np.concatenate([inside[:50], edges[3:4]]),
             "last instant of the span": np.array([edges[1] + per_day - 1, edges[0]]), "empty": inside[:0]}
    for name, raw in cases.items():
        arr = raw.view("datetime64[{}]".format(unit))
        expected = expected_ints(arr)
        for value in (arr, pd.DatetimeIndex(arr), pd.Series(arr)):
            full = convert_date_to_int(value)
            assert full.dtype == np.int64 and full.tolist() == expected, (name, type(value))
            day = convert_date_to_date_int(value)
            assert day.dtype == np.int64 and day.tolist() == [e // 1000000 for e in expected], (name, type(value))


def test_results_are_new_arrays_and_missing_dates_are_named():
    index = pd.DatetimeIndex(["2020-01-01", "2020-01-02"])
    first = convert_date_to_date_int(index)
    first[0] = 0  # the caller's array is its own: the next result is unaffected
    assert convert_date_to_date_int(index).tolist() == [20200101, 20200102]
    with pytest.raises(ValueError, match="position 2"):
        convert_date_to_int(pd.DatetimeIndex(["2020-01-01", "2020-01-02", pd.NaT]))

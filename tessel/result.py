"""The result of a run: its tables, the performance summary, and the report files.

Conventions of the summary:

* The run starts with ``start_value`` (the configured starting cash) at the
  first trading day's open; each trading day adds one daily return, the
  first one measured from ``start_value`` to the first day's close.
* Annualised figures assume ``TRADING_DAYS_PER_YEAR`` (252) trading days:
  the annualised return compounds (``(1 + total) ** (252 / days) - 1``),
  the volatility scales the sample standard deviation of the daily returns
  by ``sqrt(252)``.
* Sharpe ratio: the mean daily return in excess of ``risk_free_rate / 252``
  divided by the daily standard deviation, times ``sqrt(252)``.
* Maximum drawdown: the largest fall from a running peak of the total value
  (the starting value counts as the value at the first day's open), as a
  negative fraction, with the dates of that peak and of the trough.
* Benchmark: its close prices, each day's return measured from the
  previous trading day's close (for the first day, the close before the
  run when the benchmark has one).  ``excess_return`` is the strategy's
  total return minus the benchmark's; ``tracking_error`` is the annualised
  standard deviation of the daily return differences.
"""
import dataclasses
import hashlib
import json
import math
import os
import re
import secrets
import shutil
import socket
import stat
import time
import warnings

import numpy as np
import pandas as pd

from tessel.table_csv import write_csv
from tessel.utils.logger import system_log
from tessel.utils.memory import release_free_memory

TRADING_DAYS_PER_YEAR = 252
# Saved tables keep at most CSV_DECIMALS decimals and CSV_SIGNIFICANT_DIGITS
# significant digits: far below a unit (4 places) or a cent at any size,
# and short of the last digit or two of a float, where binary noise such as
# 1.7429999999999997 (for 1.743) or 1785599.9999999998 (for 1785600) sits.
CSV_DECIMALS = 10
CSV_SIGNIFICANT_DIGITS = 15

SUMMARY_LABELS = (
    ("start_date", "Start date"),
    ("end_date", "End date"),
    ("trading_days", "Trading days"),
    ("start_value", "Start value"),
    ("end_value", "End value"),
    ("total_return", "Total return"),
    ("annual_return", "Annualised return"),
    ("annual_volatility", "Annualised volatility"),
    ("sharpe_ratio", "Sharpe ratio"),
    ("max_drawdown", "Maximum drawdown"),
    ("max_drawdown_peak", "  peak"),
    ("max_drawdown_trough", "  trough"),
    ("orders", "Orders"),
    ("rejected_orders", "  rejected"),
    ("trades", "Trades"),
    ("fees", "Fees paid"),
    ("risk_free_rate", "Risk-free rate"),
    ("benchmark", "Benchmark"),
    ("benchmark_total_return", "Benchmark total return"),
    ("benchmark_annual_return", "Benchmark annualised return"),
    ("excess_return", "Excess return"),
    ("tracking_error", "Tracking error"),
)
_PERCENT = frozenset(("total_return", "annual_return", "annual_volatility", "max_drawdown", "risk_free_rate",
                      "benchmark_total_return", "benchmark_annual_return", "excess_return", "tracking_error"))
_MONEY = frozenset(("start_value", "end_value", "fees"))


def _json_figure(value):
    """NaN and infinite figures are ``null`` in JSON (``NaN``/``Infinity`` are not JSON)."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def dump_summary(summary, f=None, **dump_options):
    """Write ``summary`` as ``summary.json`` holds it to ``f`` (or return that text when ``f`` is None).

    Non-finite figures become null; dates and other values are written as text.
    """
    figures = {k: _json_figure(v) for k, v in summary.items()}
    if f is None:
        return json.dumps(figures, allow_nan=False, default=str, **dump_options)
    return json.dump(figures, f, allow_nan=False, default=str, **dump_options)


_POWERS_OF_TEN = 10.0 ** np.arange(23)  # exact in binary up to 1e22


def round_for_csv(values):
    """``values`` (floats) rounded to ``CSV_DECIMALS`` decimals, fewer where that exceeds the significant digits.

    Values below 10 ** (CSV_SIGNIFICANT_DIGITS - CSV_DECIMALS) keep exactly
    the ten-decimal rounding; larger ones lose one decimal per power of ten.
    NaN and infinities pass through.
    """
    values = np.asarray(values, dtype=float)
    large = np.isfinite(values) & (np.abs(values) >= 10.0 ** (CSV_SIGNIFICANT_DIGITS - CSV_DECIMALS))
    if not large.any():
        return np.round(values, CSV_DECIMALS)
    result = values.copy()
    result[~large] = np.round(values[~large], CSV_DECIMALS)
    chosen = values[large]
    decimals = CSV_SIGNIFICANT_DIGITS - 1 - np.floor(np.log10(np.abs(chosen))).astype(np.int64)
    rounded = np.empty_like(chosen)
    # What np.round does for one number of decimals, here with each value's own: scale by an exact power
    # of ten, round to a whole number, scale back.
    fine = decimals >= 0
    scale = _POWERS_OF_TEN[decimals[fine]]
    rounded[fine] = np.rint(chosen[fine] * scale) / scale
    coarse = ~fine & (decimals >= -22)
    scale = _POWERS_OF_TEN[-decimals[coarse]]
    rounded[coarse] = np.rint(chosen[coarse] / scale) * scale
    # Beyond 1e37 no power of ten is exact in binary: go through the decimal text instead.
    huge = decimals < -22
    rounded[huge] = [float("{:.{}g}".format(v, CSV_SIGNIFICANT_DIGITS)) for v in chosen[huge]]
    result[large] = rounded
    return result


def annualised_return(total_return, days, per_year=TRADING_DAYS_PER_YEAR):
    if days <= 0 or total_return != total_return:
        return float("nan")
    if total_return <= -1:
        return -1.0
    try:
        return (1.0 + total_return) ** (per_year / days) - 1.0
    except OverflowError:  # a growth beyond any float, from absurd prices
        return float("inf")


def daily_returns(values, start_value):
    """Returns of each day's value over the previous one (the first over ``start_value``)."""
    values = np.asarray(values, dtype=float)
    previous = np.concatenate([[float(start_value)], values[:-1]])
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(previous != 0, values / previous - 1.0, np.nan)


def max_drawdown(values, dates, start_value):
    """(drawdown <= 0, peak date, trough date) of the value path that starts at ``start_value``.

    The starting value is dated on the first day.  With no fall the
    drawdown is 0 and both dates are None.
    """
    values = np.asarray(values, dtype=float)
    if len(values) == 0:
        return 0.0, None, None
    path = np.concatenate([[float(start_value)], values])
    peaks = np.maximum.accumulate(path)
    with np.errstate(divide="ignore", invalid="ignore"):
        drawdowns = np.where(peaks > 0, path / peaks - 1.0, 0.0)
    trough = int(np.argmin(drawdowns))
    worst = float(drawdowns[trough])
    if not worst < 0:
        return 0.0, None, None
    peak = int(np.argmax(path[:trough + 1]))
    # path[i] is the value after day i-1; path[0] is the start, dated on the first day
    return worst, dates[max(peak - 1, 0)], dates[trough - 1]


def compute_summary(daily, start_value, trades=None, risk_free_rate=0.0, benchmark=None, benchmark_base=None,
                    benchmark_id=None, per_year=TRADING_DAYS_PER_YEAR, orders=None):
    """The performance summary of a daily record (see the module text for the conventions).

    ``daily`` needs a ``total_value`` column indexed by date; ``trades`` a
    ``fee`` column; ``benchmark`` is the benchmark's close on each day of
    ``daily`` and ``benchmark_base`` its close before the first day, if known.
    With ``orders`` (a table with a ``status`` column) the summary also
    counts the orders and those rejected.
    """
    values = daily["total_value"].to_numpy(dtype=float)
    dates = [pd.Timestamp(d).date() for d in daily.index]
    days = len(values)
    start_value = float(start_value)
    end_value = float(values[-1]) if days else start_value
    total = end_value / start_value - 1.0 if start_value else float("nan")
    returns = daily_returns(values, start_value)
    measured = np.count_nonzero(~np.isnan(returns))
    with np.errstate(invalid="ignore", over="ignore"):  # infinite values (absurd prices) give NaN, said as "-"
        std = float(np.nanstd(returns, ddof=1)) if measured > 1 else float("nan")
    excess_mean = float(np.nanmean(returns)) - risk_free_rate / per_year if measured else float("nan")
    sharpe = excess_mean / std * math.sqrt(per_year) if std and std == std else float("nan")
    drawdown, peak, trough = max_drawdown(values, dates, start_value)
    summary = {
        "start_date": dates[0].isoformat() if days else None,
        "end_date": dates[-1].isoformat() if days else None,
        "trading_days": days,
        "start_value": start_value,
        "end_value": end_value,
        "total_return": total,
        "annual_return": annualised_return(total, days, per_year),
        "annual_volatility": std * math.sqrt(per_year),
        "sharpe_ratio": sharpe,
        "max_drawdown": drawdown,
        "max_drawdown_peak": peak.isoformat() if peak else None,
        "max_drawdown_trough": trough.isoformat() if trough else None,
        "trades": 0 if trades is None else int(len(trades)),
        "fees": 0.0 if trades is None or len(trades) == 0 else float(trades["fee"].sum()),
        "risk_free_rate": float(risk_free_rate),
    }
    if orders is not None:
        summary["orders"] = int(len(orders))
        summary["rejected_orders"] = int((orders["status"].astype(str) == "REJECTED").sum()) if len(orders) else 0
    if benchmark_id is not None:
        summary.update(_benchmark_summary(returns, total, days, benchmark, benchmark_base, benchmark_id, per_year))
    return summary


def _benchmark_summary(returns, total, days, prices, base, benchmark_id, per_year):
    prices = np.asarray(prices, dtype=float) if prices is not None else np.full(days, np.nan)
    result = {"benchmark": benchmark_id, "benchmark_total_return": float("nan"),
              "benchmark_annual_return": float("nan"), "excess_return": float("nan"),
              "tracking_error": float("nan")}
    valid = ~np.isnan(prices)
    if not valid.any():
        return result
    # Days without a benchmark price carry the last known one (no change that day).
    prices = pd.Series(prices).ffill().to_numpy()
    if base is None or not base == base or base <= 0:
        base = prices[np.flatnonzero(valid)[0]]
    prices = np.where(np.isnan(prices), base, prices)
    bench_returns = daily_returns(prices, base)
    bench_total = float(prices[-1] / base - 1.0)
    diff = returns - bench_returns
    diff = diff[~np.isnan(diff)]
    result.update({
        "benchmark_total_return": bench_total,
        "benchmark_annual_return": annualised_return(bench_total, days, per_year),
        "excess_return": total - bench_total,
        "tracking_error": _tracking_error(diff, per_year),
    })
    return result


def _tracking_error(diff, per_year):
    if len(diff) < 2:
        return float("nan")
    with np.errstate(invalid="ignore", over="ignore"):
        return float(np.std(diff, ddof=1) * math.sqrt(per_year))


def format_summary_value(key, value):
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "-"
    if key in _PERCENT:
        return "{:.2%}".format(value)
    if key in _MONEY:
        return "{:,.2f}".format(value)
    if key == "sharpe_ratio":
        return "{:.2f}".format(value)
    return str(value)


@dataclasses.dataclass
class RunResult:
    """Everything a run produced.

    ``daily``: one row per trading day (index ``date``) with ``cash``,
    ``market_value``, ``receivable_units``, ``receivable_units_value``,
    ``receivable_cash``, ``dividend_receivable``, ``total_value``,
    ``cash_change``.  ``positions``: one row per day and holding.
    ``trades``: one row per fill.  ``orders``: every order with its final
    status and message (rejection or cancellation reason).  ``summary``: the
    performance figures.  ``benchmark``: the benchmark's close on each day
    (None without a benchmark; a public fund's adjusted NAV, its total
    return), ``benchmark_base`` the price its returns start from,
    ``benchmark_basis`` what the prices are (``"total return (adjusted
    NAV)"`` or ``"close"``).  Items read like a mapping too
    (``result["summary"]``).
    """

    daily: pd.DataFrame
    positions: pd.DataFrame
    trades: pd.DataFrame
    orders: pd.DataFrame
    summary: dict
    benchmark: pd.Series = None
    benchmark_base: float = None
    title: str = ""
    benchmark_basis: str = None

    _TABLES = ("daily", "positions", "trades", "orders")

    def __getitem__(self, key):
        if key in self._TABLES or key in ("summary", "benchmark"):
            return getattr(self, key)
        raise KeyError(key)

    def report_text(self):
        """The summary as an aligned two-column table."""
        rows = [(label, format_summary_value(key, self.summary[key]))
                for key, label in SUMMARY_LABELS if key in self.summary]
        width = max(len(label) for label, _ in rows)
        value_width = max(len(value) for _, value in rows)
        lines = []
        if self.title:
            lines.append(self.title)
            lines.append("-" * max(len(self.title), width + value_width + 2))
        lines.extend("{:<{w}}  {:>{v}}".format(label, value, w=width, v=value_width) for label, value in rows)
        return "\n".join(lines)

    def save(self, out_dir):
        """Write the tables as CSV, ``summary.json`` and ``report.png`` into ``out_dir``; returns the paths.

        The report is written into a fresh folder beside ``out_dir`` and moved
        into place only once every file is complete, so a save that fails
        (a full disk, a file that cannot be replaced, Ctrl-C) leaves an earlier
        report in ``out_dir`` as it was.  A picture that cannot be drawn is
        left out with a warning in the log; the tables are saved all the same.
        A failure raises :class:`ReportSaveError` saying what became of
        ``out_dir``.
        """
        target = os.path.realpath(out_dir)
        if os.path.exists(target) and not os.path.isdir(target):
            raise ReportSaveError("{} is a file, not a folder: nothing was written".format(out_dir))
        try:
            os.makedirs(os.path.dirname(target), exist_ok=True)
            _remove_abandoned_partials(target)
            staging = _fresh_folder(target, _owner() + ".partial")
        except OSError as exc:
            raise ReportSaveError("{}; nothing was written".format(exc)) from exc
        earlier = os.path.isdir(target)
        try:
            names = self._write_report(staging)
            _move_into_place(staging, target)
        except ReportSaveError:
            raise
        except OSError as exc:
            state = ("the earlier report in {} is unchanged".format(out_dir) if earlier
                     else "nothing was written to {}".format(out_dir))
            raise ReportSaveError("{}; {}".format(exc, state)) from exc
        finally:
            shutil.rmtree(staging, ignore_errors=True)
        return {key: os.path.join(out_dir, filename) for key, filename in names.items()}

    def _write_report(self, folder):
        names = {}
        for name in self._TABLES:
            write_csv(getattr(self, name), os.path.join(folder, name + ".csv"), index=(name == "daily"),
                      date_format="%Y-%m-%d", rounding=round_for_csv)
            names[name] = name + ".csv"
            release_free_memory()  # what writing the table took, back before the next one
        with open(os.path.join(folder, "summary.json"), "w", encoding="utf-8") as f:
            dump_summary(self.summary, f, indent=2, ensure_ascii=False)
            f.write("\n")
        names["summary"] = "summary.json"
        from tessel.report import plot_report

        picture = os.path.join(folder, "report.png")
        try:
            with warnings.catch_warnings(), np.errstate(all="ignore"):
                # Overflow and the like from extreme values: the picture shows what it can.
                warnings.simplefilter("ignore", RuntimeWarning)
                plot_report(self, picture)
        except Exception as exc:  # the tables and figures above matter more than their picture
            system_log.warning("report.png not drawn (%s: %s); the tables and summary.json are saved",
                               type(exc).__name__, exc)
            if os.path.exists(picture):
                os.remove(picture)
        else:
            names["report"] = "report.png"
        return names


class ReportSaveError(OSError):
    """The report could not be saved; the message says what became of the target folder."""


# Everything a report consists of; a folder holding nothing else is replaced whole.
REPORT_FILES = tuple(name + ".csv" for name in RunResult._TABLES) + ("summary.json", "report.png")


def _sibling(target, kind):
    parent, name = os.path.split(target)
    return os.path.join(parent, ".{}.{}.{}".format(name, secrets.token_hex(4), kind))


def _fresh_folder(target, kind):
    """A new empty folder ``.NAME.XXXXXXXX.KIND`` beside ``target``."""
    while True:
        path = _sibling(target, kind)
        try:
            os.mkdir(path)
            return path
        except FileExistsError:
            continue


def _owner():
    """``PID@HOST``: which process of which machine writes a partial folder (HOST: a short hash of its name)."""
    return "{}@{}".format(os.getpid(), _host())


def _host():
    return hashlib.blake2b(socket.gethostname().encode("utf-8", "surrogateescape"), digest_size=4).hexdigest()


# A partial folder nothing has been written to for this long may be removed as abandoned.
_ABANDONED_AFTER_SECONDS = 600


def _remove_abandoned_partials(target):
    """Remove the partial folders beside ``target`` whose saves were killed outright.

    A save stopped by SIGKILL (the out-of-memory killer, a job scheduler's
    limit) cannot clean up after itself, and its folder may hold hundreds of
    megabytes of tables.  Such a folder is removed by the next save of the
    same target on the same machine, once the process that wrote it is gone.
    A folder of a process that still runs, of another machine or of a name
    not written here is left alone, and so is one written to in the last
    ten minutes (a process in another PID namespace of the same host, as in
    a container, has an id that means nothing here).
    """
    if os.name != "posix":  # no way to ask whether a process runs without touching it
        return
    parent, name = os.path.split(target)
    pattern = re.compile(r"\.{}\.[0-9a-f]{{8}}\.([0-9]+)@([0-9a-f]{{8}})\.partial".format(re.escape(name)))
    host = _host()
    try:
        entries = os.listdir(parent)
    except OSError:
        return
    for entry in entries:
        match = pattern.fullmatch(entry)
        if match is None or match.group(2) != host or _process_runs(int(match.group(1))):
            continue
        folder = os.path.join(parent, entry)
        if _last_written(folder) > time.time() - _ABANDONED_AFTER_SECONDS:
            continue
        shutil.rmtree(folder, ignore_errors=True)


def _last_written(folder):
    """The newest modification time of ``folder`` and of the files in it (now, when it cannot be read)."""
    try:
        with os.scandir(folder) as files:
            return max([os.stat(folder).st_mtime] + [f.stat(follow_symlinks=False).st_mtime for f in files])
    except OSError:
        return time.time()


def _process_runs(pid):
    if pid <= 0 or pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # it runs under another user, or cannot be asked about: not ours to judge
        return True
    return True


def _move_into_place(staging, target):
    """Put the complete report in ``staging`` at ``target``; on failure ``target`` is left as it was."""
    if not os.path.lexists(target):
        os.rename(staging, target)
        return
    if set(os.listdir(target)) <= set(REPORT_FILES):
        # Swap the folders: the old one steps aside, the new one takes its name (and its permissions).
        os.chmod(staging, stat.S_IMODE(os.stat(target).st_mode))
        previous = _sibling(target, "previous")
        os.rename(target, previous)
        try:
            os.rename(staging, target)
        except BaseException:
            os.rename(previous, target)
            raise
        shutil.rmtree(previous, ignore_errors=True)
        return
    # The folder holds files of its own that must stay: replace the report's files one by one,
    # keeping the earlier ones aside until every new one is in.
    previous = os.path.join(staging, ".previous")
    os.mkdir(previous)
    present = {f for f in REPORT_FILES if os.path.lexists(os.path.join(target, f))}
    new = set(os.listdir(staging)) & set(REPORT_FILES)
    try:
        for filename in REPORT_FILES:
            if filename in present:
                os.rename(os.path.join(target, filename), os.path.join(previous, filename))
            if filename in new:
                os.rename(os.path.join(staging, filename), os.path.join(target, filename))
    except BaseException as exc:
        try:
            # Judged from where the files are, so an interruption between two steps is undone too.
            for filename in REPORT_FILES:
                kept = os.path.join(previous, filename)
                if os.path.lexists(kept):
                    os.replace(kept, os.path.join(target, filename))
                elif filename in new and filename not in present and not os.path.lexists(
                        os.path.join(staging, filename)):
                    os.remove(os.path.join(target, filename))
        except OSError as undo:
            rescued = _sibling(target, "previous")
            os.rename(previous, rescued)
            raise ReportSaveError("{}; the earlier report could not be put back ({}): its files are in {}".format(
                exc, undo, rescued)) from exc
        raise

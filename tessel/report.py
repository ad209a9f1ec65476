"""The report picture of a run: equity against benchmark, drawdown, and where the money sits.

Drawn with matplotlib's Agg backend on a figure object of its own (no
pyplot state, no display needed), so it works on servers and in tests.
"""
import numpy as np
import pandas as pd
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from matplotlib import dates as mdates
from matplotlib.ticker import FuncFormatter, PercentFormatter

from tessel.result import format_summary_value

_INK = "#1f2933"
_MUTED = "#7b8794"
_GRID = "#e4e7eb"
_STRATEGY = "#1f6feb"
_BENCHMARK = "#9aa5b1"
_DRAWDOWN = "#d64545"
_CASH = "#8fbcbb"
_STACK = (("cash", "Cash", _CASH), ("holdings", "Holdings", "#1f6feb"),
          ("units_due", "Units in transit", "#f0b429"), ("cash_due", "Cash receivable", "#c65d7b"))
# Holdings, largest first: blues and greens apart from the cash and receivable colours.
_HOLDING_COLORS = ("#1f6feb", "#5a9bf6", "#0b3d91", "#2f8f83", "#7fb3d5", "#44546a")
_MAX_HOLDING_LAYERS = 5


def _pivot(days, ids, value, dates):
    """Each holding's value (a column per id, sorted) on each of ``dates``; summed over repeated rows."""
    return (pd.DataFrame({"date": days, "id": ids.astype(str), "value": value})
            .pivot_table(index="date", columns="id", values="value", aggfunc="sum")
            .reindex(dates).fillna(0.0))


_pivot_layout = []


def _pivot_is_day_major():
    """Whether a pivot table of this pandas keeps its values day after day in memory (else holding after holding).

    Sums over the table's rows and columns depend on the order in memory,
    so a table built directly is laid out the same way.
    """
    if not _pivot_layout:
        days = pd.DatetimeIndex(["2020-01-02", "2020-01-02", "2020-01-03"])
        table = _pivot(days, pd.Series(["A", "B", "A"]), np.array([1.0, 2.0, 3.0]), days[:1].append(
            pd.DatetimeIndex(["2020-01-01"])))
        _pivot_layout.append(not table._mgr.blocks[0].values.flags.c_contiguous)
    return _pivot_layout[0]


def _holding_value(positions):
    """The value of each row's received units: market value less the units still in transit."""
    value = positions["market_value"].to_numpy(dtype=float)
    if "receivable_quantity" in positions and "last_price" in positions:
        value = value - positions["receivable_quantity"].to_numpy(dtype=float) * positions["last_price"].to_numpy(
            dtype=float)
    return value


def _holding_table(positions, dates, chunk_rows=1 << 18):
    """What :func:`_pivot` gives for the positions table, filled chunk by chunk instead of grouping all rows.

    With one row per day and holding each cell's sum is its only value
    (NaN counts as 0, as in a sum that skips it).  Repeated rows, missing
    days or ids, or repeated dates take the pivot itself.
    """
    days, ids, rows = positions["date"], positions["order_book_id"], len(positions)
    chunks = [slice(start, start + chunk_rows) for start in range(0, rows, chunk_rows)]
    # The ids of each chunk, once each; a missing one (None, NaN) is among them if there is one.
    distinct = [pd.unique(ids.iloc[c]) for c in chunks]
    if not dates.is_unique or days.isna().any() or any(pd.isna(d).any() for d in distinct):
        return _pivot(pd.to_datetime(days), ids, _holding_value(positions), dates)
    labels = pd.Index(sorted(set().union(*(pd.Series(d).astype(str) for d in distinct))))
    if _pivot_is_day_major():
        grid = np.zeros((len(dates), len(labels)))
    else:
        grid = np.zeros((len(labels), len(dates))).T
    filled = np.zeros(grid.size, dtype=bool)
    cells = 0
    for c in chunks:
        part = positions.iloc[c]
        row = dates.get_indexer(pd.DatetimeIndex(pd.to_datetime(part["date"])))
        kept = row >= 0
        row, column = row[kept], labels.get_indexer(part["order_book_id"].astype(str))[kept]
        cell = row * len(labels) + column
        if filled[cell].any():
            return _pivot(pd.to_datetime(days), ids, _holding_value(positions), dates)
        filled[cell] = True
        cells += len(cell)
        if np.count_nonzero(filled) != cells:  # a cell twice within the chunk
            return _pivot(pd.to_datetime(days), ids, _holding_value(positions), dates)
        value = _holding_value(part)[kept]
        # 0 + value, as a sum of one value gives it (-0.0 becomes 0.0; NaN is skipped)
        grid[row, column] = np.where(np.isnan(value), 0.0, value + 0.0)
    return pd.DataFrame(grid, index=dates, columns=labels, copy=False)


def _holding_layers(positions, dates, holdings):
    """Stack layers of the holdings' value (received units) by instrument, largest on average first.

    At most ``_MAX_HOLDING_LAYERS`` instruments get a layer of their own;
    the rest are summed as "Other holdings".  Without a positions table the
    holdings form one layer.
    """
    single = [(holdings, "Holdings", _HOLDING_COLORS[0])]
    if positions is None or len(positions) == 0 or not {"date", "order_book_id", "market_value"} <= set(positions):
        return single
    table = _holding_table(positions, dates)
    if table.shape[1] == 0:
        return single
    order = table.mean().sort_values(ascending=False).index
    shown = list(order[:_MAX_HOLDING_LAYERS]) if len(order) > _MAX_HOLDING_LAYERS + 1 else list(order)
    layers = [(table[i].to_numpy(dtype=float), i, _HOLDING_COLORS[k % len(_HOLDING_COLORS)])
              for k, i in enumerate(shown)]
    rest = [i for i in order if i not in shown]
    if rest:
        layers.append((table[rest].sum(axis=1).to_numpy(dtype=float), "Other holdings", _HOLDING_COLORS[-1]))
    return layers


def _percent_axis(span):
    """Tick labels for a growth-of-1 axis: as many decimals as the plotted range needs."""
    decimals = 0 if span >= 0.2 else (1 if span >= 0.02 else 2)

    def label(v, _pos=None):
        change = round((v - 1.0) * 100, decimals)
        return "0%" if change == 0 else "{:+.{d}f}%".format(change, d=decimals)

    return FuncFormatter(label)


def _style(ax):
    for side in ("top", "right"):
        ax.spines[side].set_visible(False)
    for side in ("left", "bottom"):
        ax.spines[side].set_color(_MUTED)
    ax.tick_params(colors=_MUTED, labelsize=8.5)
    ax.grid(True, color=_GRID, linewidth=0.8)
    ax.set_axisbelow(True)


def _money(value, _pos=None):
    magnitude = abs(value)
    if magnitude >= 1e9:
        return "{:.1f}B".format(value / 1e9)
    if magnitude >= 1e6:
        return "{:.2f}M".format(value / 1e6)
    if magnitude >= 1e3:
        return "{:.0f}k".format(value / 1e3)
    return "{:.0f}".format(value)


def _benchmark_label(result):
    """``000021, total return (adjusted NAV)``: the id and what its prices are."""
    basis = getattr(result, "benchmark_basis", None)
    name = result.summary.get("benchmark")
    return "{}, {}".format(name, basis) if basis and basis != "close" else "{}".format(name)


def _metric_block(fig, result):
    s = result.summary
    title = result.title or "Backtest"
    fig.text(0.06, 0.965, title, fontsize=16, fontweight="bold", color=_INK, va="top")
    sub = "{} to {}  ·  {} trading days".format(s.get("start_date"), s.get("end_date"), s.get("trading_days"))
    if s.get("benchmark"):
        sub += "  ·  benchmark {}".format(_benchmark_label(result))
    fig.text(0.06, 0.932, sub, fontsize=9.5, color=_MUTED, va="top")
    metrics = [("total_return", "Total return"), ("annual_return", "Annualised"),
               ("max_drawdown", "Max drawdown"), ("sharpe_ratio", "Sharpe"),
               ("annual_volatility", "Volatility")]
    if s.get("benchmark"):
        metrics += [("excess_return", "Excess vs benchmark")]
    else:
        metrics += [("end_value", "End value")]
    width = 0.88 / len(metrics)
    for i, (key, label) in enumerate(metrics):
        x = 0.06 + i * width
        value = s.get(key)
        text = format_summary_value(key, value)
        if key == "end_value" and value is not None:
            text = _money(value)
        color = _INK
        if key in ("total_return", "annual_return", "excess_return") and isinstance(value, float) and value == value:
            color = "#2f8132" if value >= 0 else _DRAWDOWN
        if key == "max_drawdown" and isinstance(value, float) and value < 0:
            color = _DRAWDOWN
        fig.text(x, 0.893, text, fontsize=15, fontweight="bold", color=color, va="top")
        fig.text(x, 0.857, label.upper(), fontsize=7.5, color=_MUTED, va="top")
    line = "Trades {}  ·  fees {}".format(s.get("trades"), format_summary_value("fees", s.get("fees")))
    if s.get("rejected_orders"):
        line += "  ·  {} of {} orders rejected (orders.csv)".format(s["rejected_orders"], s.get("orders"))
    line += "  ·  peak {} → trough {}".format(s.get("max_drawdown_peak") or "-", s.get("max_drawdown_trough") or "-")
    fig.text(0.06, 0.838, line, fontsize=8.5, color=_MUTED, va="top")


def plot_report(result, path, dpi=130):
    """Draw ``result`` (a :class:`~tessel.result.RunResult`) into the PNG file ``path``."""
    daily = result.daily
    start_value = float(result.summary.get("start_value") or 0.0)
    dates = pd.DatetimeIndex(daily.index)
    x = dates.to_pydatetime()
    values = daily["total_value"].to_numpy(dtype=float)

    fig = Figure(figsize=(11, 9.2), dpi=dpi, facecolor="white")
    FigureCanvasAgg(fig)
    grid = fig.add_gridspec(3, 1, height_ratios=[3.0, 1.25, 2.0], left=0.075, right=0.97, top=0.775,
                            bottom=0.06, hspace=0.32)
    ax_eq = fig.add_subplot(grid[0])
    ax_dd = fig.add_subplot(grid[1], sharex=ax_eq)
    ax_mix = fig.add_subplot(grid[2], sharex=ax_eq)
    _metric_block(fig, result)

    # Equity against benchmark, both as growth of 1.
    base = start_value if start_value else (values[0] if len(values) else 1.0)
    growth = values / base if base else values
    ax_eq.plot(x, growth, color=_STRATEGY, linewidth=1.8, label="Strategy", zorder=3)
    bench = result.benchmark
    if bench is not None and np.isfinite(np.asarray(bench, dtype=float)).any():
        prices = pd.Series(np.asarray(bench, dtype=float)).ffill().bfill().to_numpy()
        bench_base = result.benchmark_base if result.benchmark_base else prices[0]
        bench_growth = prices / bench_base
        ax_eq.plot(x, bench_growth, color=_BENCHMARK, linewidth=1.4, label="Benchmark {}".format(
            _benchmark_label(result)), zorder=2)
        span_values = np.concatenate([growth, bench_growth])
    else:
        span_values = growth
    ax_eq.axhline(1.0, color=_MUTED, linewidth=0.8, linestyle=(0, (3, 3)), zorder=1)
    ax_eq.fill_between(x, 1.0, growth, where=growth >= 1.0, color=_STRATEGY, alpha=0.07, interpolate=True)
    finite = span_values[np.isfinite(span_values)]
    ax_eq.yaxis.set_major_formatter(_percent_axis(float(np.ptp(np.append(finite, 1.0)))))
    ax_eq.set_title("Cumulative return", loc="left", fontsize=10.5, color=_INK, fontweight="bold")
    ax_eq.legend(loc="best", frameon=True, framealpha=0.85, edgecolor="none", fontsize=9)
    _style(ax_eq)

    # Underwater chart: distance below the running peak.
    wealth = np.concatenate([[start_value], values]) if start_value else values
    peaks = np.maximum.accumulate(wealth)
    with np.errstate(divide="ignore", invalid="ignore"):
        under = np.where(peaks > 0, wealth / peaks - 1.0, 0.0)[-len(values):] if len(values) else np.array([])
    ax_dd.fill_between(x, under, 0.0, color=_DRAWDOWN, alpha=0.35, linewidth=0)
    ax_dd.plot(x, under, color=_DRAWDOWN, linewidth=0.9)
    trough = result.summary.get("max_drawdown_trough")
    if trough:
        t = pd.Timestamp(trough).to_pydatetime()
        ax_dd.annotate(format_summary_value("max_drawdown", result.summary.get("max_drawdown")), (t, min(under)),
                       xytext=(6, -2), textcoords="offset points", fontsize=8.5, color=_DRAWDOWN, va="top")
    low = min(float(np.min(under)) if len(under) else 0.0, -0.001)
    ax_dd.set_ylim(low * 1.25, 0.0)
    decimals = 0 if low <= -0.05 else (1 if low <= -0.005 else 2)
    ax_dd.yaxis.set_major_formatter(PercentFormatter(1.0, decimals=decimals))
    ax_dd.set_title("Drawdown", loc="left", fontsize=10.5, color=_INK, fontweight="bold")
    _style(ax_dd)

    # Where the money sits: stacked to the total value, the holdings split by instrument.
    cash_due = (daily["receivable_cash"] + daily["dividend_receivable"]).to_numpy(dtype=float)
    units_due = daily["receivable_units_value"].to_numpy(dtype=float)
    holdings = daily["market_value"].to_numpy(dtype=float) - units_due
    layers = [(daily["cash"].to_numpy(dtype=float), "Cash", _CASH)]
    layers += _holding_layers(result.positions, dates, holdings)
    for part, (_, label, color) in ((units_due, _STACK[2]), (cash_due, _STACK[3])):
        if np.any(np.abs(part) > 1e-9):
            layers.append((part, label, color))
    ax_mix.stackplot(x, *[p for p, _, _ in layers], labels=[lbl for _, lbl, _ in layers],
                     colors=[c for _, _, c in layers], alpha=0.85, linewidth=0)
    ax_mix.plot(x, values, color=_INK, linewidth=0.8, label="Total value")
    ax_mix.yaxis.set_major_formatter(FuncFormatter(_money))
    ax_mix.set_title("Allocation", loc="left", fontsize=10.5, color=_INK, fontweight="bold")
    columns = min(len(layers) + 1, 6)
    ax_mix.legend(loc="upper left", frameon=False, fontsize=8.5, ncol=columns)
    # Head room for the legend's rows.
    rows = -(-(len(layers) + 1) // columns)
    ax_mix.set_ylim(0, max(float(np.nanmax(values)) if len(values) else 1.0, 1.0) * (1.08 + 0.1 * rows))
    _style(ax_mix)

    locator = mdates.AutoDateLocator(minticks=4, maxticks=10)
    ax_mix.xaxis.set_major_locator(locator)
    ax_mix.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))
    for ax in (ax_eq, ax_dd):
        ax.tick_params(labelbottom=False)
    if len(x):
        ax_eq.set_xlim(x[0], x[-1])
    fig.savefig(path, dpi=dpi, facecolor="white")
    return path

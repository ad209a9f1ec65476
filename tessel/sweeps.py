"""Parameter sweeps: one backtest per combination of parameter values, on Dask.

A sweep is the cartesian product of its grids (``{"weight": [0.4, 0.6],
"fund": ["000025", "000034"]}`` gives four combinations, the last grid
varying fastest).  Each combination is one task on a Dask cluster, a local
one of worker processes by default or an existing one through its
scheduler's address; the task runs exactly what ``tessel run --param ...``
runs and sends back the summary (and, when asked, the report files).

Runs in one worker process follow each other, never overlap (the engine
keeps its current run in a process-wide slot), and each starts from a clean
engine state: the plug-in's process-wide caches are emptied first, so no
combination can see what an earlier one left behind, and the table is the
same whatever the worker count or the order in which tasks finish.

A task lost with its worker is run once more; lost again, its row is
``failed``.  Workers must see the strategy file, the fund database and the
bundle at the same paths as the machine that starts the sweep; one worker
checks that before any task is sent.
"""
import contextlib
import hashlib
import itertools
import json
import math
import os
import sys
import tempfile
import threading
import types
import uuid

from tessel.params import check_grid_values, check_param_name

OK = "ok"
FAILED = "failed"

# Figures a sweep can rank combinations by; for these a lower value is better.
METRICS = ("sharpe_ratio", "total_return", "annual_return", "annual_volatility", "max_drawdown", "end_value",
           "trades", "fees", "orders", "rejected_orders", "excess_return", "tracking_error",
           "benchmark_total_return", "benchmark_annual_return")
LOWER_IS_BETTER = frozenset(("annual_volatility", "fees", "rejected_orders", "tracking_error"))
_NEEDS_BENCHMARK = frozenset(("excess_return", "tracking_error", "benchmark_total_return",
                              "benchmark_annual_return"))

# How long the sweep waits for a cluster's first worker before giving up.
WORKER_WAIT_SECONDS = 60


class SweepError(Exception):
    """The sweep cannot start (bad grid, a worker that cannot see the data, no cluster)."""


# --- the grid -----------------------------------------------------------------------------

def normalise_grid(grid):
    """``grid`` (mapping, or pairs, of name -> values) as a list of ``(name, [values])`` in order."""
    items = list(grid.items()) if hasattr(grid, "items") else list(grid)
    if not items:
        raise SweepError("the grid is empty: give at least one parameter with its values (--grid NAME=V1,V2)")
    names = set()
    result = []
    for name, values in items:
        try:
            check_param_name(name, "grid")
            values = check_grid_values(name, values)
        except ValueError as exc:
            raise SweepError(str(exc)) from None
        if name in names:
            raise SweepError("grid {}: the parameter is given twice".format(name))
        names.add(name)
        result.append((name, values))
    return result


def combinations(grid):
    """Every combination of the grid as a dict, in a stable order (the last parameter varies fastest)."""
    grid = normalise_grid(grid)
    names = [name for name, _ in grid]
    return [dict(zip(names, values)) for values in itertools.product(*(values for _, values in grid))]


# --- what a task carries and runs ---------------------------------------------------------

def _digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def make_plan(strategy_file, grid, user_config=None, database=None, metric="sharpe_ratio", keep_runs=False,
              log_level="none"):
    """Everything the tasks need, checked on this machine first (paths made absolute)."""
    from tessel.config import deep_merge, load_config, _read_yaml
    from tessel.data.nav_window import outside_fund_data
    from tessel.run import check_strategy_file

    import vexdatac

    check_strategy_file(strategy_file)
    grid = normalise_grid(grid)
    if user_config is None:
        user = {}
    elif isinstance(user_config, (str, os.PathLike)):
        user = _read_yaml(user_config)
    else:
        user = deep_merge({}, user_config)
    config = load_config(user)
    names = [name for name, _ in grid]
    if metric not in METRICS:
        raise SweepError("unknown metric {!r} (choose from {})".format(metric, ", ".join(METRICS)))
    if metric in _NEEDS_BENCHMARK and not config.base.get("benchmark"):
        raise SweepError("metric {} needs a benchmark (--benchmark ID or base.benchmark)".format(metric))
    # Paths as every worker must see them.
    base = dict(user.get("base") or {})
    base["data_bundle_path"] = os.path.abspath(config.base.data_bundle_path)
    user["base"] = base
    database = os.path.abspath(os.path.expanduser(str(database or vexdatac.get_database_path())))
    strategy = os.path.abspath(strategy_file)
    return {
        # Every combination shares the window: whether it reaches beyond the (current) fund
        # database's NAV data is told once, before the runs.
        "outside": outside_fund_data(config, "sweep"),
        "strategy": strategy,
        "strategy_digest": _digest(strategy),
        "database": database,
        "bundle": base["data_bundle_path"],
        "config": user,
        "names": names,
        "combinations": [dict(zip(names, values)) for values in itertools.product(*(v for _, v in grid))],
        "metric": metric,
        "keep_runs": bool(keep_runs),
        "log_level": log_level,
    }


def fresh_engine_state():
    """Forget what an earlier run in this process left behind.

    The engine's current-run slot is emptied and every cache kept by the
    engine's, the fund plug-in's and the data client's modules (module
    functions, class methods, property getters) is cleared, so the next run
    reads its data afresh.
    """
    from tessel.environment import Environment

    Environment._env = None
    for name, module in list(sys.modules.items()):
        if module is None or name.partition(".")[0] not in _STATEFUL_PACKAGES:
            continue
        for value in list(vars(module).values()):
            _clear_cache(value)
            if isinstance(value, type):
                for member in list(vars(value).values()):
                    _clear_cache(member)
                    if isinstance(member, property):
                        _clear_cache(member.fget)


_STATEFUL_PACKAGES = frozenset(("tessel", "tessel_mod_fund", "vexdatac"))


def _clear_cache(obj):
    if isinstance(obj, types.ModuleType) or not callable(obj):
        return
    clear = getattr(obj, "cache_clear", None)
    if callable(clear) and not isinstance(obj, type):
        clear()


def _one_line(text):
    return " ".join(str(text).split())


def failure_message(exc, strategy):
    """The one-line message ``tessel run`` prints for a run that ended with ``exc``."""
    from tessel.mod import ModLoadError
    from tessel.run import describe_failure

    located = describe_failure(exc, strategy)
    if isinstance(exc, (ValueError, ImportError, OSError, ModLoadError)) and not located.startswith("strategy "):
        return _one_line(exc)
    return _one_line(located)


def json_summary(summary):
    """The summary exactly as ``summary.json`` holds it (dates as text, missing figures as None)."""
    from tessel.result import dump_summary

    return json.loads(dump_summary(summary))


_RUN_LOCK = threading.Lock()


def task_of(plan, index):
    """What a worker needs to run combination ``index``: the plan without the other combinations."""
    task = {k: v for k, v in plan.items() if k != "combinations"}
    task["index"] = index
    task["params"] = plan["combinations"][index]
    return task


def run_combination(task):
    """Run one combination (``task_of``) in this process; the row's raw material as a dict."""
    with _RUN_LOCK:
        return _run_combination(task)


def _run_combination(plan):
    from tessel.config import deep_merge
    from tessel.run import run
    from tessel.utils.logger import console_logging

    import vexdatac

    params, index = plan["params"], plan["index"]
    outcome = {"index": index, "status": OK, "error": "", "summary": None, "report": None}
    fresh_engine_state()
    vexdatac.set_database(plan["database"])
    try:
        user = deep_merge(plan["config"], {"params": params})
        with console_logging(plan["log_level"]):
            result = run(user, plan["strategy"])
        outcome["summary"] = json_summary(result.summary)
        if plan["keep_runs"]:
            with tempfile.TemporaryDirectory(prefix="tessel-sweep-") as tmp:
                paths = result.save(tmp)
                report = {}
                for path in paths.values():
                    with open(path, "rb") as f:
                        report[os.path.basename(path)] = f.read()
            outcome["report"] = report
    except Exception as exc:
        outcome.update(status=FAILED, error=failure_message(exc, plan["strategy"]), summary=None, report=None)
        if plan.get("traceback"):
            import traceback

            outcome["traceback"] = traceback.format_exc()
    finally:
        vexdatac.set_database(None)
        fresh_engine_state()
    return outcome


def check_paths(plan):
    """On a worker: the problems (text) that keep it from running the plan's tasks; empty when none."""
    from tessel.run import StrategyLoadError, check_strategy_file
    from vexdatac.config import open_readonly

    where = _worker_address()
    problems = []
    strategy = plan["strategy"]
    try:
        check_strategy_file(strategy)
        if _digest(strategy) != plan["strategy_digest"]:
            problems.append("worker {} sees a different strategy file at {} (it must be the same file)".format(
                where, strategy))
    except (StrategyLoadError, OSError) as exc:
        problems.append("worker {} cannot read the strategy file {}: {}".format(where, strategy, exc))
    try:
        open_readonly(plan["database"]).close()
    except Exception as exc:
        problems.append("worker {} cannot open the fund database {}: {}".format(
            where, plan["database"], _one_line(exc)))
    calendar = os.path.join(plan["bundle"], "trading_dates.csv")
    try:
        with open(calendar, "rb") as f:
            f.read(1)
    except OSError as exc:
        problems.append("worker {} cannot read the bundle {} ({}: {})".format(
            where, plan["bundle"], calendar, exc.strerror or exc))
    return problems


def _worker_address():
    try:
        from distributed import get_worker

        return get_worker().address
    except (ImportError, ValueError):
        return "(local)"


# --- running on a cluster -----------------------------------------------------------------

def _distributed():
    try:
        import distributed
    except ImportError:
        raise SweepError("tessel sweep needs Dask distributed: pip install distributed") from None
    return distributed


@contextlib.contextmanager
def open_client(scheduler=None, workers=None):
    """A Dask client: on the cluster at ``scheduler``, or on a local cluster of ``workers`` processes."""
    distributed = _distributed()
    import dask
    import logging

    if scheduler:
        try:
            client = distributed.Client(scheduler, timeout="20s")
        except (OSError, TimeoutError) as exc:
            raise SweepError("cannot reach the Dask scheduler at {}: {}".format(scheduler, exc)) from None
        try:
            yield client
        finally:
            client.close()
        return
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
        raise SweepError("workers: expected a whole number >= 1, got {!r}".format(workers))
    count = workers or os.cpu_count() or 1
    # One run per worker process at a time; a task lost with its worker is tried once more.
    with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
        cluster = distributed.LocalCluster(n_workers=count, threads_per_worker=1, processes=True,
                                           host="127.0.0.1", scheduler_port=0, dashboard_address="127.0.0.1:0",
                                           silence_logs=logging.ERROR)
    try:
        with distributed.Client(cluster) as client:
            # Ctrl-C reaches the whole process group: the sweep stops its own workers.
            client.register_plugin(_IgnoreInterrupt())
            yield client
    finally:
        cluster.close()


try:
    from distributed.diagnostics.plugin import WorkerPlugin as _WorkerPlugin
except ImportError:  # reported when a sweep starts (_distributed)
    _WorkerPlugin = object


class _IgnoreInterrupt(_WorkerPlugin):
    """Worker plugin: the local cluster's workers leave Ctrl-C to the sweep that started them."""

    name = "tessel-sweep-ignore-interrupt"

    def setup(self, worker):
        import signal

        if threading.current_thread() is threading.main_thread():
            signal.signal(signal.SIGINT, signal.SIG_IGN)


def check_workers(client, plan):
    """Make sure a worker exists and can see the plan's files; raises SweepError naming the path otherwise."""
    try:
        client.wait_for_workers(1, timeout=WORKER_WAIT_SECONDS)
    except (TimeoutError, OSError):
        raise SweepError("no Dask worker joined the scheduler within {} s".format(WORKER_WAIT_SECONDS)) from None
    check = client.submit(check_paths, task_of(plan, 0), pure=False, key="tessel-sweep-check-" + uuid.uuid4().hex)
    try:
        problems = check.result()
    except Exception as exc:
        # Typically a worker without this package (or another version of it) installed.
        raise SweepError("a worker cannot run the sweep's tasks ({}: {}); workers need the same packages "
                         "installed as this machine".format(type(exc).__name__, _one_line(exc))) from None
    if problems:
        raise SweepError("; ".join(problems) + ". Workers need the strategy file, the fund database and the "
                         "bundle at the same paths as this machine (shared storage).")


def _lost_message(exc):
    return "the worker running this combination was lost, also when it was run again ({}: {})".format(
        type(exc).__name__, _one_line(exc))


def execute(plan, client, on_outcome=None):
    """Run every combination of ``plan`` on ``client``; returns (outcomes by index, interrupted).

    ``on_outcome(outcome)`` is called as each combination finishes.  Ctrl-C
    cancels what has not finished and returns what has.
    """
    distributed = _distributed()
    token = uuid.uuid4().hex[:12]
    futures = {}
    for index in range(len(plan["combinations"])):
        future = client.submit(run_combination, task_of(plan, index), pure=False,
                               key="tessel-sweep-{}-{}".format(token, index))
        futures[future] = index
    outcomes = {}
    interrupted = False
    try:
        for future in distributed.as_completed(list(futures)):
            index = futures[future]
            try:
                outcome = future.result()
            except distributed.KilledWorker as exc:
                outcome = {"index": index, "status": FAILED, "error": _lost_message(exc), "summary": None,
                           "report": None}
            except Exception as exc:
                outcome = {"index": index, "status": FAILED, "error": _one_line(
                    "{}: {}".format(type(exc).__name__, exc)), "summary": None, "report": None}
            outcomes[index] = outcome
            if on_outcome is not None:
                on_outcome(outcome)
    except KeyboardInterrupt:
        interrupted = True
        try:
            client.cancel(list(futures), force=True)
        except Exception:
            pass
    return outcomes, interrupted


# --- the table and the figure -------------------------------------------------------------

def results_table(plan, outcomes):
    """The rows of ``results.csv`` for the finished combinations, in grid order."""
    import pandas as pd

    names = plan["names"]
    figures = []
    records = []
    for index in sorted(outcomes):
        outcome = outcomes[index]
        record = dict(plan["combinations"][index])
        record["status"] = outcome["status"]
        record["error"] = outcome["error"]
        for key, value in (outcome["summary"] or {}).items():
            if key not in figures:
                figures.append(key)
            record[key] = value
        records.append(record)
    columns = names + ["status", "error"] + figures
    table = pd.DataFrame.from_records(records, columns=columns) if records else pd.DataFrame(columns=columns)
    for key in figures:
        # Counts stay whole numbers next to the empty figures of failed rows (58, not 58.0).
        present = [v for v in (r.get(key) for r in records) if v is not None]
        if present and all(isinstance(v, int) and not isinstance(v, bool) for v in present) \
                and len(present) < len(records):
            table[key] = pd.array([r.get(key) for r in records], dtype="Int64")
    return table


def _atomic_write(path, write):
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".tmp-", dir=directory)
    os.close(fd)
    try:
        write(tmp)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def write_results(table, out_dir):
    path = os.path.join(out_dir, "results.csv")
    _atomic_write(path, lambda tmp: table.to_csv(tmp, index=False))
    return path


def write_run_report(out_dir, index, report):
    """One combination's report files into ``out_dir/runs/<k>/`` (k counts the rows from 1)."""
    directory = os.path.join(out_dir, "runs", str(index + 1))
    os.makedirs(directory, exist_ok=True)
    for name, data in report.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)
    return directory


def best_row(table, metric):
    """The ``ok`` row with the best ``metric`` (None when there is none); ties go to the earlier row."""
    if metric not in table.columns:
        return None
    values = [_number(v) for v in table[metric]]
    best = None
    for position, (status, value) in enumerate(zip(table["status"], values)):
        if status != OK or value is None:
            continue
        if best is None or (value < values[best] if metric in LOWER_IS_BETTER else value > values[best]):
            best = position
    return None if best is None else table.iloc[best]


def _number(value):
    try:
        number = float(value)
    except (TypeError, ValueError):
        return None
    return None if math.isnan(number) else number


def format_figure(metric, value):
    """``value`` of ``metric`` as the run's summary table shows it (percentages, money, ratios)."""
    from tessel.result import format_summary_value

    number = _number(value)
    if number is not None and float(number).is_integer() and metric in ("trades", "orders", "rejected_orders"):
        number = int(number)
    return format_summary_value(metric, number)


def describe_combination(row, names):
    return ", ".join("{}={}".format(name, row[name]) for name in names)


def plot_sweep(table, names, metric, path):
    """``metric`` over the grid: a line (numbers) or bars for one parameter, a heat map for two,
    small multiples of heat maps for three (up to 12 panels), else the best combinations."""
    import numpy as np
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    label = metric.replace("_", " ")
    values = np.array([_number(v) if s == OK else None for v, s in zip(
        table[metric] if metric in table.columns else [None] * len(table), table["status"])], dtype=float)
    cmap = "viridis_r" if metric in LOWER_IS_BETTER else "viridis"

    def axis_values(name):
        seen = []
        for value in table[name]:
            if not any(value == s and type(value) is type(s) for s in seen):
                seen.append(value)
        return seen

    def position(seq, value):
        return next(i for i, s in enumerate(seq) if s == value and type(s) is type(value))

    def heat(ax, rows, columns, frame, frame_values, title=None):
        grid = np.full((len(rows), len(columns)), np.nan)
        for (r, c), v in zip(zip(frame[names[0]], frame[names[1]]), frame_values):
            grid[position(rows, r), position(columns, c)] = v
        masked = np.ma.masked_invalid(grid)
        image = ax.imshow(masked, cmap=cmap, aspect="auto", vmin=vmin, vmax=vmax)
        ax.set_facecolor("#dddddd")
        ax.set_xticks(range(len(columns)), [str(c) for c in columns], rotation=45 if len(columns) > 6 else 0)
        ax.set_yticks(range(len(rows)), [str(r) for r in rows])
        ax.set_xlabel(names[1])
        ax.set_ylabel(names[0])
        if title:
            ax.set_title(title, fontsize=9)
        if grid.size <= 100:
            span = (vmax - vmin) or 1.0
            for (i, j), v in np.ndenumerate(grid):
                # Dark text on the light end of the colour map, light text on the dark end.
                light = not np.isnan(v) and ((v - vmin) / span > 0.6) != (metric in LOWER_IS_BETTER)
                ax.text(j, i, "failed" if np.isnan(v) else "{:.3g}".format(v), ha="center", va="center",
                        fontsize=8, color="black" if np.isnan(v) or light else "white")
        return image

    finite = values[np.isfinite(values)]
    vmin, vmax = (float(finite.min()), float(finite.max())) if finite.size else (0.0, 1.0)
    figure = Figure(figsize=(8, 5.5), dpi=110)
    FigureCanvasAgg(figure)
    if len(table) == 0:
        ax = figure.add_subplot()
        ax.text(0.5, 0.5, "no combination finished", ha="center", va="center")
        ax.set_axis_off()
    elif len(names) == 1:
        ax = figure.add_subplot()
        xs = list(table[names[0]])
        numeric = all(isinstance(x, (int, float)) and not isinstance(x, bool) for x in xs)
        if numeric and len(xs) > 1:
            order = np.argsort(np.array(xs, dtype=float), kind="stable")
            ax.plot(np.array(xs, dtype=float)[order], values[order], marker="o")
        else:
            colors = ["C0" if np.isfinite(v) else "#bbbbbb" for v in values]
            ax.bar(range(len(xs)), np.nan_to_num(values), color=colors)
            ax.set_xticks(range(len(xs)), [str(x) for x in xs], rotation=45 if len(xs) > 6 else 0)
        ax.set_xlabel(names[0])
        ax.set_ylabel(label)
        ax.grid(alpha=0.3)
    elif len(names) == 2:
        ax = figure.add_subplot()
        image = heat(ax, axis_values(names[0]), axis_values(names[1]), table, values)
        figure.colorbar(image, ax=ax, label=label)
    else:
        rest = names[2:]
        panels = list(dict.fromkeys(tuple(str(row[n]) for n in rest) for _, row in table.iterrows()))
        if len(names) == 3 and len(panels) <= 12:
            columns_n = min(3, len(panels))
            rows_n = int(math.ceil(len(panels) / columns_n))
            figure.set_size_inches(4 * columns_n + 1, 3.4 * rows_n)
            axes = figure.subplots(rows_n, columns_n, squeeze=False)
            rows, columns = axis_values(names[0]), axis_values(names[1])
            keys = [tuple(str(row[n]) for n in rest) for _, row in table.iterrows()]
            image = None
            for ax, panel in zip(axes.flat, panels):
                mask = np.array([k == panel for k in keys])
                image = heat(ax, rows, columns, table[mask], values[mask],
                             title=", ".join("{}={}".format(n, v) for n, v in zip(rest, panel)))
            for ax in list(axes.flat)[len(panels):]:
                ax.set_axis_off()
            figure.colorbar(image, ax=axes, label=label)
        else:
            ax = figure.add_subplot()
            ok = np.isfinite(values)
            order = [i for i in np.argsort(values if metric in LOWER_IS_BETTER else -values, kind="stable")
                     if ok[i]][:20]
            labels = [describe_combination(table.iloc[i], names) for i in order]
            ax.barh(range(len(order)), values[order], color="C0")
            ax.set_yticks(range(len(order)), labels, fontsize=7)
            ax.invert_yaxis()
            ax.set_xlabel(label)
            ax.set_title("best {} of {} combinations".format(len(order), len(table)), fontsize=10)
            ax.grid(alpha=0.3, axis="x")
    figure.suptitle("{} over the grid".format(label))
    if len(names) < 3:
        figure.tight_layout()
    _atomic_write(path, lambda tmp: figure.savefig(tmp, format="png"))
    return path


# --- the whole sweep ----------------------------------------------------------------------

class SweepOutcome:
    """What a sweep produced: the table, how many failed, how many did not run."""

    def __init__(self, table, total, interrupted, paths, tracebacks=None):
        self.table = table
        self.tracebacks = tracebacks or {}
        self.total = total
        self.interrupted = interrupted
        self.paths = paths

    @property
    def failed(self):
        return int((self.table["status"] == FAILED).sum()) if len(self.table) else 0

    @property
    def finished(self):
        return len(self.table)

    @property
    def not_run(self):
        return self.total - self.finished


def run_sweep(plan, output=None, scheduler=None, workers=None, progress=False):
    """Run ``plan``; writes ``results.csv``, ``sweep.png`` (and ``runs/<k>/``) into ``output`` if given."""
    if output:
        os.makedirs(output, exist_ok=True)
    names, metric, total = plan["names"], plan["metric"], len(plan["combinations"])
    outcomes = {}
    bar = None

    def on_outcome(outcome):
        outcomes[outcome["index"]] = outcome
        table = results_table(plan, outcomes)
        if output:
            if outcome.get("report"):
                write_run_report(output, outcome["index"], outcome["report"])
            # Rewritten as rows arrive: a sweep stopped half-way keeps what it finished.
            write_results(table, output)
        if bar is not None:
            row = best_row(table, metric)
            if row is not None:
                bar.set_postfix_str("best {} {} ({})".format(metric, format_figure(metric, row[metric]),
                                                             describe_combination(row, names)), refresh=False)
            bar.update(1)

    try:
        with open_client(scheduler, workers) as client:
            check_workers(client, plan)
            if progress:
                from tqdm import tqdm

                bar = tqdm(total=total, unit="run", desc="sweep", file=sys.stderr, dynamic_ncols=True)
            _, interrupted = execute(plan, client, on_outcome)
    finally:
        if bar is not None:
            bar.close()
    table = results_table(plan, outcomes)
    paths = {}
    if output:
        paths["results"] = write_results(table, output)
        paths["plot"] = plot_sweep(table, names, metric, os.path.join(output, "sweep.png"))
    tracebacks = {i: o["traceback"] for i, o in sorted(outcomes.items()) if o.get("traceback")}
    return SweepOutcome(table, total, interrupted, paths, tracebacks)


def sweep(strategy_file, grid, config=None, scheduler=None, workers=None, *, output=None, metric="sharpe_ratio",
          keep_runs=False, progress=False):
    """Backtest ``strategy_file`` once per combination of ``grid``; returns the results table.

    ``grid`` maps parameter names to their values (``{"equity_weight":
    [0.4, 0.6], "bond": ["000025", "000034"]}``); ``config`` is a
    configuration dict or YAML file as for ``tessel.run.run`` (its
    ``params`` are the fixed ones).  ``scheduler`` (``tcp://host:port``)
    runs on an existing Dask cluster, otherwise a local cluster of
    ``workers`` processes (default: one per core) is started and stopped.
    With ``output``, ``results.csv`` and ``sweep.png`` (and with
    ``keep_runs`` every run's report under ``runs/<k>/``) are written there.
    Ctrl-C stops the sweep: the finished rows are kept, then
    ``KeyboardInterrupt`` is raised.
    """
    from tessel.utils.logger import system_log

    plan = make_plan(strategy_file, grid, config, metric=metric, keep_runs=keep_runs and bool(output))
    if plan["outside"]:  # said once here; each run's own log says it too
        system_log.warning("%s", plan["outside"])
    outcome = run_sweep(plan, output=output, scheduler=scheduler, workers=workers, progress=progress)
    if outcome.interrupted:
        raise KeyboardInterrupt("sweep interrupted: {} of {} combinations did not run".format(
            outcome.not_run, outcome.total))
    return outcome.table

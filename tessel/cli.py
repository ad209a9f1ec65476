"""Command line: ``tessel run STRATEGY.py`` and ``tessel config``.

Configuration is layered: the engine's defaults, then ``--config FILE``,
then every ``--set KEY=VALUE`` / ``--mod KEY=VALUE`` in the order given,
then the dedicated options (``--start-date``, ``--cash``...).  Bad input
ends with a one-line error and a non-zero exit code, never a traceback
(``--traceback`` shows it for run failures when you need it).
"""
import datetime as _dt
import os
import sys
import traceback

import click
import yaml

from tessel.config import (check_section_kinds, deep_merge, did_you_mean, load_config, load_default_config,
                           nested_override, parse_override, unknown_plugin_keys)
from tessel.utils.logger import LOG_LEVELS, console_logging


def _config_options(func):
    options = [
        click.option("--config", "-c", "config_file", type=click.Path(dir_okay=False),
                     help="YAML configuration file (merged over the defaults)."),
        click.option("--start-date", help="First day of the run (YYYY-MM-DD)."),
        click.option("--end-date", help="Last day of the run (YYYY-MM-DD)."),
        click.option("--cash", type=float, help="Starting cash of the STOCK account."),
        click.option("--bundle", type=click.Path(file_okay=False),
                     help="Data bundle directory (holds trading_dates.csv)."),
        click.option("--db", type=click.Path(dir_okay=False),
                     help="Fund database file for the data client (sets VEXDATAC_DB)."),
        click.option("--benchmark", help="Order book id of the benchmark instrument."),
        click.option("--mod", "mod_overrides", multiple=True, metavar="SECTION.KEY=VALUE",
                     help="Plug-in setting, e.g. --mod fund.status_limit=false (repeatable)."),
        click.option("--set", "set_overrides", multiple=True, metavar="DOTTED.KEY=VALUE",
                     help="Any setting, e.g. --set base.risk_free_rate=0.02 (repeatable)."),
        click.option("--param", "param_values", multiple=True, metavar="NAME=VALUE",
                     help="Strategy parameter, read as context.params[NAME] (repeatable)."),
    ]
    for option in reversed(options):
        func = option(func)
    return func


def _read_config_file(path):
    if path is None:
        return {}
    if not os.path.isfile(path):
        raise click.ClickException("configuration file {} does not exist".format(path))
    from tessel.config import _read_yaml

    try:
        return _read_yaml(path)
    except ValueError as exc:
        raise click.ClickException(str(exc)) from None


def _user_config(config_file, start_date, end_date, cash, bundle, db, benchmark, mod_overrides, set_overrides,
                 param_values=()):
    user = _read_config_file(config_file)
    try:
        check_section_kinds(user)
    except ValueError as exc:
        raise click.ClickException(str(exc)) from None
    known_sections = set(load_default_config().get("mod") or {}) | set(user.get("mod") or {})
    overrides = []
    try:
        overrides += [parse_override(text) for text in set_overrides]
        overrides += [(("mod",) + parts, value) for parts, value in (parse_override(t) for t in mod_overrides)]
    except ValueError as exc:
        raise click.ClickException(str(exc)) from None
    new_sections = {parts[1] for parts, _ in overrides if parts[0] == "mod" and len(parts) == 3 and parts[2] == "lib"}
    for parts, value in overrides:
        if parts[0] == "mod" and len(parts) >= 2 and parts[1] not in known_sections | new_sections:
            raise click.ClickException("unknown plug-in section '{}' in override {}=...{} (known: {})".format(
                parts[1], ".".join(parts), did_you_mean(parts[1], sorted(known_sections), "mod."),
                ", ".join(sorted(known_sections))))
        user = deep_merge(user, nested_override(parts, value))
    base = {}
    if start_date is not None:
        base["start_date"] = start_date
    if end_date is not None:
        base["end_date"] = end_date
    if bundle is not None:
        base["data_bundle_path"] = bundle
    if benchmark is not None:
        base["benchmark"] = benchmark
    if cash is not None:
        accounts = dict((user.get("base") or {}).get("accounts") or {})
        accounts = {k: v for k, v in accounts.items() if str(k).upper() != "STOCK"}
        accounts["STOCK"] = cash
        base["accounts"] = accounts
    if base:
        user = deep_merge(user, {"base": base})
    if param_values:
        user = deep_merge(user, {"params": _parsed_params(param_values)})
    if db is not None:
        if not os.path.isfile(db):
            raise click.ClickException("fund database {} does not exist (build one with `vexdatac sample "
                                       "--db {}`)".format(db, db))
        os.environ["VEXDATAC_DB"] = os.path.abspath(db)
    try:
        config = load_config(user)
    except ValueError as exc:
        raise click.ClickException(str(exc)) from None
    return user, config


def _parsed_params(texts):
    from tessel.params import parse_param

    params = {}
    for text in texts:
        try:
            name, value = parse_param(text)
        except ValueError as exc:
            raise click.ClickException(str(exc)) from None
        params[name] = value
    return params


def _plain(value):
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, str):
        return str.__str__(value) if not hasattr(value, "value") else str(value.value)
    if isinstance(value, (_dt.date, int, float, bool)) or value is None:
        return value
    return str(value)


@click.group()
@click.version_option(package_name=None, version=__import__("tessel").__version__, prog_name="tessel")
def main():
    """The tessel backtesting engine."""


@main.command("config")
@_config_options
def config_command(**options):
    """Print the effective configuration (defaults, file and options merged) as YAML."""
    _, config = _user_config(**options)
    click.echo(yaml.safe_dump(_plain(config.to_dict()), sort_keys=False, allow_unicode=True).rstrip())
    for key in unknown_plugin_keys(config):
        click.echo("warning: {} is not a setting of the plug-in and is ignored".format(key), err=True)


@main.command("run")
@click.argument("strategy", type=click.Path(dir_okay=False))
@_config_options
@click.option("--output", "-o", type=click.Path(file_okay=False),
              help="Directory for the report: CSV tables, summary.json, report.png.")
@click.option("--no-progress", is_flag=True, help="Do not show the progress bar.")
@click.option("--traceback", "show_traceback", is_flag=True, help="Show the full traceback when the run fails.")
@click.option("--log-level", type=click.Choice(LOG_LEVELS), default="info", show_default=True,
              help="Least severe log lines shown on stderr (the strategy's logger and the engine's, "
                   "e.g. rejected orders); 'none' hides them.")
def run_command(strategy, output, no_progress, show_traceback, log_level, **options):
    """Backtest STRATEGY, a Python file defining init/before_trading/handle_bar/after_trading."""
    with console_logging(log_level):
        _run(strategy, output, no_progress, show_traceback, options)


class _Interrupted(click.ClickException):
    exit_code = 130


def _run(strategy, output, no_progress, show_traceback, options):
    from tessel.mod import ModLoadError
    from tessel.run import StrategyExitError, StrategyLoadError, check_strategy_file, describe_failure, run

    try:
        check_strategy_file(strategy)
    except StrategyLoadError as exc:
        raise click.ClickException(str(exc)) from None
    user, config = _user_config(**options)
    progress = not no_progress and sys.stderr.isatty()
    try:
        result = run(user, strategy, progress=progress)
    except StrategyExitError as exc:
        if show_traceback:
            traceback.print_exc()
        raise click.ClickException(str(exc)) from None
    except (ValueError, ImportError, OSError, ModLoadError) as exc:
        if show_traceback:
            traceback.print_exc()
        # Bad input: configuration values, bundle, calendar, strategy loading, plug-in libs.
        located = describe_failure(exc, strategy)
        raise click.ClickException(located if located.startswith("strategy ") else str(exc)) from None
    except Exception as exc:
        if show_traceback:
            traceback.print_exc()
        raise click.ClickException(describe_failure(exc, strategy)) from None
    # The report first: a closed standard output must not cost the files.
    paths = _save_report(result, output) if output else None
    try:
        click.echo(result.report_text())
        if paths is not None:
            click.echo("\nreport written to {} ({})".format(output, ", ".join(
                os.path.basename(p) for p in paths.values())))
        sys.stdout.flush()
    except BrokenPipeError:
        _stdout_gone()


def _save_report(result, output):
    from tessel.result import ReportSaveError

    earlier = os.path.isdir(output)
    try:
        return result.save(output)
    except ReportSaveError as exc:
        raise click.ClickException("cannot write the report to {}: {}".format(output, exc)) from None
    except KeyboardInterrupt:
        raise _Interrupted("interrupted while writing the report to {}; {}".format(
            output, "the earlier report there is unchanged" if earlier else "nothing was written there")) from None


def _stdout_gone():
    """The reader of standard output went away (``| head``): end quietly, with status 1.

    Standard output is pointed at the null device first, so the interpreter's
    final flush does not fail a second time with a message of its own.
    """
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):  # not a real file (a test runner's buffer)
        pass
    sys.exit(1)


@main.command("sweep")
@click.argument("strategy", type=click.Path(dir_okay=False))
@_config_options
@click.option("--grid", "grids", multiple=True, required=True, metavar="NAME=V1,V2,...",
              help="Values of one parameter to sweep over (repeatable: every combination runs).")
@click.option("--output", "-o", required=True, type=click.Path(file_okay=False),
              help="Directory for results.csv, sweep.png (and runs/ with --keep-runs).")
@click.option("--metric", default="sharpe_ratio", show_default=True,
              help="Figure shown in sweep.png and ranked by the progress bar.")
@click.option("--workers", type=click.IntRange(min=1), help="Worker processes of the local cluster "
              "(default: one per core).")
@click.option("--scheduler", metavar="tcp://HOST:PORT", help="Run on this existing Dask cluster instead.")
@click.option("--keep-runs", is_flag=True, help="Also write each combination's full report to OUT/runs/<k>/.")
@click.option("--no-progress", is_flag=True, help="Do not show the progress bar.")
@click.option("--traceback", "show_traceback", is_flag=True, help="Show the full traceback of failed runs.")
@click.option("--log-level", type=click.Choice(LOG_LEVELS), default="none", show_default=True,
              help="Least severe log lines of the runs shown on stderr (by the workers).")
@click.pass_context
def sweep_command(ctx, strategy, grids, output, metric, workers, scheduler, keep_runs, no_progress,
                  show_traceback, log_level, **options):
    """Backtest STRATEGY once per combination of the --grid values and tabulate the results."""
    from tessel.params import parse_grid
    from tessel.run import StrategyLoadError, check_strategy_file
    from tessel.sweeps import SweepError, best_row, describe_combination, format_figure, make_plan, run_sweep

    try:
        check_strategy_file(strategy)
    except StrategyLoadError as exc:
        raise click.ClickException(str(exc)) from None
    grid = []
    try:
        for text in grids:
            grid.append(parse_grid(text))
    except ValueError as exc:
        raise click.ClickException(str(exc)) from None
    fixed = {name for name in _parsed_params(options["param_values"])}
    for name, _ in grid:
        if name in fixed:
            raise click.ClickException("parameter {} is given both by --param and by --grid".format(name))
    user, _ = _user_config(**options)
    try:
        plan = make_plan(strategy, grid, user, metric=metric, keep_runs=keep_runs, log_level=log_level)
        plan["traceback"] = show_traceback
        if plan["outside"]:  # said once, whatever the runs' log level
            click.echo("warning: " + plan["outside"], err=True)
        outcome = run_sweep(plan, output=output, scheduler=scheduler, workers=workers,
                            progress=not no_progress and sys.stderr.isatty())
    except (SweepError, ValueError) as exc:
        raise click.ClickException(str(exc)) from None
    except OSError as exc:
        raise click.ClickException("cannot write the sweep's results to {}: {}".format(output, exc)) from None
    table = outcome.table
    names = plan["names"]
    for _, row in table[table["status"] == "failed"].iterrows():
        click.echo("failed: {}: {}".format(describe_combination(row, names), row["error"]), err=True)
    for text in outcome.tracebacks.values():
        click.echo(text.rstrip(), err=True)
    ok = outcome.finished - outcome.failed
    line = "{} combination{}: {} ok, {} failed".format(outcome.total, "" if outcome.total == 1 else "s", ok,
                                                       outcome.failed)
    if outcome.not_run:
        line += ", {} did not run".format(outcome.not_run)
    click.echo(line)
    best = best_row(table, metric)
    if best is not None:
        click.echo("best {} {}: {}".format(metric, format_figure(metric, best[metric]),
                                           describe_combination(best, names)))
    click.echo("results written to {} ({})".format(output, ", ".join(
        os.path.basename(p) for p in outcome.paths.values())))
    if outcome.interrupted:
        click.echo("interrupted: {} of {} combinations did not run".format(outcome.not_run, outcome.total),
                   err=True)
        ctx.exit(130)
    if ok == 0:
        ctx.exit(1)
    if outcome.failed:
        ctx.exit(3)


if __name__ == "__main__":  # python -m tessel.cli
    main(prog_name="tessel")

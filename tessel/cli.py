"""Command line: ``tessel run CONFIG STRATEGY``."""
import click


@click.group()
def main():
    """The tessel backtesting engine."""


@main.command("run")
@click.argument("config", type=click.Path(exists=True, dir_okay=False))
@click.argument("strategy", type=click.Path(exists=True, dir_okay=False))
@click.option("--output", "-o", type=click.Path(dir_okay=False), help="Write the daily record as CSV here.")
def run_command(config, strategy, output):
    """Backtest STRATEGY (a Python file) with the YAML configuration CONFIG."""
    from tessel.run import run

    try:
        result = run(config, strategy)
    except ValueError as exc:
        raise click.ClickException(str(exc)) from None
    for key, value in result["summary"].items():
        click.echo("{:>14}: {}".format(key, value))
    if output:
        result["daily"].to_csv(output)
        click.echo("daily record written to {}".format(output))

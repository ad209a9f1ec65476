"""A sweep on a cluster started the way a user starts one: ``dask scheduler``
and two ``dask worker`` processes on 127.0.0.1, always torn down."""
import json
import os
import pathlib
import subprocess
import sys
import time

import pandas as pd
import pytest

from sweep_helpers import MIX, MIX_CONFIG, WINDOW, data_options

GRID = ["--grid", "equity_weight=0.3,0.7", "--grid", "bond=000025,000034"]
START_SECONDS = 90    # the scheduler file and both workers must appear within this
SWEEP_SECONDS = 300   # each sweep command must end within this


def _dask_command():
    path = pathlib.Path(sys.executable).with_name("dask")
    if not path.exists():
        pytest.fail("the dask command is not installed beside {}".format(sys.executable))
    return [str(path)]


def _stop(processes):
    for process in processes:
        if process.poll() is None:
            process.terminate()
    deadline = time.monotonic() + 15
    for process in processes:
        try:
            process.wait(timeout=max(0.1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


@pytest.fixture
def user_cluster(tmp_path):
    """The scheduler address of a freshly started scheduler with two single-threaded workers."""
    scheduler_file = tmp_path / "scheduler.json"
    logs = tmp_path / "logs"
    logs.mkdir()
    dask = _dask_command()
    processes = []
    try:
        processes.append(subprocess.Popen(
            dask + ["scheduler", "--host", "127.0.0.1", "--port", "0", "--dashboard-address", "127.0.0.1:0",
                    "--scheduler-file", str(scheduler_file)],
            stdout=subprocess.DEVNULL, stderr=open(logs / "scheduler.log", "wb")))
        deadline = time.monotonic() + START_SECONDS
        while not scheduler_file.exists():
            if time.monotonic() > deadline or processes[0].poll() is not None:
                pytest.fail("dask scheduler did not start: " + (logs / "scheduler.log").read_text())
            time.sleep(0.2)
        time.sleep(0.2)
        address = json.loads(scheduler_file.read_text())["address"]
        assert address.startswith("tcp://127.0.0.1:")
        for k in range(2):
            processes.append(subprocess.Popen(
                dask + ["worker", address, "--nthreads", "1", "--host", "127.0.0.1", "--no-dashboard",
                        "--local-directory", str(tmp_path / "worker{}".format(k))],
                stdout=subprocess.DEVNULL, stderr=open(logs / "worker{}.log".format(k), "wb")))
        from distributed import Client

        with Client(address, timeout="30s") as client:
            client.wait_for_workers(2, timeout=START_SECONDS)
        yield address
    finally:
        _stop(processes)


def _sweep(out, *extra, sample_data):
    command = [sys.executable, "-m", "tessel.cli", "sweep", str(MIX), "-c", str(MIX_CONFIG),
               *data_options(sample_data), *WINDOW, *GRID, "-o", str(out), *extra]
    return subprocess.run(command, capture_output=True, text=True, timeout=SWEEP_SECONDS,
                          env=dict(os.environ, PYTHONWARNINGS="ignore"))


def test_scheduler_gives_the_table_of_the_local_run(tmp_path, sample_data, user_cluster):
    remote = _sweep(tmp_path / "remote", "--scheduler", user_cluster, sample_data=sample_data)
    assert remote.returncode == 0, remote.stdout + remote.stderr
    local = _sweep(tmp_path / "local", "--workers", "2", sample_data=sample_data)
    assert local.returncode == 0, local.stdout + local.stderr
    assert "4 combinations: 4 ok, 0 failed" in remote.stdout
    remote_csv = (tmp_path / "remote" / "results.csv").read_text()
    assert remote_csv == (tmp_path / "local" / "results.csv").read_text()
    table = pd.read_csv(tmp_path / "remote" / "results.csv", dtype={"bond": str})
    assert len(table) == 4 and (table["status"] == "ok").all()


def test_ctrl_c_keeps_the_finished_rows(tmp_path, sample_data):
    import signal
    import textwrap

    strategy = tmp_path / "slow.py"
    strategy.write_text(textwrap.dedent("""
        import time


        def init(context):
            if context.params["n"] > 1:
                time.sleep(2)
        """), encoding="utf-8")
    out = tmp_path / "out"
    # As from a terminal: a shell that starts a command in the background without job control
    # (`bash -c "... &"`) has it ignore SIGINT, and the sweep, as any program, keeps an ignored
    # Ctrl-C ignored. So the command's Python restores the default handler before it starts.
    command = [sys.executable, "-c", "import runpy, signal, sys; signal.signal(signal.SIGINT, "
               "signal.default_int_handler); sys.argv[0] = 'tessel'; runpy.run_module('tessel.cli', "
               "run_name='__main__', alter_sys=True)",
               "sweep", str(strategy), *data_options(sample_data), *WINDOW,
               "--grid", "n=1,2,3,4,5,6", "--workers", "1", "-o", str(out)]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + SWEEP_SECONDS
        while not (out / "results.csv").exists():
            if time.monotonic() > deadline or process.poll() is not None:
                pytest.fail("no row was written: " + "".join(process.communicate(timeout=30)))
            time.sleep(0.1)
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=120)
    finally:
        _stop([process])
    assert process.returncode == 130, stdout + stderr
    table = pd.read_csv(out / "results.csv")
    assert 1 <= len(table) < 6 and (table["status"] == "ok").all()
    assert table["n"].is_monotonic_increasing and set(table["n"]) <= set(range(1, 7))
    assert "interrupted: {} of 6 combinations did not run".format(6 - len(table)) in stderr

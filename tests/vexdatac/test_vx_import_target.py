"""Writing the import's target database: links, file modes, leftovers of
killed imports, write failures and what `vexdatac import` says."""
import datetime
import errno
import fcntl
import os
import shutil
import sqlite3
import tempfile

import pytest
from click.testing import CliRunner

import vexdatac
from vexdatac import db, fund
from vexdatac.cli import main
from vexdatac.importer import import_csv
from vexdatac.share.errors import DatabaseError, DatabaseWriteError


def _funds(path):
    with sqlite3.connect(path) as conn:
        return conn.execute("SELECT COUNT(*) FROM instruments").fetchone()[0]


def test_symbolic_link_target_replaces_the_file_it_points_to(tmp_path, example_dir, sample_db):
    real = tmp_path / "data" / "funds.sqlite"
    real.parent.mkdir()
    shutil.copy(sample_db, real)
    os.chmod(real, 0o600)
    link = tmp_path / "current.sqlite"
    link.symlink_to(real)
    import_csv(example_dir, link)
    assert link.is_symlink() and os.readlink(link) == str(real)
    assert _funds(real) == 2
    assert oct(real.stat().st_mode & 0o777) == oct(0o600)
    assert sorted(p.name for p in real.parent.iterdir()) == ["funds.sqlite"]


def test_file_mode_is_kept_and_new_files_are_readable(tmp_path, example_dir):
    target = tmp_path / "funds.sqlite"
    import_csv(example_dir, target)
    assert target.stat().st_mode & 0o777 == 0o644
    os.chmod(target, 0o640)
    import_csv(example_dir, target)
    assert target.stat().st_mode & 0o777 == 0o640


def test_leftovers_of_killed_imports_are_removed(tmp_path, example_dir):
    target = tmp_path / "funds.sqlite"
    stale = tmp_path / ".funds.sqlite.k1ll3d_x.tmp"
    for path in (stale, stale.with_name(stale.name + "-journal"),
                 tmp_path / ".funds.sqlite.0rphan99.tmp-journal",  # its database file is gone
                 tmp_path / ".other.sqlite.k1ll3d_x.tmp",         # another target's
                 tmp_path / ".funds.sqlite.notes.txt"):
        path.write_bytes(b"x" * 100)
    # A build still running holds its temporary file locked: kept.
    running = tmp_path / ".funds.sqlite.running.tmp"
    running.write_bytes(b"")
    with open(running, "rb") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        import_csv(example_dir, target)
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        ".funds.sqlite.notes.txt", ".funds.sqlite.running.tmp", ".other.sqlite.k1ll3d_x.tmp", "csv",
        "funds.sqlite"]


def test_leftovers_of_a_killed_process_are_removed(tmp_path, example_dir):
    """A build killed with SIGKILL leaves its files; the next build removes them."""
    target = tmp_path / "funds.sqlite"
    pid = os.fork()
    if pid == 0:  # the child starts a build and dies inside it
        try:
            with db.building(target, "test") as conn:
                conn.execute("INSERT INTO trading_calendar VALUES ('2024-01-02')")
                os.kill(os.getpid(), 9)
        finally:
            os._exit(1)
    os.waitpid(pid, 0)
    left = sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".funds.sqlite."))
    assert left and all(name.endswith((".tmp", ".tmp-journal")) for name in left)
    import_csv(example_dir, target)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["csv", "funds.sqlite"]


def test_unwritable_folder_names_the_target(tmp_path, example_dir, monkeypatch):
    target = tmp_path / "funds.sqlite"

    def refused(prefix, suffix, dir):
        raise PermissionError(errno.EACCES, "Permission denied", os.path.join(dir, prefix + "abcd1234" + suffix))

    monkeypatch.setattr(tempfile, "mkstemp", refused)
    with pytest.raises(DatabaseWriteError) as info:
        import_csv(example_dir, target)
    assert str(info.value) == f"cannot write {target}: no permission to write in {tmp_path}"
    result = CliRunner().invoke(main, ["import", str(example_dir), "--db", str(target)])
    assert result.exit_code == 1 and result.exception.__class__ is SystemExit
    assert result.output.strip().splitlines() == [
        f"Error: import failed, {target} left unchanged: cannot write {target}: no permission to write "
        f"in {tmp_path}"]


def test_full_disk_fails_cleanly(tmp_path, example_dir, monkeypatch, sample_db):
    target = tmp_path / "funds.sqlite"
    shutil.copy(sample_db, target)
    before = target.read_bytes()
    start = datetime.date(2024, 2, 1)
    with open(example_dir / "nav.csv", "a", encoding="utf-8") as handle:
        for day in range(3000):
            handle.write(f"100001,{start + datetime.timedelta(days=day)},1.1,1.2,,\n")
    connect = db._connect

    def small_disk(path):
        conn = connect(path)
        conn.execute("PRAGMA max_page_count = 12")  # room for the schema, not for the rows
        return conn

    monkeypatch.setattr(db, "_connect", small_disk)
    with pytest.raises(DatabaseWriteError, match=f"^cannot write {target}: the disk is full$"):
        import_csv(example_dir, target)
    assert target.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["csv", "funds.sqlite"]


def test_import_says_what_it_replaced(tmp_path, example_dir, sample_db):
    runner = CliRunner()
    target = tmp_path / "funds.sqlite"
    first = runner.invoke(main, ["import", str(example_dir), "--db", str(target)])
    assert first.exit_code == 0, first.output
    assert first.output.startswith(f"Imported {example_dir} into {target} (a new database): instruments 2, nav 17,")
    shutil.copy(sample_db, target)
    with sqlite3.connect(sample_db) as conn:
        nav = conn.execute("SELECT COUNT(*) FROM nav").fetchone()[0]
    second = runner.invoke(main, ["import", str(example_dir), "--db", str(target)])
    assert second.exit_code == 0, second.output
    assert second.output.startswith(
        f"Imported {example_dir} into {target}, replacing the database that was there "
        f"(rows before -> after): instruments 44 -> 2, nav {nav} -> 17, ")
    target.write_text("not a database\n")
    third = runner.invoke(main, ["import", str(example_dir), "--db", str(target)])
    assert "replacing a file that was not a readable fund database: instruments 2" in third.output


@pytest.mark.parametrize("dropped", [["nav"], ["status", "fees"]])
def test_database_without_a_table_is_refused_by_name(tmp_path, sample_db, dropped):
    damaged = tmp_path / "funds.sqlite"
    shutil.copy(sample_db, damaged)
    with sqlite3.connect(damaged) as conn:
        for table in dropped:
            conn.execute(f"DROP TABLE {table}")
    vexdatac.set_database(damaged)
    with pytest.raises(DatabaseError) as info:
        fund.all_instruments()
    assert str(info.value).startswith(
        f"{damaged.resolve()} is an incomplete vexdatac database: it has no {', '.join(dropped)} table")
    result = CliRunner().invoke(main, ["info", "--db", str(damaged)])
    assert result.exit_code == 1 and f"no {', '.join(dropped)} table" in result.output

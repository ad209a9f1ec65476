"""Rules of the test suite itself, so that suites stay independent."""
import pathlib
import re

TESTS = pathlib.Path(__file__).resolve().parents[1]


def test_no_test_imports_from_conftest():
    # Every suite has its own conftest.py; which one `import conftest` finds
    # depends on what ran first.  Shared builders live in <suite>_helpers.py.
    offenders = [str(p.relative_to(TESTS)) for p in TESTS.rglob("*.py")
                 if re.search(r"^\s*(from conftest import|import conftest)", p.read_text(), re.M)]
    assert offenders == []


def test_module_basenames_are_unique():
    # Test directories are not packages, so two modules with one basename
    # would shadow each other.
    names = {}
    for p in TESTS.rglob("*.py"):
        if p.name != "conftest.py" and "__pycache__" not in p.parts:
            names.setdefault(p.name, []).append(str(p.relative_to(TESTS)))
    assert {k: v for k, v in names.items() if len(v) > 1} == {}

"""The type stubs of the plug-in entry and the stores describe exactly what
the compiled modules offer: every class, and every operation and class
value of each class."""
import ast
import importlib
import pathlib

import pytest

import tessel_mod_fund

PACKAGE = pathlib.Path(tessel_mod_fund.__file__).parent
MODULES = ["mod", "data.fund_catalog", "data.nav_day_bars", "data.payout_history", "data.unit_splits"]


def stub_classes(module_name):
    """{class name: (operations, annotated class values and instance fields)}"""
    tree = ast.parse((PACKAGE / (module_name.replace(".", "/") + ".pyi")).read_text())
    classes = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            operations, annotated = set(), set()
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    operations.add(item.name)
                elif isinstance(item, ast.AnnAssign):
                    annotated.add(item.target.id)
            classes[node.name] = operations, annotated
    return classes


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_declares_what_the_module_offers(module_name):
    module = importlib.import_module("tessel_mod_fund." + module_name)
    classes = stub_classes(module_name)
    runtime = {name for name, value in vars(module).items()
               if isinstance(value, type) and value.__module__ == module.__name__ and not name.startswith("_")}
    assert set(classes) == runtime
    for name, (operations, annotated) in classes.items():
        cls = getattr(module, name)
        assert {n for n in operations if not hasattr(cls, n)} == set(), name
        own = {n for n in vars(cls) if n == "__init__" or not (n.startswith("__") or n == "_abc_impl")}
        assert own - operations - annotated == set(), name  # undeclared operations or values

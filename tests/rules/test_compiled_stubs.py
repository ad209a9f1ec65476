"""The type stubs of the position and order-rule modules match what the compiled modules offer."""
import ast
import importlib
import pathlib

import pytest

import tessel_mod_fund

PACKAGE = pathlib.Path(tessel_mod_fund.__file__).parent


def stub_members(module_name):
    """{class name: (operations and class values, annotated attributes)}, plus the module's names."""
    tree = ast.parse((PACKAGE / (module_name + ".pyi")).read_text())
    classes, module_names = {}, set()
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            defined, annotated = set(), set()
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    defined.add(item.name)
                elif isinstance(item, ast.Assign):
                    defined.update(t.id for t in item.targets)
                elif isinstance(item, ast.AnnAssign):
                    # instance fields, or values the module leaves to its callers
                    annotated.add(item.target.id)
            classes[node.name] = defined, annotated
        elif isinstance(node, ast.AnnAssign):
            module_names.add(node.target.id)
        elif isinstance(node, ast.ImportFrom):
            module_names.update(a.asname for a in node.names if a.asname)
    return classes, module_names


@pytest.mark.parametrize("module_name", ["position", "const", "validator", "transaction"])
def test_stub_matches_module(module_name):
    module = importlib.import_module("tessel_mod_fund." + module_name)
    classes, module_names = stub_members(module_name)
    runtime = {name for name, value in vars(module).items()
               if isinstance(value, type) and value.__module__ == module.__name__ and not name.startswith("_")}
    assert {name for name in classes if not name.startswith("_")} == runtime
    assert module_names <= set(vars(module))
    for name in runtime:
        cls = getattr(module, name)
        defined, annotated = classes[name]
        assert [n for n in defined if not hasattr(cls, n)] == []
        own = {n for n in vars(cls) if not (n.startswith("__") and n != "__init__" and n != "__instrument_types__")
               and not n.startswith("_member") and not n.startswith("_value") and n not in (
                   "_generate_next_value_", "_new_member_", "_use_args_", "_unhashable_values_",
                   "_abc_impl")}
        assert own - defined - annotated == set(), name

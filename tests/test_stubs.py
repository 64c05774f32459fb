"""The typing stubs installed with the package agree with the built modules."""

import ast
import importlib
import os
import subprocess
import sys
from pathlib import Path

import pytest

MODULES = ["zelkor.mcp.coffer", "zelkor.skills.services.edictor"]


def test_stubtest(tmp_path):
    completed = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", os.devnull, *MODULES],
        capture_output=True, text=True, cwd=tmp_path,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr


def stub_docstrings(module):
    """Docstrings of a stub, keyed by qualified name ("" for the module)."""
    built = Path(module.__file__)
    stub = built.with_name(built.name.split(".")[0] + ".pyi")
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    found = {"": ast.get_docstring(tree, clean=False)}
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            found[node.name] = ast.get_docstring(node, clean=False)
            for item in getattr(node, "body", []):
                if isinstance(item, ast.FunctionDef):
                    found[f"{node.name}.{item.name}"] = ast.get_docstring(item, clean=False)
    return found


@pytest.mark.parametrize("name", MODULES)
def test_stub_docstrings_match_the_modules(name):
    module = importlib.import_module(name)
    for qualname, docstring in stub_docstrings(module).items():
        target = module
        for part in filter(None, qualname.split(".")):
            target = getattr(target, part)
        if getattr(target, "__module__", name) != name:
            continue  # imported from elsewhere, not ours to document
        assert docstring == target.__doc__, qualname


@pytest.mark.parametrize("name", MODULES)
def test_typed_marker_is_installed_beside_the_module(name):
    # zelkor and its subpackages belong to the host tool: the marker goes
    # into the folder of each module, not into theirs.
    built = Path(importlib.import_module(name).__file__)
    assert (built.parent / "py.typed").is_file()

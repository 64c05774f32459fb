"""Pure-Python twins of the native modules: the same code written in Python.

They are the yardstick of the tests and the benchmark: what Python sees of
a native module (results, errors, chains of exceptions, signatures, help())
must be what it sees of its twin. Each twin behaves as its native module
does, including the checks the native functions make of their arguments and
results and the append that restores a file on failure; each function starts
on the line its native counterpart reports.
"""

import types
from pathlib import Path

FOLDER = Path(__file__).resolve().parent


def load(name: str) -> types.ModuleType:
    """A fresh twin of the native module `name` ("zelkor.mcp.coffer" or
    "zelkor.skills.services.edictor"), named like it, so that its functions
    and class report the same module. It is not put in sys.modules: importing
    `name` still gives the native module."""
    path = FOLDER / (name.rpartition(".")[2] + ".py")
    module = types.ModuleType(name)
    module.__file__ = str(path)
    exec(compile(path.read_text(encoding="utf-8"), str(path), "exec"), vars(module))
    return module

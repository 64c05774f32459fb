"""Stand-in for the host tool's packaging helpers, for the tests, the demo
and the benchmark only (they put this folder on sys.path; it is never part
of the wheel).

The host tool supplies the real module; this one offers the single function
the rule injector imports from it. Without __init__.py files beside it,
zelkor and zelkor.skills stay namespace packages, so the installed modules
and this file are found together.
"""

from pathlib import Path


def get_builtin_templates_dir() -> Path:
    """Return the directory that holds the tool's built-in Skill templates."""
    return Path(__file__).resolve().parent / "templates"

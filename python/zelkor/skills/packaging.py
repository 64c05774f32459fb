"""Stand-in for the host tool's packaging helpers.

The host tool supplies the real module; this one offers the single function
the rule injector imports from it.
"""

from pathlib import Path


def get_builtin_templates_dir() -> Path:
    """Return the directory that holds the tool's built-in Skill templates."""
    return Path(__file__).resolve().parent / "templates"

from pathlib import Path

def get_builtin_templates_dir() -> Path:
    """Return the directory that holds the tool's built-in Skill templates."""

import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def run_python():
    """Runs source code in a fresh interpreter; returns its stdout."""

    def run(source: str) -> str:
        completed = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(source)],
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert completed.returncode == 0, completed.stderr
        return completed.stdout

    return run

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

# The host tool's zelkor.skills.packaging is not part of the package: the
# tests use the stand-in, here and in every interpreter they start.
HOST_STAND_IN = str(Path(__file__).resolve().parents[1] / "host-stand-in")
sys.path.insert(0, HOST_STAND_IN)
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [HOST_STAND_IN, os.environ.get("PYTHONPATH")]))
# The pure-Python twins of the modules (twin/), the yardstick of what Python
# sees of them; appended, so that nothing in the checkout shadows a module.
sys.path.append(str(Path(__file__).resolve().parents[1]))


def posix_only(needs: str):
    """Skips a test where the system is not POSIX, saying what it needs."""
    return pytest.mark.skipif(os.name != "posix", reason=f"POSIX only: {needs}")


def capi_test_module():
    """CPython's module for testing its C API; the test is skipped where this
    build of the interpreter lacks it."""
    return pytest.importorskip("_testcapi", reason="this CPython build has no _testcapi module")


@pytest.fixture(scope="session")
def twins():
    """The pure-Python twins, by the name of the native module each stands for."""
    import twin

    return {name: twin.load(name) for name in ("zelkor.mcp.coffer", "zelkor.skills.services.edictor")}


@pytest.fixture
def tool_env():
    """The environment for build tools (compilers, cmake): without the
    sanitizer runtime that a sanitizer run preloads into every process."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


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

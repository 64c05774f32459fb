"""tools/debian-root makes its root once, and afresh when a run left it half-made."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[1] / "tools" / "debian-root"

# Makes the target folder, or fails half-way through when FAIL is set; each
# call is recorded in CALLS.
FAKE_DEBOOTSTRAP = """#!/bin/sh
echo called >>"$CALLS"
for target; do :; done
mkdir -p "$target/etc"
if [ -n "$FAIL" ]; then touch "$target/etc/left-over"; echo "E: interrupted" >&2; exit 1; fi
"""

pytestmark = pytest.mark.skipif(
    os.name != "posix" or not SCRIPT.is_file() or os.geteuid() != 0 or shutil.which("apt-get") is None,
    reason="needs the source tree, root and apt-get",
)


def test_made_once_and_afresh_after_a_failure(tmp_path, tool_env):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "debootstrap").write_text(FAKE_DEBOOTSTRAP)
    (bin_dir / "debootstrap").chmod(0o755)
    calls = tmp_path / "calls"
    env = {**tool_env, "PATH": f"{bin_dir}{os.pathsep}{tool_env['PATH']}",
           "ZELKOR_ROOT_CACHE": str(tmp_path / "cache"), "CALLS": str(calls)}

    def make(**extra):
        return subprocess.run([SCRIPT, "make"], env={**env, **extra}, capture_output=True, text=True)

    failed = make(FAIL="1")
    assert failed.returncode != 0 and "debootstrap failed" in failed.stderr
    [root] = (tmp_path / "cache").glob("debian-sid-*")
    assert (root / "etc" / "left-over").exists() and not list(root.glob(".*complete"))

    remade = make()
    assert remade.returncode == 0, remade.stderr
    assert not (root / "etc" / "left-over").exists() and list(root.glob(".*complete"))
    assert make().returncode == 0
    assert calls.read_text().count("called") == 2  # the complete root is reused

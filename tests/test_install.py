"""The wheel installs into the host tool's own packages, beside its files.

A small host-like distribution (regular zelkor packages, its own
zelkor.skills.packaging, templates and rule file) is installed with this
project's wheel into scratch virtual environments, in either order, and this
project's wheel is then uninstalled again.
"""

import base64
import hashlib
import json
import os
import re
import subprocess
import sys
import textwrap
import zipfile
from pathlib import Path

import pytest
from conftest import HOST_STAND_IN

HOST_RULE = "The host's own feedback rule."
HOST_FILES = {
    "zelkor/__init__.py": '"""The host tool."""\n',
    "zelkor/mcp/__init__.py": "",
    "zelkor/skills/__init__.py": "",
    "zelkor/skills/services/__init__.py": "",
    "zelkor/skills/packaging.py": textwrap.dedent("""\
        from pathlib import Path

        def get_builtin_templates_dir():
            return Path(__file__).parent / "templates"
        """),
    "zelkor/skills/templates/zel-feedback/data/FEEDBACK_RULE.md": f"\n{HOST_RULE}\n\n",
}
OUR_FILES = re.compile(r"zelkor/(mcp/coffer|skills/services/edictor)(\.[^/]+\.(so|dylib|pyd)|\.pyi)|zelkor/(mcp|skills/services)/py\.typed")

# Run in the scratch environment: what can be imported and what edictor does.
PROBE = textwrap.dedent("""\
    import json, sys, tempfile
    from pathlib import Path
    found = {}
    for name in ("zelkor", "zelkor.mcp", "zelkor.skills.packaging", "zelkor.mcp.coffer",
                 "zelkor.skills.services.edictor"):
        try:
            module = __import__(name, fromlist=["_"])
            found[name] = getattr(module, "__file__", None)
        except ImportError as error:
            found[name] = f"{type(error).__name__}: {error}"
    rule = None
    if "zelkor.skills.services.edictor" in sys.modules:
        from zelkor.skills.services.edictor import Edictor
        skills = Path(tempfile.mkdtemp()) / "skills"
        rule = Edictor().inject("claude", skills).read_text(encoding="utf-8")
    found["rule"] = rule
    print(json.dumps(found))
    """)


def write_wheel(folder: Path, name: str, files: dict[str, str]) -> Path:
    """A pure wheel holding `files`, with the metadata pip needs."""
    info = f"{name}-1.0.dist-info"
    contents = {path: text.encode() for path, text in files.items()}
    contents[f"{info}/METADATA"] = f"Metadata-Version: 2.1\nName: {name}\nVersion: 1.0\n".encode()
    contents[f"{info}/WHEEL"] = b"Wheel-Version: 1.0\nGenerator: tests\nRoot-Is-Purelib: true\nTag: py3-none-any\n"
    record = []
    for path, data in contents.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append(f"{path},sha256={digest},{len(data)}\n")
    contents[f"{info}/RECORD"] = ("".join(record) + f"{info}/RECORD,,\n").encode()
    wheel = folder / f"{name}-1.0-py3-none-any.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        for path, data in contents.items():
            archive.writestr(path, data)
    return wheel


@pytest.fixture(scope="session")
def our_wheel(tmp_path_factory) -> Path:
    """This project's wheel: the one `make` installed, or one built here."""
    if "ZELKOR_WHEEL" in os.environ:
        return Path(os.environ["ZELKOR_WHEEL"])
    source = Path(__file__).resolve().parents[1]
    if not (source / "pyproject.toml").is_file():
        pytest.skip("no wheel given (ZELKOR_WHEEL) and no source tree to build one from")
    folder = tmp_path_factory.mktemp("wheel")
    subprocess.run([sys.executable, "-m", "pip", "wheel", "--quiet", "--no-deps", "-w", folder, source], check=True)
    [wheel] = folder.glob("*.whl")
    return wheel


@pytest.fixture(scope="session")
def host_wheel(tmp_path_factory) -> Path:
    return write_wheel(tmp_path_factory.mktemp("host"), "zelkor_host", HOST_FILES)


class Scratch:
    """A virtual environment without pip, driven by this interpreter's pip."""

    def __init__(self, folder: Path, tool_env: dict):
        self.tool_env = tool_env
        subprocess.run([sys.executable, "-m", "venv", "--without-pip", folder], check=True)
        self.python = folder / ("Scripts/python.exe" if os.name == "nt" else "bin/python")
        self.site = Path(self.run("-c", "import sysconfig; print(sysconfig.get_path('platlib'))").strip())

    def run(self, *args: str) -> str:
        # Without the stand-in the tests otherwise put on PYTHONPATH.
        paths = os.environ["PYTHONPATH"].split(os.pathsep)
        env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in paths if p != HOST_STAND_IN)}
        done = subprocess.run([self.python, *args], capture_output=True, text=True, env=env, check=True)
        return done.stdout

    def pip(self, *args) -> None:
        command = [sys.executable, "-m", "pip", "--python", self.python, "--quiet", *args]
        subprocess.run(command, check=True, capture_output=True, env=self.tool_env)

    def probe(self) -> dict:
        return json.loads(self.run("-c", PROBE))


def test_wheel_holds_only_our_files(our_wheel):
    names = zipfile.ZipFile(our_wheel).namelist()
    ours = [n for n in names if ".dist-info/" not in n and not n.endswith("/")]
    assert ours and all(OUR_FILES.fullmatch(n) for n in ours), ours
    assert len(ours) == 6


def test_installed_alone(tmp_path, our_wheel, tool_env):
    scratch = Scratch(tmp_path / "venv", tool_env)
    scratch.pip("install", "--no-index", "--no-deps", our_wheel)
    found = scratch.probe()
    assert found["zelkor"] is None and found["zelkor.mcp"] is None  # namespace packages
    assert found["zelkor.mcp.coffer"].startswith(str(scratch.site))
    message = "ModuleNotFoundError: No module named 'zelkor.skills.packaging'"
    assert found["zelkor.skills.services.edictor"] == message
    assert found["rule"] is None


@pytest.mark.parametrize("order", ["host first", "ours first"])
def test_beside_the_host(tmp_path, our_wheel, host_wheel, order, tool_env):
    scratch = Scratch(tmp_path / "venv", tool_env)
    wheels = [host_wheel, our_wheel] if order == "host first" else [our_wheel, host_wheel]
    for wheel in wheels:
        scratch.pip("install", "--no-index", "--no-deps", wheel)

    found = scratch.probe()
    assert found["zelkor"] == str(scratch.site / "zelkor" / "__init__.py")
    assert found["zelkor.skills.packaging"] == str(scratch.site / "zelkor" / "skills" / "packaging.py")
    assert found["zelkor.skills.services.edictor"].startswith(str(scratch.site))
    assert found["rule"].endswith(f"\n\n{HOST_RULE}\n")

    scratch.pip("uninstall", "--yes", "zelkor-native")
    for path, text in HOST_FILES.items():
        assert (scratch.site / path).read_text() == text
    found = scratch.probe()
    assert found["zelkor.mcp"] == str(scratch.site / "zelkor" / "mcp" / "__init__.py")
    assert found["zelkor.mcp.coffer"] == "ModuleNotFoundError: No module named 'zelkor.mcp.coffer'"


def test_package_page_examples_run_on_scratch_folders(tmp_path):
    # As the page shows them, with the stand-in for the host's module: each
    # runs, and none writes below the home folder.
    page = (Path(__file__).resolve().parents[1] / "PACKAGE.md").read_text(encoding="utf-8")
    examples = re.findall(r"^ *```python\n(.*?)^ *```", page, re.DOTALL | re.MULTILINE)
    env = {**os.environ, "HOME": str(tmp_path / "home"), "TMPDIR": str(tmp_path)}
    (tmp_path / "home").mkdir()
    for example in examples:
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(example)], capture_output=True, text=True, env=env)
        assert done.returncode == 0, done.stderr
    assert (len(examples), list((tmp_path / "home").iterdir())) == (3, [])

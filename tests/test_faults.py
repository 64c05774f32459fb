"""Real failures of file operations: the error reaches the caller unchanged,
the files are as they were, and the modules keep working afterwards."""

import stat
from pathlib import Path

import pytest
from conftest import posix_only

from zelkor.mcp.coffer import get_credential_dir_for_key
from zelkor.skills.services.edictor import Edictor

KEY_DIR = "2c70e12b7a0646f9"  # first 16 hex digits of sha256(b"key")


def snapshot(root: Path):
    """Every path below root with its kind, mode and content."""
    found = {}
    for path in sorted(root.rglob("*")):
        info = path.lstat()
        content = path.read_bytes() if stat.S_ISREG(info.st_mode) else None
        found[str(path.relative_to(root))] = (stat.S_IFMT(info.st_mode), stat.S_IMODE(info.st_mode), content)
    return found


def rule_file(templates: Path) -> Path:
    return templates / "zel-feedback" / "data" / "FEEDBACK_RULE.md"


class ChmodRefused(type(Path())):
    def chmod(self, mode, *, follow_symlinks=True):
        raise PermissionError(1, "Operation not permitted", str(self))


def key_dir_taken(root):
    (root / KEY_DIR).write_text("a file")
    return lambda: get_credential_dir_for_key("key", root)


def root_is_a_file(root):
    (root / "root").write_text("a file")
    return lambda: get_credential_dir_for_key("key", root / "root")


def config_is_a_directory(root):
    (root / "CLAUDE.md").mkdir()
    return lambda: Edictor(root / "templates").inject("claude", root / "skills")


def config_folder_is_a_file(root):
    (root / "home").write_text("a file")
    return lambda: Edictor(root / "templates").inject("claude", root / "home" / "x" / "skills")


def rule_is_a_directory(root):
    rule_file(root / "templates").mkdir(parents=True)
    return lambda: Edictor(root / "templates").inject("claude", root / "skills")


def rule_is_not_utf8(root):
    rule_file(root / "templates").parent.mkdir(parents=True)
    rule_file(root / "templates").write_bytes(b"r\xe8gle\n")
    return lambda: Edictor(root / "templates").inject("claude", root / "skills")


def config_is_not_utf8(root):
    (root / "CLAUDE.md").write_bytes(b"# notes \xff\r\n")
    return lambda: Edictor(root / "templates").inject("claude", root / "skills")


POSIX_ERRORS = posix_only("the errors of a folder where a file is needed, and the reverse")


@pytest.mark.parametrize(
    "make_fault, error",
    [
        (key_dir_taken, FileExistsError),
        pytest.param(root_is_a_file, NotADirectoryError, marks=POSIX_ERRORS),
        pytest.param(config_is_a_directory, IsADirectoryError, marks=POSIX_ERRORS),
        pytest.param(config_folder_is_a_file, NotADirectoryError, marks=POSIX_ERRORS),
        pytest.param(rule_is_a_directory, IsADirectoryError, marks=POSIX_ERRORS),
        (rule_is_not_utf8, UnicodeDecodeError),
        (config_is_not_utf8, UnicodeDecodeError),
    ],
)
def test_fault_leaves_files_as_they_were(tmp_path, make_fault, error):
    call = make_fault(tmp_path)
    before = snapshot(tmp_path)
    for _ in range(3):
        with pytest.raises(error) as info:
            call()
        assert type(info.value) is error
        assert snapshot(tmp_path) == before
    # Both modules still work on healthy targets.
    healthy = tmp_path / "healthy"
    assert get_credential_dir_for_key("key", healthy).is_dir()
    assert Edictor(healthy).inject("codex", healthy / "skills").is_file()


@posix_only("file modes")
def test_refused_chmod_leaves_a_private_directory(tmp_path):
    with pytest.raises(PermissionError, match="Operation not permitted"):
        get_credential_dir_for_key("key", ChmodRefused(tmp_path))
    assert stat.S_IMODE((tmp_path / KEY_DIR).stat().st_mode) == 0o700
    assert get_credential_dir_for_key("key", tmp_path) == tmp_path / KEY_DIR

"""zelkor.mcp.coffer: one private credential directory per API key."""

import hashlib
import os
import stat
import sys
from pathlib import Path, PurePosixPath

import pytest
from conftest import posix_only
from hypothesis import given, settings, strategies as st

from zelkor.mcp import coffer

get_dir = coffer.get_credential_dir_for_key


def mode_of(path):
    return stat.S_IMODE(path.stat().st_mode)


@pytest.fixture
def umask_022():
    previous = os.umask(0o022)
    yield
    os.umask(previous)


def test_module_surface():
    names = [name for name in vars(coffer) if not name.startswith("__") or name == "__test__"]
    assert names == ["hashlib", "Path", "get_credential_dir_for_key", "__test__"]
    assert coffer.hashlib is hashlib and coffer.Path is Path and coffer.__test__ == {}
    assert coffer.__doc__ == (
        "MCP 凭证目录隔离模块。\n\n提供基于 API Key 哈希的凭证存储目录映射，实现多用户场景下的\n凭证物理隔离。\n"
    )
    assert get_dir.__doc__ == (
        "将 API Key 映射为固定长度的目录名。\n"
        "\n"
        "    使用 SHA256 前 16 位作为目录名，避免特殊字符问题，\n"
        "    同时保证相同的 API Key 始终映射到相同的目录。\n"
        "\n"
        "    Args:\n"
        "        api_key: 明文 API Key\n"
        "        base_root: 凭证存储根目录（如 ~/.config/zelkor/credentials_by_key/）\n"
        "\n"
        "    Returns:\n"
        "        该 API Key 对应的凭证隔离目录路径\n"
        "    "
    )


@pytest.mark.parametrize(
    "key, name",
    [
        ("", "e3b0c44298fc1c14"),  # SHA-256 of no bytes
        ("abc", "ba7816bf8f01cfea"),
        ("ABC", "b5d4045c3f466fa9"),  # case matters
        ("密钥", hashlib.sha256("密钥".encode()).hexdigest()[:16]),
        ("k" * 1_000_000, hashlib.sha256(b"k" * 1_000_000).hexdigest()[:16]),
    ],
)
def test_directory_name_is_the_hash_prefix(tmp_path, key, name):
    assert get_dir(key, tmp_path) == tmp_path / name


@posix_only("file modes")
def test_creates_root_and_private_directory(tmp_path, umask_022):
    root = tmp_path / "a" / "b"
    path = get_dir("key", base_root=root)
    assert path.is_dir() and mode_of(path) == 0o700
    # Parents keep the default mode.
    assert mode_of(root) == mode_of(tmp_path / "a") == 0o755


@posix_only("file modes")
def test_second_call_resets_the_mode(tmp_path):
    first = get_dir("key", tmp_path)
    first.chmod(0o755)
    (first / "token").write_text("secret")
    second = get_dir(api_key="key", base_root=tmp_path)
    assert second == first and mode_of(second) == 0o700
    assert [p.name for p in tmp_path.iterdir()] == [first.name]
    assert (first / "token").read_text() == "secret"


class WatchedPath(type(Path())):
    """Records the directory's mode at the moment chmod is called."""

    modes_seen = []

    def chmod(self, mode, *, follow_symlinks=True):
        self.modes_seen.append(mode_of(self))
        super().chmod(mode, follow_symlinks=follow_symlinks)


@posix_only("file modes")
def test_directory_is_private_before_chmod(tmp_path, umask_022):
    WatchedPath.modes_seen.clear()
    path = get_dir("key", WatchedPath(tmp_path))
    assert type(path) is WatchedPath
    assert WatchedPath.modes_seen == [0o700]


def test_result_is_built_from_the_root_object(tmp_path):
    result = get_dir("key", WatchedPath(tmp_path))
    assert type(result) is WatchedPath and result.parent == tmp_path


@pytest.mark.parametrize(
    "root, error",
    [
        (None, "unsupported operand type(s) for /: 'NoneType' and 'str'"),
        (1, "unsupported operand type(s) for /: 'int' and 'str'"),
        (PurePosixPath("/x"), "'PurePosixPath' object has no attribute 'mkdir'"),
    ],
)
def test_unusable_root(root, error):
    with pytest.raises((TypeError, AttributeError)) as info:
        get_dir("key", root)
    assert str(info.value) == error


class EndlessRoot:
    """Whose `/` calls the function again, without end."""

    def __truediv__(self, name):
        return get_dir("key", self)


def test_endless_reentry_ends_in_recursion_error():
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(100_000)  # the stack's guards stop it, not Python's count of frames
    try:
        with pytest.raises(RecursionError):
            get_dir("key", EndlessRoot())
    finally:
        sys.setrecursionlimit(limit)


def test_lone_surrogate_creates_nothing(tmp_path):
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
        get_dir("bad \ud800 key", tmp_path / "root")
    assert list(tmp_path.iterdir()) == []


class TestModuleGlobals:
    """hashlib is looked up in the module, then the builtins, at each call."""

    class FakeHashlib:
        class sha256:
            def __init__(self, data):
                self.data = data

            def hexdigest(self):
                return "fake-" + self.data.decode() + "-0123456789"

    def test_rebinding(self, tmp_path, monkeypatch):
        monkeypatch.setattr(coffer, "hashlib", self.FakeHashlib)
        assert get_dir("key", tmp_path).name == "fake-key-0123456"

    def test_deletion(self, tmp_path, monkeypatch):
        monkeypatch.delattr(coffer, "hashlib")
        with pytest.raises(NameError, match="^name 'hashlib' is not defined$") as info:
            get_dir("key", tmp_path)
        assert info.value.name == "hashlib"
        assert list(tmp_path.iterdir()) == []

    class Digest:
        keys = []

        def __getitem__(self, key):
            self.keys.append(key)
            return "0123456789abcdef"

    @pytest.mark.parametrize(
        "digest, outcome",
        [(Digest(), "0123456789abcdef"), (42, "TypeError: 'int' object is not subscriptable")],
    )
    def test_digest_is_cut_by_subscription(self, tmp_path, monkeypatch, digest, outcome):
        # hexdigest()[:16] subscribes with slice(None, 16, None).
        sha256 = type("sha256", (), {"__init__": lambda self, data: None, "hexdigest": lambda self: digest})
        monkeypatch.setattr(coffer, "hashlib", type("hashlib", (), {"sha256": sha256}))
        self.Digest.keys.clear()
        try:
            result = get_dir("key", tmp_path).name
        except TypeError as error:
            result = f"TypeError: {error}"
        assert result == outcome
        assert self.Digest.keys == ([slice(None, 16, None)] if isinstance(digest, self.Digest) else [])

    def test_builtins_fallback(self, tmp_path, monkeypatch):
        import builtins

        monkeypatch.delattr(coffer, "hashlib")
        monkeypatch.setattr(builtins, "hashlib", self.FakeHashlib, raising=False)
        assert get_dir("key", tmp_path).name == "fake-key-0123456"


@posix_only("file modes")
@settings(max_examples=200, deadline=None)
@given(key=st.text(st.one_of(st.characters(), st.integers(0xD800, 0xDFFF).map(chr))))  # lone surrogates too
def test_any_key_maps_to_its_hash_prefix(tmp_path_factory, key):
    root = tmp_path_factory.mktemp("root")
    try:
        expected = hashlib.sha256(key.encode("utf-8")).hexdigest()[:16]
    except UnicodeEncodeError:
        with pytest.raises(UnicodeEncodeError):
            get_dir(key, root)
        return
    path = get_dir(key, root)
    assert path == root / expected and mode_of(path) == 0o700

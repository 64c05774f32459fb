"""Edictor.inject: the rule appended once, and never at the cost of existing bytes."""

import errno
import itertools
import stat
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pytest
from conftest import posix_only

from zelkor.skills.services import edictor
from zelkor.skills.services.edictor import RULE_MARKER, Edictor

RULE = edictor._DEFAULT_RULE_CONTENT.strip()
BLOCK = f"\n\n{RULE_MARKER}\n\n{RULE}\n".encode("utf-8")


@pytest.fixture
def injector(tmp_path):
    return Edictor(tmp_path / "templates")  # no rule file there: the built-in rule


@pytest.fixture
def skills(tmp_path):
    return tmp_path / "home" / ".claude" / "skills"


class CountingEdictor(Edictor):
    loads = 0

    def _load_rule_content(self):
        type(self).loads += 1
        return super()._load_rule_content()


@pytest.mark.parametrize(
    "runtime, filename",
    [("claude", "CLAUDE.md"), ("openclaw", "AGENTS.md"), ("codex", "AGENTS.md"), ("opencode", "AGENTS.md")],
)
def test_new_file_holds_only_the_block(injector, skills, runtime, filename):
    path = injector.inject(runtime, skills)
    assert path == skills.parent / filename
    assert path.read_bytes() == BLOCK
    assert not skills.exists()  # only the parent is needed


def test_agents_runtimes_share_one_file(injector, skills):
    first = injector.inject("codex", skills)
    assert injector.inject("opencode", skills) == first == injector.inject("openclaw", skills)
    assert first.read_bytes().count(RULE_MARKER.encode()) == 1


def test_second_call_writes_nothing_and_loads_no_rule(tmp_path, skills):
    CountingEdictor.loads = 0
    injector = CountingEdictor(tmp_path)
    path = injector.inject("claude", skills)
    assert injector.inject(target_skills_dir=skills, target_runtime="claude") == path
    assert path.read_bytes() == BLOCK and CountingEdictor.loads == 1


@pytest.mark.parametrize(
    "existing",
    [
        "# Mine\nkeep this\n",
        "# Mine\r\nCRLF lines\r\n",
        "\ufeff# with a byte-order mark\n",
        "no final newline",
        "",
        "中文配置\n" * 100,
    ],
)
def test_existing_bytes_are_kept_exactly(injector, skills, existing):
    path = skills.parent / "CLAUDE.md"
    path.parent.mkdir(parents=True)
    original = existing.encode("utf-8")
    path.write_bytes(original)
    assert injector.inject("claude", skills) == path
    assert path.read_bytes() == original + BLOCK


@pytest.mark.parametrize("text", [RULE_MARKER, f"prefix{RULE_MARKER}suffix", f"a\r\nb {RULE_MARKER}\r\n"])
def test_marker_anywhere_means_done(skills, text):
    path = skills.parent / "AGENTS.md"
    path.parent.mkdir(parents=True)
    path.write_bytes(text.encode())
    CountingEdictor.loads = 0
    assert CountingEdictor(Path("/nonexistent")).inject("codex", skills) == path
    assert path.read_bytes() == text.encode() and CountingEdictor.loads == 0


@pytest.mark.parametrize("rule", ["", None, 0])
def test_no_rule_means_no_write(skills, rule):
    class NoRule(Edictor):
        def _load_rule_content(self):
            return rule

    assert NoRule(None).inject("claude", skills) is None
    assert not skills.parent.exists()


def test_whitespace_rule_file_means_no_write(tmp_path, skills):
    rule_file = tmp_path / "zel-feedback" / "data" / "FEEDBACK_RULE.md"
    rule_file.parent.mkdir(parents=True)
    rule_file.write_text("  \n\n")
    assert Edictor(tmp_path).inject("claude", skills) is None
    assert not skills.parent.exists()


def test_overridden_rule_is_formatted_in(skills):
    class Custom(Edictor):
        def _load_rule_content(self):
            return 42

    path = Custom(None).inject("claude", skills)
    assert path.read_text() == f"\n\n{RULE_MARKER}\n\n42\n"


class Unformattable:
    def __format__(self, spec):
        raise ValueError("cannot be formatted")


@pytest.mark.parametrize("what", ["rule", "marker"])
def test_a_block_that_cannot_be_formatted_is_not_written(skills, monkeypatch, twins, what):
    for module in (edictor, twins["zelkor.skills.services.edictor"]):
        class Custom(module.Edictor):
            def _load_rule_content(self):
                return Unformattable() if what == "rule" else "a rule"

        if what == "marker":
            monkeypatch.setattr(module, "RULE_MARKER", Unformattable())
        with pytest.raises(ValueError, match="^cannot be formatted$"):
            Custom(None).inject("claude", skills)
        assert not skills.parent.exists()


def test_path_subclass_gives_results_of_its_class(injector, skills):
    class MyPath(type(Path())):
        pass

    path = injector.inject("claude", MyPath(skills))
    assert type(path) is MyPath and path.read_bytes() == BLOCK
    assert type(injector.inject("claude", MyPath(skills))) is MyPath


@pytest.mark.parametrize("runtime", ["Claude", "", "cursor", "claude "])
def test_unknown_runtime_touches_nothing(skills, runtime):
    CountingEdictor.loads = 0
    assert CountingEdictor(None).inject(runtime, object()) is None  # no .parent needed
    assert CountingEdictor.loads == 0


@pytest.mark.parametrize("runtime, type_name", [(None, "NoneType"), (b"claude", "bytes"), (1, "int")])
def test_runtime_must_be_exactly_str(monkeypatch, runtime, type_name):
    monkeypatch.delattr(edictor, "RUNTIME_CONFIG_FILES")  # would raise NameError if looked up
    with pytest.raises(TypeError) as info:
        Edictor(None).inject(runtime, Path())
    assert str(info.value) == f"Argument 'target_runtime' has incorrect type (expected str, got {type_name})"


def test_runtime_str_subclass_is_refused_with_a_note(skills):
    class Runtime(str):
        pass

    with pytest.raises(TypeError) as info:
        Edictor(None).inject(Runtime("claude"), skills)
    assert str(info.value).endswith("(expected str, got Runtime)")
    assert len(info.value.__notes__) == 1
    assert not skills.parent.exists()


def test_skills_dir_without_parent():
    with pytest.raises(AttributeError, match="'str' object has no attribute 'parent'"):
        Edictor(None).inject("claude", "not/a/path")


@posix_only("file modes")
def test_symlink_stays_a_link_and_its_target_gets_the_block(injector, skills, tmp_path):
    target = tmp_path / "dotfiles" / "CLAUDE.md"
    target.parent.mkdir()
    target.write_text("# shared\n")
    target.chmod(0o640)
    link = skills.parent / "CLAUDE.md"
    link.parent.mkdir(parents=True)
    link.symlink_to(target)
    assert injector.inject("claude", skills) == link
    assert link.is_symlink() and link.readlink() == target
    assert target.read_bytes() == b"# shared\n" + BLOCK
    assert stat.S_IMODE(target.stat().st_mode) == 0o640


SIZE_LIMITED_INJECT = """
    import resource, sys
    from pathlib import Path
    from zelkor.skills.services.edictor import Edictor
    skills = Path(sys.argv[1])
    limit = int(sys.argv[2])
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
    for attempt in range(2):  # the module keeps working after the failure
        try:
            Edictor(None).inject("claude", skills)
        except OSError as error:
            print(type(error).__name__, error.errno)
"""


@posix_only("file size limits (resource.RLIMIT_FSIZE)")
@pytest.mark.parametrize("existing", [b"# my notes\r\n" * 50, b""])
def test_failed_append_restores_the_file(skills, existing):
    path = skills.parent / "CLAUDE.md"
    path.parent.mkdir(parents=True)
    if existing:
        path.write_bytes(existing)
    # Room for a part of the block only: the write fails with EFBIG half-way.
    limit = len(existing) + 40
    out = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(SIZE_LIMITED_INJECT), str(skills), str(limit)],
        capture_output=True, text=True, check=True,
    ).stdout
    assert out == f"OSError {errno.EFBIG}\n" * 2
    assert path.read_bytes() == existing  # a new file is left empty


@posix_only("file size limits (resource.RLIMIT_FSIZE)")
def test_failed_append_then_success(skills, run_python):
    # After a failure the file is as before, so a later call appends once.
    path = skills.parent / "CLAUDE.md"
    path.parent.mkdir(parents=True)
    path.write_bytes(b"keep\n")
    out = run_python(f"""
        import resource
        from pathlib import Path
        from zelkor.skills.services.edictor import Edictor
        resource.setrlimit(resource.RLIMIT_FSIZE, (10, resource.RLIM_INFINITY))
        try:
            Edictor(None).inject("claude", Path({str(skills)!r}))
        except OSError as error:
            print(type(error).__name__, error.errno)
    """)
    assert out == f"OSError {errno.EFBIG}\n"
    assert Edictor(None).inject("claude", skills) == path
    assert path.read_bytes() == b"keep\n" + BLOCK


class FaultyFile:
    """A real file opened for appending, with some of its methods replaced."""

    def __init__(self, real, overrides):
        self._real = real
        self._overrides = overrides

    def __getattr__(self, name):
        if name in self._overrides:
            return lambda *args: self._overrides[name](self._real, *args)
        return getattr(self._real, name)


class FaultyPath(type(Path())):
    """Its files opened for appending are FaultyFiles; "reopen" in the
    overrides replaces opening for the clean-up's truncation."""

    overrides: dict = {}
    opened: list = []  # every real file it opened

    def open(self, mode="r", buffering=-1, *args, **kwargs):
        if mode == "r+b" and "reopen" in self.overrides:
            self.overrides["reopen"]()
        real = super().open(mode, buffering, *args, **kwargs)
        self.opened.append(real)
        return FaultyFile(real, self.overrides) if mode == "ab" else real


def one_byte_then_a_huge_count():
    return {"write": lambda file, data: file.write(data[:1]) and sys.maxsize}


def a_count_no_size_holds():
    return {"write": lambda file, data: file.write(data[:1]) and 2**64}


def every_byte_and_one_more():
    return {"write": lambda file, data: file.write(data) + 1}


def a_negative_count():
    return {"write": lambda file, data: file.write(data[:4]) and -1}


def offered_again_and_again(write):
    """`write`, until the data has been offered too often: a loop that never
    ends fails instead."""
    calls = itertools.count()

    def limited(file, data):
        if next(calls) == 100:
            raise RuntimeError("offered again and again")
        return write(file, data)

    return limited


def write_returns_none():
    return {"write": offered_again_and_again(lambda file, data: file.write(data[:4]) and None)}


def write_takes_nothing():
    return {"write": offered_again_and_again(lambda file, data: 0)}


def tell_fails():
    def tell(file):
        raise OSError(errno.EIO, "tell failed")

    return {"tell": tell}


def close_fails_after_the_write():
    def close(file):
        file.close()
        raise OSError(errno.EIO, "write-back failed")

    return {"close": close}


def truncate_raises_the_writes_error():
    error = OSError(errno.EIO, "Input/output error")

    def write(file, data):
        file.write(data[:10])
        raise error

    def truncate(file, length):
        raise error

    return {"write": write, "truncate": truncate}


def reopen_fails_after_close_failed():
    def reopen():
        raise OSError(errno.EMFILE, "Too many open files")

    return {**close_fails_after_the_write(), "reopen": reopen}


def truncate_fails_in_its_own_handler():
    def write(file, data):
        file.write(data[:10])
        raise OSError(errno.EIO, "Input/output error")

    def truncate(file, length):
        try:
            {}["missing"]
        except KeyError:
            raise ValueError("truncate failed")

    return {"write": write, "truncate": truncate}


@pytest.mark.parametrize(
    "write",
    [
        lambda file, data: file.write(data[:3]),  # a few bytes each time
        lambda file, data: file.write(data[: 1 if len(data) == len(BLOCK) else None]),  # one, then the rest
    ],
    ids=["a-few-bytes-each-time", "one-byte-then-the-rest"],
)
def test_short_writes_append_the_whole_block(tmp_path, monkeypatch, write):
    monkeypatch.setattr(FaultyPath, "overrides", {"write": write})
    monkeypatch.setattr(FaultyPath, "opened", [])
    path = tmp_path / "CLAUDE.md"
    path.write_bytes(b"# mine\r\n")
    assert Edictor(tmp_path / "templates").inject("claude", FaultyPath(tmp_path) / "skills") == path
    assert path.read_bytes() == b"# mine\r\n" + BLOCK
    assert all(file.closed for file in FaultyPath.opened)


def context_chain(error):
    chain = []
    while error is not None and error not in chain:
        chain.append(error)
        error = error.__context__
    return [type(e).__name__ for e in chain], error is not None


INVALID_LENGTH = "raw write() returned invalid length {} (should have been between 0 and {})"
TOOK_NONE = "the file took none of the bytes written to it"


FILE_FAULTS = [
    (one_byte_then_a_huge_count, INVALID_LENGTH.format(sys.maxsize, len(BLOCK)), ["OSError"], True),
    (a_count_no_size_holds, "Python int too large to convert to C ssize_t", ["OverflowError"], True),
    (every_byte_and_one_more, INVALID_LENGTH.format(len(BLOCK) + 1, len(BLOCK)), ["OSError"], True),
    (a_negative_count, INVALID_LENGTH.format(-1, len(BLOCK)), ["OSError"], True),
    (write_returns_none, TOOK_NONE, ["OSError"], True),
    (write_takes_nothing, TOOK_NONE, ["OSError"], True),
    (tell_fails, "[Errno 5] tell failed", ["OSError"], True),
    (close_fails_after_the_write, "[Errno 5] write-back failed", ["OSError"], True),
    (reopen_fails_after_close_failed, "[Errno 24] Too many open files", ["OSError", "OSError"], False),
    # The same error again: no cycle in the chain.
    (truncate_raises_the_writes_error, "[Errno 5] Input/output error", ["OSError"], False),
    # Chained as an except block chains: each error's context is the one
    # being handled when it was raised.
    (truncate_fails_in_its_own_handler, "truncate failed", ["ValueError", "KeyError", "OSError"], False),
]


@pytest.mark.parametrize("make_fault, message, chain, restored", FILE_FAULTS, ids=[f[0].__name__ for f in FILE_FAULTS])
def test_file_object_faults(tmp_path, monkeypatch, make_fault, message, chain, restored):
    monkeypatch.setattr(FaultyPath, "overrides", make_fault())
    monkeypatch.setattr(FaultyPath, "opened", [])
    skills = FaultyPath(tmp_path) / "skills"
    path = tmp_path / "CLAUDE.md"
    path.write_bytes(b"# mine\r\n")
    with pytest.raises(Exception) as info:
        Edictor(tmp_path / "templates").inject("claude", skills)
    assert str(info.value) == message
    assert context_chain(info.value) == (chain, False)
    if restored:
        assert path.read_bytes() == b"# mine\r\n"
    assert FaultyPath.opened and all(file.closed for file in FaultyPath.opened)
    assert Edictor(tmp_path / "templates").inject("claude", tmp_path / "skills") == path


class Runtime(str):
    pass


def faulty_skills(tmp_path):
    FaultyPath.overrides = truncate_fails_in_its_own_handler()
    return FaultyPath(tmp_path) / "skills"


# Each failure path, with the context chain of its error when it happens
# while the caller handles a KeyError.
FAILING_CALLS = [
    ("binding error", lambda tmp_path: Edictor(None).inject(), ["TypeError", "KeyError"]),
    ("str subclass", lambda tmp_path: Edictor(None).inject(Runtime("claude"), tmp_path), ["TypeError", "KeyError"]),
    (
        "failed append",
        lambda tmp_path: Edictor(tmp_path).inject("claude", faulty_skills(tmp_path)),
        ["ValueError", "KeyError", "OSError", "KeyError"],
    ),
]


@types.coroutine
def suspend():
    yield


def caught(call, tmp_path):
    try:
        call(tmp_path)
    except Exception as error:
        return error


@pytest.mark.parametrize("kind", ["caller", "generator", "coroutine", "thrown"])
@pytest.mark.parametrize("call, chain", [c[1:] for c in FAILING_CALLS], ids=[c[0] for c in FAILING_CALLS])
def test_handled_exception_of_each_frame_is_kept(tmp_path, monkeypatch, kind, call, chain):
    monkeypatch.setattr(FaultyPath, "overrides", {})
    error = raised_in(kind, lambda _: call(tmp_path), KeyError("the caller's"))
    assert context_chain(error) == (chain, False)


# The append's clean-up (truncating the file after the write failed with W)
# raising, as each row makes it: the named exceptions, what truncate does,
# and the exception the caller handles meanwhile (or None).
def raising(exception):
    def truncate(file, length):
        raise exception

    return truncate


def a_fresh_error():
    def truncate(file, length):
        raise ValueError("truncate failed")

    return {"W": OSError(errno.EIO, "W")}, truncate, None


def a_fresh_error_while_the_caller_handles_one():
    known, truncate, _ = a_fresh_error()
    known["H"] = LookupError("H")
    return known, truncate, known["H"]


def the_callers_exception_again():
    known = {"W": OSError(errno.EIO, "W"), "H": LookupError("H"), "P": KeyError("P")}
    known["H"].__context__ = known["P"]
    return known, raising(known["H"]), known["H"]


def a_stored_exception_with_a_context():
    known = {"W": OSError(errno.EIO, "W"), "X": ValueError("X"), "Q": KeyError("Q")}
    known["X"].__context__ = known["Q"]
    return known, raising(known["X"]), None


def a_chain_in_a_circle():
    known = {"W": OSError(errno.EIO, "W"), "X": ValueError("X"), "Y": KeyError("Y")}
    known["X"].__context__, known["Y"].__context__ = known["Y"], known["X"]
    return known, raising(known["X"]), None


def its_own_handler():
    def truncate(file, length):
        try:
            {}["missing"]
        except KeyError:
            raise ValueError("truncate failed")

    return {"W": OSError(errno.EIO, "W")}, truncate, None


# The chain of what propagates, and each named exception's context after
# the call: what the same try/except gives in Python.
CLEAN_UP_ERRORS = [
    (a_fresh_error, ["ValueError", "W"], {"W": None}),
    (a_fresh_error_while_the_caller_handles_one, ["ValueError", "W", "H"], {"W": "H", "H": None}),
    (the_callers_exception_again, ["H", "W"], {"W": None, "H": "W", "P": None}),
    (a_stored_exception_with_a_context, ["X", "W"], {"W": None, "X": "W", "Q": None}),
    (a_chain_in_a_circle, ["X", "W"], {"W": None, "X": "W", "Y": "X"}),
    (its_own_handler, ["ValueError", "KeyError", "W"], {"W": None}),
]


def described(error, known):
    names = {id(exception): name for name, exception in known.items()}

    def name(exception):
        return None if exception is None else names.get(id(exception), type(exception).__name__)

    chain = []
    while error is not None and len(chain) < 6:  # a circle stops at 6
        chain.append(name(error))
        error = error.__context__
    return chain, {label: name(exception.__context__) for label, exception in known.items()}


def raised_in(kind, call, handled):
    """What `call` raises, made in the caller's frame, a generator or a
    coroutine, while the caller handles `handled`; every frame's handled
    exception stays what it was. The generator and the coroutine run on after
    the caller's except block has ended, and handle nothing then, as in
    Python; a generator that `handled` was thrown into still handles it."""

    def generator():
        yield caught(call, None)
        yield sys.exception()

    async def coroutine():
        error = caught(call, None)
        await suspend()
        return error, sys.exception()

    def handling(step):
        if handled is None:
            return step()
        try:
            raise handled
        except BaseException:
            result = step()
            assert sys.exception() is handled
            with pytest.raises(BaseException) as reraised:
                raise
            assert reraised.value is handled
            return result

    def handler():
        try:
            yield
        except BaseException:
            yield caught(call, None)
            yield sys.exception()

    if kind == "caller":
        return handling(lambda: caught(call, None))
    if kind == "thrown":  # the generator handles the very object its caller handles
        frame = handler()
        next(frame)
        first = handling(lambda: frame.throw(sys.exception()))
        assert next(frame) is handled
        return first
    frame = generator() if kind == "generator" else coroutine()
    first = handling(lambda: frame.send(None))
    try:
        second = frame.send(None)
    except StopIteration as stop:
        first, second = stop.value
    assert second is None
    return first


@pytest.mark.parametrize("kind", ["caller", "generator", "coroutine"])
@pytest.mark.parametrize("scenario, chain, contexts", CLEAN_UP_ERRORS, ids=[row[0].__name__ for row in CLEAN_UP_ERRORS])
def test_clean_up_errors_chain_as_in_python(tmp_path, monkeypatch, twins, kind, scenario, chain, contexts):
    outcomes = []
    for module in (edictor, twins["zelkor.skills.services.edictor"]):
        known, truncate, handled = scenario()

        def write(file, data, error=known["W"]):
            file.write(data[:10])
            raise error

        monkeypatch.setattr(FaultyPath, "overrides", {"write": write, "truncate": truncate})
        skills = FaultyPath(tmp_path) / "skills"
        call = lambda _: module.Edictor(tmp_path / "templates").inject("claude", skills)  # noqa: E731
        outcomes.append(described(raised_in(kind, call, handled), known))
        (tmp_path / "CLAUDE.md").unlink()
    assert outcomes[0] == outcomes[1] == (chain, contexts)

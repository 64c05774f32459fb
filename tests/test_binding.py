"""Argument binding of the native functions: messages, order of checks, traceback entry."""

import gc
import hashlib
import traceback
import weakref

import pytest
from conftest import capi_test_module

from zelkor.mcp import coffer

get_dir = coffer.get_credential_dir_for_key
# Stands in the tables for a folder that a refused call must never create:
# `absent`, below the test's own temporary folder.
ROOT = object()
TAKES = "get_credential_dir_for_key() takes exactly 2 positional arguments ({} given)"
MULTIPLE = "get_credential_dir_for_key() got multiple values for keyword argument '{}'"
UNEXPECTED = "get_credential_dir_for_key() got an unexpected keyword argument '{}'"


@pytest.fixture
def absent(tmp_path):
    folder = tmp_path / "never-created"
    yield folder
    assert not folder.exists()


def placed(values, folder):
    """`values` (a tuple or a dict) with ROOT replaced by `folder`."""
    if isinstance(values, dict):
        return {name: folder if value is ROOT else value for name, value in values.items()}
    return tuple(folder if value is ROOT else value for value in values)


def binding_error(call):
    with pytest.raises(TypeError) as info:
        call()
    return info.value


def entries(error):
    """The traceback entries beyond this file's own frames."""
    return [e for e in traceback.extract_tb(error.__traceback__) if e.filename != __file__]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, TAKES.format(0)),
        (("k",), {}, TAKES.format(1)),
        (("k", ROOT, 3), {}, TAKES.format(3)),
        # Too many positional arguments is reported before any keyword.
        (("k", ROOT, 3, 4), {"zz": 1}, TAKES.format(4)),
        # With keywords, the first missing parameter's position is the count.
        ((), {"base_root": ROOT}, TAKES.format(0)),
        ((), {"api_key": "k"}, TAKES.format(1)),
        ((), {"api_key": "k", "zz": 1}, TAKES.format(1)),
        # ... and it comes before the keyword problems.
        (("k",), {"api_key": "k"}, TAKES.format(1)),
        (("k",), {"zz": 1}, TAKES.format(1)),
        (("k", ROOT), {"api_key": "x"}, MULTIPLE.format("api_key")),
        (("k", ROOT), {"base_root": ROOT}, MULTIPLE.format("base_root")),
        (("k", ROOT), {"zz": 1}, UNEXPECTED.format("zz")),
        # Left-over keywords are reported in the order given.
        (("k", ROOT), {"zz": 1, "api_key": "x"}, UNEXPECTED.format("zz")),
        (("k", ROOT), {"api_key": "x", "zz": 1}, MULTIPLE.format("api_key")),
        ((), {"api_key": "k", "base_root": ROOT, "Api_key": 1}, UNEXPECTED.format("Api_key")),
    ],
)
def test_binding_errors(absent, args, kwargs, message):
    error = binding_error(lambda: get_dir(*placed(args, absent), **placed(kwargs, absent)))
    assert str(error) == message


# Defaults set by Python code count in the messages of the next call; of a
# tuple longer than the parameters, only the last values count.
@pytest.mark.parametrize(
    "defaults, args, message",
    [
        ((ROOT,), (), "get_credential_dir_for_key() takes at least 1 positional argument (0 given)"),
        ((ROOT,), ("k", ROOT, 3), "get_credential_dir_for_key() takes at most 2 positional arguments (3 given)"),
        (("x", "k", ROOT), (), None),
        ((), (), TAKES.format(0)),
    ],
)
def test_binding_counts_the_defaults_the_function_has(monkeypatch, tmp_path, defaults, args, message):
    monkeypatch.setattr(get_dir, "__defaults__", placed(defaults, tmp_path))
    if message is None:
        assert get_dir(*placed(args, tmp_path)) == tmp_path / hashlib.sha256(b"k").hexdigest()[:16]
    else:
        assert str(binding_error(lambda: get_dir(*placed(args, tmp_path)))) == message


def test_binding_error_adds_one_traceback_entry():
    error = binding_error(lambda: get_dir())
    [entry] = entries(error)
    assert (entry.filename, entry.lineno, entry.name) == (
        "zelkor/mcp/coffer",
        13,
        "zelkor.mcp.coffer.get_credential_dir_for_key",
    )
    rendered = "".join(traceback.format_exception(error))
    assert 'File "zelkor/mcp/coffer", line 13, in zelkor.mcp.coffer.get_credential_dir_for_key' in rendered


def test_binding_errors_share_nothing_through_their_frames():
    # What code holding one traceback does to its frame (a debugger's trace
    # function, a local) never shows in another traceback.
    def entry_frame():
        error = binding_error(get_dir)
        return [frame for frame, _ in traceback.walk_tb(error.__traceback__)][-1]

    class Kept:
        pass

    kept = Kept()
    first = entry_frame()
    second = entry_frame()
    assert second is not first  # while the first one is still held
    second.f_trace = lambda *args: None
    second.f_trace_lines, second.f_trace_opcodes = False, True
    second.f_locals["kept"] = kept
    kept = weakref.ref(kept)
    del first, second
    gc.collect()  # the tracebacks of pytest.raises are in cycles
    later = entry_frame()
    assert (later.f_trace, later.f_trace_lines, later.f_trace_opcodes, later.f_locals) == (None, True, False, {})
    assert kept() is None
    # A reader that keeps the frame's locals, not the frame, keeps them as
    # they are, and shares them with no later frame.
    reader = later.f_locals
    reader["note"] = "mine"
    del later
    gc.collect()
    assert (entry_frame().f_locals, reader) == ({}, {"note": "mine"})
    # Nor the new locals a cleared frame makes (traceback.clear_frames).
    cleared = entry_frame()
    cleared.clear()
    reader = cleared.f_locals
    reader["note"] = "mine"
    del cleared
    gc.collect()
    assert (entry_frame().f_locals, reader) == ({}, {"note": "mine"})


@pytest.mark.parametrize(
    "key, type_name", [(None, "NoneType"), (b"key", "bytes"), (1, "int"), (["k"], "list")]
)
def test_exact_str_check(absent, key, type_name):
    error = binding_error(lambda: get_dir(key, absent))
    assert str(error) == f"Argument 'api_key' has incorrect type (expected str, got {type_name})"
    assert entries(error) == []  # a failed type check adds no entry
    assert not hasattr(error, "__notes__")


def test_str_subclass_is_refused_with_a_note(absent):
    class Key(str):
        pass

    error = binding_error(lambda: get_dir(Key("k"), base_root=absent))
    assert str(error) == "Argument 'api_key' has incorrect type (expected str, got Key)"
    assert len(error.__notes__) == 1
    assert "Subclasses of str are refused" in error.__notes__[0]


# Calls through the C API can carry keyword names Python syntax cannot.
@pytest.mark.parametrize(
    "values, kwnames, message",
    [
        (("k", ROOT, 1), (5,), "get_credential_dir_for_key() keywords must be strings"),
        (("k", ROOT, 1), ("zz",), UNEXPECTED.format("zz")),
        (("k", ROOT, ROOT), ("base_root", "base_root"), MULTIPLE.format("base_root")),
        (("k", ROOT, 1, 2), ("zz", 7), UNEXPECTED.format("zz")),
        (("k", ROOT, 1, 2), (7, "zz"), "get_credential_dir_for_key() keywords must be strings"),
    ],
)
def test_vectorcall_keyword_names(absent, values, kwnames, message):
    error = binding_error(lambda: capi_test_module().pyobject_vectorcall(get_dir, placed(values, absent), kwnames))
    assert str(error) == message
    assert [e.name for e in entries(error)] == ["zelkor.mcp.coffer.get_credential_dir_for_key"]


def test_keyword_names_match_by_value(tmp_path):
    class Name(str):
        pass

    # Neither interned nor exactly str: matched by what it spells.
    spelled = "".join(["base", "_root"])
    result = capi_test_module().pyobject_vectorcall(get_dir, ("k", tmp_path), (Name(spelled),))
    assert result.parent == tmp_path

"""The native function objects look and behave like Python functions."""

import copy
import inspect
import pickle
import pydoc
import weakref

import pytest

from zelkor.mcp import coffer

get_dir = coffer.get_credential_dir_for_key


def test_metadata():
    assert get_dir.__name__ == "get_credential_dir_for_key"
    assert get_dir.__qualname__ == "get_credential_dir_for_key"
    assert get_dir.__module__ == "zelkor.mcp.coffer"
    assert get_dir.__defaults__ is None
    assert get_dir.__kwdefaults__ is None
    assert get_dir.__annotations__ == {"api_key": "str", "base_root": "Path", "return": "Path"}
    assert get_dir.__globals__ is vars(coffer)
    assert repr(get_dir).startswith("<function get_credential_dir_for_key at 0x")
    # What tells the type where its fields are is no attribute of a function
    # (__vectorcalloffset__ would read a code address).
    for name in ("__vectorcalloffset__", "__dictoffset__", "__weaklistoffset__"):
        assert not hasattr(get_dir, name), name


def test_signature_and_help():
    def get_credential_dir_for_key(api_key: "str", base_root: "Path") -> "Path":
        pass

    assert str(inspect.signature(get_dir)) == "(api_key: 'str', base_root: 'Path') -> 'Path'"
    text = pydoc.render_doc(get_dir, renderer=pydoc.plaintext)
    # The signature line as this version's pydoc renders it for Python code.
    python_text = pydoc.render_doc(get_credential_dir_for_key, renderer=pydoc.plaintext)
    [signature] = [line for line in python_text.splitlines() if line.startswith("get_credential_dir_for_key(")]
    assert signature in text.splitlines()
    assert "将 API Key 映射为固定长度的目录名。" in text
    assert inspect.isroutine(get_dir)


def test_code_describes_the_parameters():
    code = get_dir.__code__
    assert code.co_varnames == ("api_key", "base_root")
    assert code.co_argcount == 2
    assert (code.co_filename, code.co_firstlineno) == ("zelkor/mcp/coffer", 13)


def test_binds_like_a_function(tmp_path):
    class Holder:
        method = get_dir

    assert Holder.method is get_dir
    assert get_dir.__get__(None, Holder) is get_dir
    bound = Holder().method
    assert inspect.ismethod(bound) and bound.__func__ is get_dir
    # Bound to a str instance, the instance becomes the key.
    assert get_dir.__get__("key")(tmp_path) == get_dir("key", tmp_path)


def test_writable_attributes():
    original = get_dir.__doc__
    try:
        get_dir.__doc__ = "replaced"
        get_dir.marker = 1
        assert (get_dir.__doc__, get_dir.__dict__) == ("replaced", {"marker": 1})
    finally:
        get_dir.__doc__ = original
        del get_dir.marker
    with pytest.raises(AttributeError):
        get_dir.__defaults__ = ("x",)
    with pytest.raises(TypeError):
        get_dir.__name__ = 1


def test_pickle_copy_and_weakref():
    assert pickle.loads(pickle.dumps(get_dir)) is get_dir
    assert copy.deepcopy(get_dir) is get_dir
    assert weakref.ref(get_dir)() is get_dir


def test_type_cannot_be_instantiated():
    with pytest.raises(TypeError):
        type(get_dir)()


def test_usable_after_the_collector_clears_it(run_python, tmp_path):
    # The function is garbage in a cycle. A finalizer of the cycle gives it
    # an attribute whose own finalizer runs as the collector clears the
    # cycle, and takes the function back by its address: no reference path
    # leads to it, so the collector still clears it. Every slot must still
    # work on the cleared function.
    out = run_python(f"""
        import ctypes, gc, pathlib
        from zelkor.mcp import coffer
        f = coffer.get_credential_dir_for_key
        del coffer.get_credential_dir_for_key

        class Holder(tuple):
            pass

        class Reviver:
            def __init__(self, function):
                self.address = id(function)

            def __del__(self):
                global revived
                revived = ctypes.cast(self.address, ctypes.py_object).value

        class Finalized:
            def __del__(self):
                function = self.holder[0]
                function.reviver = Reviver(function)

        finalized = Finalized()
        finalized.holder = Holder((f, finalized))
        f.__module__ = finalized.holder
        f.marker = None
        del f, finalized
        gc.collect()
        f = revived
        print(repr(f).split(" at ")[0], repr(f.__name__), f.__module__, f.__doc__, f.__dict__)
        print(f.__annotations__, f.__defaults__, f.__code__.co_varnames, f.__globals__ is vars(coffer))
        root = pathlib.Path({str(tmp_path)!r})
        print(f("key", root).name, f(base_root=root, api_key="key").name)
        for call in (lambda: f(), lambda: f("key", root, 3)):
            try:
                call()
            except Exception as error:
                print(type(error).__name__, error)
    """)
    assert out.splitlines() == [
        "<function  '' None None {}",
        "{} None ('api_key', 'base_root') True",
        "2c70e12b7a0646f9 2c70e12b7a0646f9",  # sha256(b"key")
        "TypeError get_credential_dir_for_key() takes exactly 2 positional arguments (0 given)",
        "TypeError get_credential_dir_for_key() takes exactly 2 positional arguments (3 given)",
    ]

"""Loading: once per process, into one interpreter, and missing imports."""

import pytest


@pytest.mark.parametrize("module", ["zelkor.mcp.coffer", "zelkor.skills.services.edictor"])
def test_reimport_and_reload_give_back_the_same_module(run_python, module):
    out = run_python(f"""
        import importlib, sys
        import {module} as first
        function = vars(first).copy()
        del sys.modules["{module}"]
        import {module} as second
        assert second is first
        assert importlib.reload(second) is first
        assert vars(first) == function
        print("same")
    """)
    assert out == "same\n"


@pytest.mark.parametrize("module", ["zelkor.mcp.coffer", "zelkor.skills.services.edictor"])
def test_second_interpreter_is_refused(run_python, module, tmp_path):
    result = tmp_path / "result"
    inner = (
        f"try:\n    import {module}\n"
        f"except ImportError as error:\n    open({str(result)!r}, 'w').write(str(error))\n"
    )
    out = run_python(f"""
        import _testcapi
        import {module}
        assert _testcapi.run_in_subinterp({inner!r}) == 0
        print("done")
    """)
    assert out == "done\n"
    assert result.read_text() == (
        "Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


@pytest.mark.parametrize(
    "module, short", [("zelkor.mcp.coffer", "coffer"), ("zelkor.skills.services.edictor", "edictor")]
)
def test_executing_a_second_module_object_is_refused(run_python, module, short):
    # Drive the module's execution step directly on a new module object.
    out = run_python(f"""
        import ctypes, types
        import {module} as loaded
        library = ctypes.CDLL(loaded.__file__)
        init = library.PyInit_{short}
        init.restype = ctypes.c_void_p
        definition = init()
        execute = ctypes.pythonapi.PyModule_ExecDef
        execute.argtypes = [ctypes.py_object, ctypes.c_void_p]
        for target in (loaded, types.ModuleType("{module}")):
            try:
                execute(target, definition)
                print("ok")
            except RuntimeError as error:
                print(error)
    """)
    assert out == (
        "ok\n"
        f"Module '{short}' has already been imported. Re-initialisation is not supported.\n"
    )


def test_missing_name_in_an_import(run_python):
    out = run_python("""
        import pathlib, sys
        saved = pathlib.Path
        del pathlib.Path
        try:
            import zelkor.mcp.coffer
        except ImportError as error:
            print(type(error).__name__, error)
        assert "zelkor.mcp.coffer" not in sys.modules
        pathlib.Path = saved
        import zelkor.mcp.coffer as coffer
        print(list(vars(coffer))[-4:])
    """)
    assert out == (
        "ImportError cannot import name Path\n"
        "['hashlib', 'Path', 'get_credential_dir_for_key', '__test__']\n"
    )


def test_missing_module_stops_the_load(run_python):
    out = run_python("""
        import sys
        sys.modules["hashlib"] = None
        try:
            import zelkor.mcp.coffer
        except ImportError as error:
            print(type(error).__name__)
    """)
    assert out == "ModuleNotFoundError\n"

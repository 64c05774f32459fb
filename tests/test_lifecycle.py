"""Loading: once per process, into one interpreter, and missing imports."""

import subprocess
import sys
from pathlib import Path

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


def test_version_mismatch_warns_and_loads(tmp_path, run_python):
    # A build that takes itself for one made for CPython 3.11.
    source = Path(__file__).resolve().parents[1]
    if not (source / "CMakeLists.txt").is_file():
        pytest.skip("no source tree to build from")
    cmake = Path(pytest.importorskip("cmake").CMAKE_BIN_DIR) / "cmake"
    build = tmp_path / "build"
    configure = [cmake, "-S", source, "-B", build, f"-DPython_EXECUTABLE={sys.executable}",
                 "-DZELKOR_ASSUMED_PYTHON_VERSION=3.11", "-DCMAKE_BUILD_TYPE=Release"]
    subprocess.run(configure, check=True, capture_output=True)
    subprocess.run([cmake, "--build", build, "--target", "coffer"], check=True, capture_output=True)
    [library] = build.glob("coffer.*.so")
    out = run_python(f"""
        import importlib.util, warnings
        spec = importlib.util.spec_from_file_location("zelkor.mcp.coffer", {str(library)!r})
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            module = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(module)
        for warning in caught:
            print(warning.category.__name__, warning.message)
        print(module.get_credential_dir_for_key.__module__)
    """)
    runtime = "%d.%d" % sys.version_info[:2]
    assert out == (
        f"RuntimeWarning compile time Python version 3.11 of module 'zelkor.mcp.coffer' "
        f"does not match runtime version {runtime}\n"
        "zelkor.mcp.coffer\n"
    )

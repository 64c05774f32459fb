"""Loading: once per process, into one interpreter, and missing imports."""

import os
import shlex
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest
from conftest import HOST_STAND_IN, capi_test_module


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
    capi_test_module()
    out = run_python(f"""
        import _testcapi
        import {module}
        assert _testcapi.run_in_subinterp({inner!r}) == 0
        print("done")
    """)
    assert out == "done\n"
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        # There the interpreter itself checks what a module declares first.
        assert result.read_text() == f"module {module} does not support loading in subinterpreters"
    else:
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


NESTED_HOST = """
import _imp, sys
from pathlib import Path

# Loaded while edictor is being executed, it executes edictor once more.
loading = sys.modules["zelkor.skills.services.edictor"]
try:
    _imp.exec_dynamic(_imp.create_dynamic(loading.__spec__))
    NESTED = "nested execution: no-op"
except Exception as error:
    NESTED = f"nested execution: {type(error).__name__}: {error}"

def get_builtin_templates_dir():
    return Path(__file__).parent / "templates"
"""


def test_nested_execution_leaves_the_module_whole(run_python, tmp_path):
    host = tmp_path / "zelkor" / "skills" / "packaging.py"
    host.parent.mkdir(parents=True)
    host.write_text(NESTED_HOST)
    out = run_python(f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        import zelkor.skills.services.edictor as first
        from zelkor.skills import packaging
        print(packaging.NESTED)
        names = list(vars(first))
        del sys.modules["zelkor.skills.services.edictor"]
        import zelkor.skills.services.edictor as second
        print(second is first, list(vars(second)) == names, names[-3:])
    """)
    assert out == (
        "nested execution: no-op\n"
        "True True ['Edictor', '_DEFAULT_RULE_CONTENT', '__test__']\n"
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


def test_version_mismatch_warns_and_loads(tmp_path, run_python, tool_env):
    # A build that takes itself for one made for CPython 3.11.
    source = Path(__file__).resolve().parents[1]
    if not (source / "CMakeLists.txt").is_file():
        pytest.skip("no source tree to build from")
    cmake = Path(pytest.importorskip("cmake").CMAKE_BIN_DIR) / "cmake"
    build = tmp_path / "build"
    configure = [cmake, "-S", source, "-B", build, f"-DPython_EXECUTABLE={sys.executable}",
                 "-DZELKOR_ASSUMED_PYTHON_VERSION=3.11", "-DCMAKE_BUILD_TYPE=Release"]
    subprocess.run(configure, check=True, capture_output=True, env=tool_env)
    subprocess.run([cmake, "--build", build, "--target", "coffer", "--config", "Release"], check=True, capture_output=True,
                   env=tool_env)
    [library] = [path for path in build.rglob("coffer.*") if path.suffix in (".so", ".pyd")]
    out = run_python(f"""
        import importlib.util, warnings
        found = importlib.util.spec_from_file_location("zelkor.mcp.coffer", {str(library)!r})
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            module = importlib.util.module_from_spec(found)
            found.loader.exec_module(module)
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


EMBEDDING_PROGRAM = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdio.h>
#include <stdlib.h>

/* Runs argv[2] in a new runtime, argv[1] times, finalised in between. A
   debug build tells how many references the finalised runtime left. */
int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    for (int round = atoi(argv[1]); round > 0; --round) {
        Py_Initialize();
        int failed = PyRun_SimpleString(argv[2]);
        if (Py_FinalizeEx() < 0 || failed) {
            return 1;
        }
#ifdef Py_REF_DEBUG
        printf("references left: %zd\n", _Py_GetGlobalRefTotal());
        fflush(stdout);
#endif
    }
    return 0;
}
"""

ONE_ROUND = """
import pathlib, sys, tempfile, types, _sha2
# CPython's hashlib (its OpenSSL part) does not survive a new runtime; the
# built-in SHA-256 does.
sys.modules["hashlib"] = types.SimpleNamespace(sha256=_sha2.sha256)
from zelkor.mcp import coffer
from zelkor.skills.services.edictor import Edictor
root = pathlib.Path(tempfile.mkdtemp())
print(coffer.get_credential_dir_for_key("key", root).name, Edictor(root).inject("claude", root / "skills").name)
for _ in range(2):  # a binding error's frame is made, kept, then reused
    try:
        coffer.get_credential_dir_for_key()
    except TypeError:
        pass
"""


@pytest.mark.parametrize("allocator", [None, "debug"])
def test_each_new_runtime_loads_the_modules_afresh(tmp_path, allocator, tool_env):
    # An application that embeds Python, finalises it and starts it again.
    # The running interpreter's own library: a debug build's has its "d".
    config = Path(sys.base_prefix) / "bin" / f"python{sysconfig.get_python_version()}{sys.abiflags}-config"
    if not config.is_file():
        pytest.skip(f"no {config.name} to build an embedding program with")
    flags = subprocess.run([config, "--embed", "--cflags", "--ldflags"], capture_output=True, text=True, check=True,
                           env=tool_env)
    source = tmp_path / "embed.c"
    source.write_text(EMBEDDING_PROGRAM)
    program = tmp_path / "embed"
    compiler = shlex.split(sysconfig.get_config_var("CC") or "cc")
    # Linked with a static library, the program must export the interpreter's
    # symbols to the extension modules it loads.
    static = not sysconfig.get_config_var("Py_ENABLE_SHARED")
    exports = shlex.split(sysconfig.get_config_var("LINKFORSHARED")) if static else []
    built = subprocess.run([*compiler, source, "-o", program, *flags.stdout.split(), *exports], capture_output=True,
                           text=True, env=tool_env)
    if built.returncode != 0:  # an interpreter without a library to embed
        pytest.skip(f"cannot build an embedding program here: {built.stderr[-500:]}")
    paths = [sysconfig.get_path("platlib"), HOST_STAND_IN]
    env = {**os.environ, "PYTHONHOME": sys.base_prefix, "PYTHONPATH": os.pathsep.join(paths)}
    if allocator:
        env["PYTHONMALLOC"] = allocator
    if "ASAN_OPTIONS" in env:
        # The interpreter keeps objects of a finished runtime for ever by
        # design: under a sanitizer, check memory errors, not leaks.
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    done = subprocess.run([program, "3", ONE_ROUND], capture_output=True, text=True, errors="replace", env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    # Each runtime releases all it made, as it does without the modules.
    left = "references left: 0\n" if hasattr(sys, "gettotalrefcount") else ""
    assert done.stdout == ("2c70e12b7a0646f9 CLAUDE.md\n" + left) * 3


def test_functions_outlive_their_module_at_exit():
    # Python code runs while the interpreter is cleared (here as the warning
    # filters go), after the runtime's owner: a function still held binds
    # and rebuilds its methods as before.
    source = textwrap.dedent("""
        import warnings
        from zelkor.mcp.coffer import get_credential_dir_for_key
        class Holder:
            method = get_credential_dir_for_key
            def __del__(self):
                bound = self.method
                assert type(type(bound)(bound.__func__, self)) is type(bound)
        warnings.filters.insert(0, ("ignore", Holder(), Warning, None, 0))
    """)
    done = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, "")

"""Several threads calling both modules at once, each on its own targets."""

import hashlib
import subprocess
import sys
import sysconfig
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

from zelkor.mcp.coffer import get_credential_dir_for_key
from zelkor.skills.services.edictor import RULE_MARKER, Edictor

THREADS = 8
ROUNDS = 200


def worker(root, number):
    injector = Edictor(root / "templates")
    rule = injector._load_rule_content()
    for round_ in range(ROUNDS):
        key = f"key-{number}-{round_}"
        path = get_credential_dir_for_key(key, root / "keys")
        assert path.name == hashlib.sha256(key.encode()).hexdigest()[:16]
        skills = root / f"editor-{number}-{round_ % 10}" / "skills"
        config = injector.inject("claude", skills)
        assert config == skills.parent / "CLAUDE.md"
        assert injector._load_rule_content() == rule
    return number


def test_threads_on_distinct_targets(tmp_path):
    start = threading.Barrier(THREADS)

    def run(number):
        start.wait()
        return worker(tmp_path, number)

    with ThreadPoolExecutor(THREADS) as pool:
        assert sorted(pool.map(run, range(THREADS))) == list(range(THREADS))
    configs = sorted(tmp_path.glob("editor-*/CLAUDE.md"))
    assert len(configs) == THREADS * 10
    for config in configs:
        assert config.read_text(encoding="utf-8").count(RULE_MARKER) == 1
    assert len(list((tmp_path / "keys").iterdir())) == THREADS * ROUNDS


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="an interpreter with a GIL")
def test_import_leaves_the_gil_off():
    imports = "import sys, zelkor.mcp.coffer, zelkor.skills.services.edictor; print(sys._is_gil_enabled())"
    done = subprocess.run([sys.executable, "-W", "error", "-c", imports], capture_output=True, text=True)
    assert (done.returncode, done.stdout, done.stderr) == (0, "False\n", "")


# Threads that start together right after the import, when the modules make
# the objects they keep on first use, and call every function on its success
# and error paths, binding errors through one shared function.
STRESS = """
import errno, sys, sysconfig, threading, traceback, types
from pathlib import Path

from zelkor.mcp.coffer import get_credential_dir_for_key as get_dir
from zelkor.skills.services.edictor import Edictor

if sysconfig.get_config_var("Py_GIL_DISABLED"):
    assert not sys._is_gil_enabled()
THREADS, ROUNDS = 8, 50
root = Path(ROOT)
shared = Edictor(root / "templates")


class Key(str):
    pass


class FailingFile:
    def __init__(self, real):
        self.real = real

    def __getattr__(self, name):
        return getattr(self.real, name)

    def write(self, data):
        self.real.write(data[:5])
        raise OSError(errno.EIO, "Input/output error")


class FailingPath(type(Path())):
    def open(self, mode="r", buffering=-1, *args, **kwargs):
        real = super().open(mode, buffering, *args, **kwargs)
        return FailingFile(real) if mode == "ab" else real


def failure(call):
    try:
        call()
    except Exception as error:
        return error
    raise AssertionError("no error")


def binding_error(call, message, entry):
    error = failure(call)
    assert type(error) is TypeError and str(error) == message, error
    assert traceback.extract_tb(error.__traceback__)[-1].name == entry
    return error


holders = [types.SimpleNamespace() for _ in range(THREADS)]

# Each thread hands the frame of an entry to the next one, which changes it
# as a debugger would while the first one goes on raising entries.
handed = [None] * THREADS


def debug_the_handed_frame(number, error):
    frame = [frame for frame, _ in traceback.walk_tb(error.__traceback__)][-1]
    assert (frame.f_trace, frame.f_trace_lines, frame.f_trace_opcodes, frame.f_locals) == (None, True, False, {})
    handed[(number + 1) % THREADS] = frame
    frame = handed[number]
    handed[number] = None
    if frame is not None:
        frame.f_trace = lambda *args: None
        frame.f_trace_lines = False
        frame.f_locals["debugged"] = True


def work(number, start):
    start.wait()
    for round_ in range(ROUNDS):
        key = f"key-{number}-{round_}"
        assert get_dir(key, root / "keys").parent == root / "keys"
        skills = root / f"editor-{number}" / "skills"
        assert shared.inject("claude", skills) == skills.parent / "CLAUDE.md"
        assert Edictor(root)._load_rule_content() == shared._load_rule_content()
        binding_error(lambda: get_dir(), TAKES.format("get_credential_dir_for_key", 2, 0), COFFER)
        binding_error(lambda: get_dir(key, root, kw3=3), UNEXPECTED.format("get_credential_dir_for_key", "kw3"), COFFER)
        for _ in range(10):  # each reuses, or makes, the function's traceback frame
            binding_error(lambda: shared.inject("claude", skills, kw3=3), UNEXPECTED.format("inject", "kw3"), INJECT)
            binding_error(lambda: shared.inject(3), TAKES.format("inject", 3, 2), INJECT)
        error = binding_error(lambda: Edictor(1, 2), "__init__() takes at most 2 positional arguments (3 given)", INIT)
        # Defaults that each thread sets in turn, for both parameters: a call
        # binds with one whole set, whoever set it.
        Edictor.__init__.__defaults__ = (holders[number], root / f"templates-{number}")
        Edictor.__init__()
        for n, holder in enumerate(holders):
            assert getattr(holder, "templates_dir", root / f"templates-{n}") == root / f"templates-{n}"
        debug_the_handed_frame(number, error)
        refused = failure(lambda: shared.inject(Key("claude"), skills))
        assert type(refused) is TypeError and len(refused.__notes__) == 1
        refused = failure(lambda: get_dir(Key(key), root))
        assert type(refused) is TypeError and len(refused.__notes__) == 1
        failed = root / f"failing-{number}-{round_}"
        failed.mkdir()
        (failed / "CLAUDE.md").write_bytes(b"mine")
        error = failure(lambda: shared.inject("claude", FailingPath(failed) / "skills"))
        assert type(error) is OSError and error.errno == errno.EIO, error
        assert (failed / "CLAUDE.md").read_bytes() == b"mine"
    # Binding errors of one function as fast as the threads can raise them,
    # each traceback dropped at once: where a frame passes between threads.
    for _ in range(ROUNDS * 10):
        try:
            get_dir()
        except TypeError:
            pass


# From 3.13 the class's methods report their calls to the profiler tool,
# whichever thread calls them: none is lost.
reported = {}
counting = threading.Lock()


def report(event, code, *rest):
    if code.co_filename != "zelkor/skills/services/edictor":
        return sys.monitoring.DISABLE if event != sys.monitoring.events.PY_UNWIND else None
    with counting:
        reported[event, code.co_name] = reported.get((event, code.co_name), 0) + 1


if sys.version_info >= (3, 13):
    E = sys.monitoring.events
    sys.monitoring.use_tool_id(sys.monitoring.PROFILER_ID, "counter")
    for event in (E.PY_START, E.PY_RETURN, E.PY_UNWIND):
        sys.monitoring.register_callback(sys.monitoring.PROFILER_ID, event, lambda *args, event=event: report(event, *args))
    sys.monitoring.set_events(sys.monitoring.PROFILER_ID, E.PY_START | E.PY_RETURN | E.PY_UNWIND)

start = threading.Barrier(THREADS)
threads = [threading.Thread(target=work, args=(n, start)) for n in range(THREADS)]
errors = []
threading.excepthook = lambda args: errors.append(args.exc_value)
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
assert not errors, errors
print("done", len(list((root / "keys").iterdir())))
if sys.version_info >= (3, 13):
    for name in ("__init__", "inject", "_load_rule_content"):
        started = reported[E.PY_START, name]
        assert started == reported.get((E.PY_RETURN, name), 0) + reported.get((E.PY_UNWIND, name), 0), reported
    # Each round: inject succeeds once and raises twice (a refused str
    # subclass, a failed append); two instances are made.
    calls = THREADS * ROUNDS
    assert (reported[E.PY_START, "inject"], reported[E.PY_UNWIND, "inject"]) == (3 * calls, 2 * calls), reported
    assert reported[E.PY_START, "__init__"] == reported[E.PY_RETURN, "__init__"] == 2 * calls, reported
"""

STRESS_RUNS = 5


@pytest.mark.parametrize("run", range(STRESS_RUNS))
def test_threads_start_together_after_the_import(run_python, tmp_path, run):
    constants = {
        "ROOT": str(tmp_path),
        "TAKES": "{}() takes exactly {} positional arguments ({} given)",
        "UNEXPECTED": "{}() got an unexpected keyword argument '{}'",
        "COFFER": "zelkor.mcp.coffer.get_credential_dir_for_key",
        "INJECT": "zelkor.skills.services.edictor.Edictor.inject",
        "INIT": "zelkor.skills.services.edictor.Edictor.__init__",
    }
    source = "".join(f"{name} = {value!r}\n" for name, value in constants.items()) + STRESS
    assert run_python(source) == "done 400\n"

"""Native zelkor modules against the same code in pure Python, in one process.

Measures, side by side, each public operation of ``zelkor.mcp.coffer`` and
``zelkor.skills.services.edictor`` and of its pure-Python twin (``twin/``, the
same code written in Python, shared with the tests):

- ``get_credential_dir_for_key`` on a directory that already exists;
- ``Edictor.inject`` on a file that already holds the marker (a small file,
  also with cProfile recording the calls, and a 10 MB one with the marker
  near the end) and on a file that does not exist;
- ``Edictor()`` with an explicit templates folder and with the default;
- ``_load_rule_content`` with and without a rule file in the templates;
- a call with no arguments, which fails binding with a ``TypeError`` (also
  through the bound method of ``get_credential_dir_for_key`` put in a class),
  and one with None for a ``str``, which fails its type check.

On a free-threaded interpreter it also runs each operation that leaves the
files as they were in one thread and in one thread per core, the same total
number of calls, and prints the speed-up of each side.

Each figure is the median over several rounds of the mean time per call in a
round; rounds of the two sides alternate, so drift hits both alike, and the
garbage collector is off while a round runs, as in ``timeit``.

It also prints each module's own import time (the median "self" time of its
line under ``-X importtime`` in fresh interpreters) and, for ``inject`` on a
file that holds the marker, the floor any implementation pays: ``os.stat``,
``os.open``, one ``os.read`` of the whole file, ``os.close``, decoding the
bytes and ``RULE_MARKER in text``. The floor is timed with the newline
translation of a text-mode read (what ``Path.read_text`` does) and with a bare
``bytes.decode``.

Run from the repository root (a full run takes under a minute, --quick a few
seconds):

    .venv/bin/python benchmarks/bench.py
    .venv/bin/python benchmarks/bench.py --quick
"""

import argparse
import cProfile
import gc
import io
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import threading
from dataclasses import dataclass
from pathlib import Path
from time import perf_counter_ns
from typing import Callable

# The host tool's zelkor.skills.packaging is not installed with the modules;
# the benchmark uses the stand-in. The pure-Python twins are in twin/.
REPOSITORY = Path(__file__).resolve().parents[1]
HOST_STAND_IN = str(REPOSITORY / "host-stand-in")
sys.path.insert(0, HOST_STAND_IN)
sys.path.append(str(REPOSITORY))

import twin  # noqa: E402
from zelkor.mcp import coffer as native_coffer  # noqa: E402
from zelkor.skills.services import edictor as native_edictor  # noqa: E402

# The pure-Python side: the twins, which look their names up in their own
# module namespaces at each call, as the native functions do.
pure_coffer = twin.load("zelkor.mcp.coffer")
pure_edictor = twin.load("zelkor.skills.services.edictor")
RULE_MARKER = native_edictor.RULE_MARKER


# ---------------------------------------------------------------------------
# The floor of inject on a file that holds the marker.


def read_whole(path: str) -> bytes:
    """The bare system calls: stat, open, one read, close."""
    size = os.stat(path).st_size
    fd = os.open(path, os.O_RDONLY)
    try:
        return os.read(fd, size)
    finally:
        os.close(fd)


def floor_text(path: str) -> bool:
    """stat, open, read, close, decode with newline translation, search.

    The newline pass is the one a text-mode read makes. It looks for a 0x0D
    byte in the decoded string's storage and, on finding one, rebuilds the
    string character by character. In a two-byte string a character such as
    U+4E0D holds that byte too, so the Chinese lines of the large file send
    the pass, and Path.read_text with it, down the slow path.
    """
    data = read_whole(path)
    newlines = io.IncrementalNewlineDecoder(None, translate=True)
    return RULE_MARKER in newlines.decode(data.decode("utf-8"), final=True)


def floor_bytes_decode(path: str) -> bool:
    """As floor_text, with a bare bytes.decode and no newline translation."""
    return RULE_MARKER in read_whole(path).decode("utf-8")


# ---------------------------------------------------------------------------
# Test data.

ASCII_LINES = [
    "## Working agreement",
    "Keep each change small and explain why it is needed in the message.",
    "- Run the whole test suite before asking for a review.",
    "- Prefer `pathlib.Path` over string paths in new code.",
    "```sh",
    "make test",
    "```",
    "",
    "> Notes from the last planning meeting follow below.",
    "1. Profile first, then optimise the parts that show up in the profile.",
]
OTHER_LINES = [
    "### 约定：所有命令失败后必须提交反馈，不得跳过。",
    "- Größere Änderungen bitte vorher im Team besprechen — danke! ✓",
    "- Ошибки записываются в журнал, а не в стандартный вывод.",
]


def markdown_text(size: int, seed: int = 7) -> str:
    """About `size` bytes of Markdown, one line in 40 not ASCII."""
    rng = random.Random(seed)
    lines, total = [], 0
    while total < size:
        pool = OTHER_LINES if rng.randrange(40) == 0 else ASCII_LINES
        line = rng.choice(pool)
        lines.append(line)
        total += len(line.encode("utf-8")) + 1
    return "\n".join(lines) + "\n"


def marked_file(folder: Path, size: int) -> Path:
    """A CLAUDE.md of about `size` bytes whose marker sits near the end."""
    folder.mkdir(parents=True)
    tail = f"\n\n{RULE_MARKER}\n\n## The rule\n\nA few closing lines.\n"
    (folder / "CLAUDE.md").write_text(markdown_text(size) + tail, encoding="utf-8")
    return folder / "skills"


@dataclass
class Workspace:
    credentials: Path
    templates_with_rule: Path
    templates_without_rule: Path
    small_marked: Path  # skills folders; CLAUDE.md lies beside each
    large_marked: Path
    fresh: list[Path]  # skills folders whose CLAUDE.md is made and removed


def make_workspace(root: Path, fresh_count: int) -> Workspace:
    credentials = root / "credentials_by_key"
    native_coffer.get_credential_dir_for_key("sk-bench-0001", credentials)
    with_rule = root / "templates_with_rule"
    rule_file = with_rule / pure_edictor._RULE_SOURCE_RELATIVE
    rule_file.parent.mkdir(parents=True)
    rule_file.write_text(markdown_text(2000, seed=3) + "\n\n", encoding="utf-8")
    without_rule = root / "templates_without_rule"
    without_rule.mkdir()
    fresh = []
    for i in range(fresh_count):
        folder = root / "fresh" / f"{i:05d}"
        folder.mkdir(parents=True)
        fresh.append(folder / "skills")
    return Workspace(
        credentials=credentials,
        templates_with_rule=with_rule,
        templates_without_rule=without_rule,
        small_marked=marked_file(root / "small", 2_000),
        large_marked=marked_file(root / "large", 10 * 1024 * 1024),
        fresh=fresh,
    )


# ---------------------------------------------------------------------------
# Timed loops. Each iterates over a list of arguments, so that a call costs
# the same loop overhead on both sides and nothing else.


def loop_coffer(function, api_key, roots):
    for root in roots:
        function(api_key, root)


def loop_inject(injector, runtime, skills_dirs):
    for skills_dir in skills_dirs:
        injector.inject(runtime, skills_dir)


def loop_construct(cls, templates_dirs):
    for templates_dir in templates_dirs:
        cls(templates_dir)


def loop_construct_default(cls, count):
    for _ in range(count):
        cls()


def loop_load_rule(injector, count):
    for _ in range(count):
        injector._load_rule_content()


def loop_binding_error(function, count):
    for _ in range(count):
        try:
            function()
        except TypeError:
            pass


def loop_method_binding_error(holder, count):
    for _ in range(count):
        try:
            holder.get_dir()  # bound to holder, which takes the first parameter
        except TypeError:
            pass


def loop_type_error(function, first, count):
    for _ in range(count):
        try:
            function(None, first)
        except TypeError:
            pass


def loop_floor(floor, paths):
    for path in paths:
        floor(path)


# A runner times `n` calls and returns the nanoseconds taken by the calls.
Runner = Callable[[int], int]


def timed(loop, *args) -> int:
    start = perf_counter_ns()
    loop(*args)
    return perf_counter_ns() - start


def repeated(loop, *args) -> Runner:
    """Runs loop(*fixed, [last] * n): n calls with the same last argument."""
    *fixed, value = args
    return lambda n: timed(loop, *fixed, [value] * n)


def profiled(loop, *args) -> Runner:
    """As repeated(), with cProfile recording every call meanwhile."""
    run_calls = repeated(loop, *args)

    def run(n: int) -> int:
        profiler = cProfile.Profile()
        profiler.enable()
        try:
            return run_calls(n)
        finally:
            profiler.disable()

    return run


def counted(loop, first) -> Runner:
    return lambda n: timed(loop, first, n)


def fresh_injections(injector, skills_dirs: list[Path]) -> Runner:
    # Every call needs a configuration file that does not exist yet. The
    # folders are made up front, one per call of a round; a round injects into
    # the first n of them and the files are removed after the clock stops.
    def run(n: int) -> int:
        chosen = skills_dirs[:n]
        elapsed = timed(loop_inject, injector, "claude", chosen)
        for skills_dir in chosen:
            (skills_dir.parent / "CLAUDE.md").unlink()
        return elapsed

    return run


def calibrate(runner: Runner, target_ns: int, cap: int) -> int:
    """The smallest power of two of calls that takes `target_ns` (or `cap`)."""
    n = 1
    while n < cap and runner(n) < target_ns:
        n *= 2
    return min(n, cap)


def measure(runners: list[Runner], n: int, rounds: int) -> list[float]:
    """Median ns per call of each runner; the order rotates every round."""
    samples: list[list[float]] = [[] for _ in runners]
    order = list(range(len(runners)))
    for runner in runners:
        runner(n)  # warm up
    for _ in range(rounds):
        for i in order:
            gc.collect()
            gc.disable()
            try:
                samples[i].append(runners[i](n) / n)
            finally:
                gc.enable()
        order = order[1:] + order[:1]
    return [statistics.median(s) for s in samples]


# ---------------------------------------------------------------------------
# The cases.


@dataclass
class Case:
    name: str
    native: Runner
    pure: Runner
    cap: int = 1 << 20


def type_error(function, first) -> Runner:
    return lambda n: timed(loop_type_error, function, first, n)


def holder_of(function):
    """An instance of a class that holds `function`: holder.get_dir is a bound method."""
    return type("Holder", (), {"get_dir": function})()


def cases(ws: Workspace) -> list[Case]:
    native_default = native_edictor.Edictor(ws.templates_without_rule)
    pure_default = pure_edictor.Edictor(ws.templates_without_rule)
    native_rule = native_edictor.Edictor(ws.templates_with_rule)
    pure_rule = pure_edictor.Edictor(ws.templates_with_rule)
    key = "sk-bench-0001"
    return [
        Case("get_credential_dir_for_key, existing dir",
             repeated(loop_coffer, native_coffer.get_credential_dir_for_key, key, ws.credentials),
             repeated(loop_coffer, pure_coffer.get_credential_dir_for_key, key, ws.credentials)),
        Case("inject, marker present, 2 KB file",
             repeated(loop_inject, native_default, "claude", ws.small_marked),
             repeated(loop_inject, pure_default, "claude", ws.small_marked)),
        Case("inject, marker present, 2 KB file, under cProfile",
             profiled(loop_inject, native_default, "claude", ws.small_marked),
             profiled(loop_inject, pure_default, "claude", ws.small_marked)),
        Case("inject, marker present, 10 MB file",
             repeated(loop_inject, native_default, "claude", ws.large_marked),
             repeated(loop_inject, pure_default, "claude", ws.large_marked)),
        Case("inject, new file",
             fresh_injections(native_default, ws.fresh),
             fresh_injections(pure_default, ws.fresh),
             cap=len(ws.fresh)),
        Case("Edictor(templates_dir)",
             repeated(loop_construct, native_edictor.Edictor, ws.templates_without_rule),
             repeated(loop_construct, pure_edictor.Edictor, ws.templates_without_rule)),
        Case("Edictor() (default templates)",
             counted(loop_construct_default, native_edictor.Edictor),
             counted(loop_construct_default, pure_edictor.Edictor)),
        Case("_load_rule_content, rule file",
             counted(loop_load_rule, native_rule),
             counted(loop_load_rule, pure_rule)),
        Case("_load_rule_content, built-in text",
             counted(loop_load_rule, native_default),
             counted(loop_load_rule, pure_default)),
        Case("binding error: get_credential_dir_for_key()",
             counted(loop_binding_error, native_coffer.get_credential_dir_for_key),
             counted(loop_binding_error, pure_coffer.get_credential_dir_for_key)),
        Case("binding error: injector.inject()",
             counted(loop_binding_error, native_default.inject),
             counted(loop_binding_error, pure_default.inject)),
        Case("binding error: holder.get_dir() (bound method)",
             counted(loop_method_binding_error, holder_of(native_coffer.get_credential_dir_for_key)),
             counted(loop_method_binding_error, holder_of(pure_coffer.get_credential_dir_for_key))),
        Case("type error: get_credential_dir_for_key(None, root)",
             type_error(native_coffer.get_credential_dir_for_key, ws.credentials),
             type_error(pure_coffer.get_credential_dir_for_key, ws.credentials)),
        Case("type error: injector.inject(None, skills)",
             type_error(native_default.inject, ws.small_marked),
             type_error(pure_default.inject, ws.small_marked)),
    ]


# Operations whose calls may run in several threads at once: each call
# leaves the files as they were.
SCALED = {"get_credential_dir_for_key, existing dir", "inject, marker present, 2 KB file",
          "Edictor(templates_dir)", "Edictor() (default templates)", "_load_rule_content, rule file",
          "_load_rule_content, built-in text", "binding error: get_credential_dir_for_key()",
          "binding error: injector.inject()", "binding error: holder.get_dir() (bound method)",
          "type error: get_credential_dir_for_key(None, root)",
          "type error: injector.inject(None, skills)"}


# ---------------------------------------------------------------------------
# Both sides must agree before their timings mean anything.


def check_same_results(ws: Workspace) -> list[str]:
    """Differences between the two sides on the benchmark's own inputs."""
    problems = []

    def compare(what, native, pure):
        if native != pure:
            problems.append(f"{what}: native {native!r} != pure {pure!r}")

    key = "sk-bench-0001"
    compare("get_credential_dir_for_key",
            native_coffer.get_credential_dir_for_key(key, ws.credentials),
            pure_coffer.get_credential_dir_for_key(key, ws.credentials))
    compare("Edictor().templates_dir",
            native_edictor.Edictor().templates_dir, pure_edictor.Edictor().templates_dir)
    for templates in (ws.templates_with_rule, ws.templates_without_rule):
        compare(f"_load_rule_content ({templates.name})",
                native_edictor.Edictor(templates)._load_rule_content(),
                pure_edictor.Edictor(templates)._load_rule_content())
    for skills_dir in (ws.small_marked, ws.large_marked):
        config = skills_dir.parent / "CLAUDE.md"
        before = config.stat().st_size
        compare(f"inject ({skills_dir.parent.name})",
                native_edictor.Edictor(ws.templates_without_rule).inject("claude", skills_dir),
                pure_edictor.Edictor(ws.templates_without_rule).inject("claude", skills_dir))
        compare(f"size of {config.name} after inject", config.stat().st_size, before)
    written = []
    for cls in (native_edictor.Edictor, pure_edictor.Edictor):
        config = ws.fresh[0].parent / "CLAUDE.md"
        cls(ws.templates_without_rule).inject("claude", ws.fresh[0])
        written.append(config.read_bytes())
        config.unlink()
    compare("new file written by inject", *written)
    return problems


# ---------------------------------------------------------------------------
# Import time, from fresh interpreters.

IMPORT_LINE = re.compile(r"^import time:\s+(\d+) \|\s+(\d+) \|\s*(\S+)\s*$", re.M)


def import_times_us(module: str, runs: int) -> tuple[float, float]:
    """Median self and cumulative import time (µs) of the module's own line."""
    own, cumulative = [], []
    for _ in range(runs):
        done = subprocess.run(
            [sys.executable, "-X", "importtime", "-c", f"import {module}"],
            capture_output=True, text=True, check=True, env={**os.environ, "PYTHONPATH": HOST_STAND_IN},
        )
        for match in IMPORT_LINE.finditer(done.stderr):
            if match[3] == module:
                own.append(int(match[1]))
                cumulative.append(int(match[2]))
    if len(own) != runs:
        raise RuntimeError(f"{module}: found {len(own)} import lines in {runs} runs")
    return statistics.median(own), statistics.median(cumulative)


# ---------------------------------------------------------------------------
# Reporting.


@dataclass
class Settings:
    rounds: int
    target_ns: int  # length of one round
    fresh_files: int
    import_runs: int
    scaling_rounds: int


FULL = Settings(rounds=25, target_ns=40_000_000, fresh_files=4096, import_runs=21, scaling_rounds=5)
QUICK = Settings(rounds=5, target_ns=5_000_000, fresh_files=512, import_runs=5, scaling_rounds=3)


def us(ns: float) -> str:
    return f"{ns / 1000:12.3f}"


def report_operations(ws: Workspace, settings: Settings) -> None:
    print(f"{'operation (median per call)':52} {'compiled µs':>12} {'pure µs':>12} "
          f"{'compiled/pure':>14}  rounds x calls")
    for case in cases(ws):
        n = calibrate(case.pure, settings.target_ns, case.cap)
        native, pure = measure([case.native, case.pure], n, settings.rounds)
        print(f"{case.name:52} {us(native)} {us(pure)} {native / pure:14.3f}  "
              f"{settings.rounds} x {n}")


def in_threads(runner: Runner, n: int, threads: int) -> int:
    """Nanoseconds from a common start until `threads` threads, each making
    its share of n calls, have all finished; the collector is off meanwhile."""
    gc.collect()
    start = threading.Barrier(threads + 1)

    def work() -> None:
        start.wait()
        runner(n // threads)

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for worker in workers:
        worker.start()
    gc.disable()
    try:
        start.wait()
        began = perf_counter_ns()
        for worker in workers:
            worker.join()
        return perf_counter_ns() - began
    finally:
        gc.enable()


def report_scaling(ws: Workspace, settings: Settings) -> None:
    """Without the GIL: each operation in 1 thread and in one per core, the
    same total number of calls; the speed-up is the best 1-thread time over
    the best many-thread time."""
    threads = os.cpu_count() or 1
    print(f"\nwithout the GIL: {threads} threads against 1, the same total number of calls, "
          f"best of {settings.scaling_rounds} rounds")
    print(f"{'operation':50} {'compiled x':>10} {'pure x':>8}  {'compiled µs 1/' + str(threads):>18} "
          f"{'pure µs 1/' + str(threads):>18}")
    for case in cases(ws):
        if case.name not in SCALED:
            continue
        n = calibrate(case.pure, settings.target_ns, case.cap) * threads
        row = []
        for runner in (case.native, case.pure):
            runner(n // threads)  # warm up
            one = min(in_threads(runner, n, 1) for _ in range(settings.scaling_rounds))
            many = min(in_threads(runner, n, threads) for _ in range(settings.scaling_rounds))
            row.append((one / many, one / n, many / n))
        (native_x, native_one, native_many), (pure_x, pure_one, pure_many) = row
        print(f"{case.name:50} {native_x:10.2f} {pure_x:8.2f}  {us(native_one)}/{us(native_many).strip():<5} "
              f"{us(pure_one)}/{us(pure_many).strip():<5}")


def report_floor(ws: Workspace, settings: Settings) -> None:
    print("\ncompiled inject on a file holding the marker against the floor: "
          "stat, open, read, close, decode, search")
    print("  floor: decoded as Path.read_text does (UTF-8, then the newline pass); "
          "decode-only: bytes.decode alone; newlines: the difference")
    print(f"{'file':8} {'inject µs':>12} {'floor µs':>12} {'decode-only':>12} "
          f"{'newlines µs':>12} {'inject/floor':>13} {'/decode-only':>13}")
    injector = native_edictor.Edictor(ws.templates_without_rule)
    for label, skills_dir in (("10 MB", ws.large_marked), ("2 KB", ws.small_marked)):
        path = str(skills_dir.parent / "CLAUDE.md")
        runners = [
            repeated(loop_inject, injector, "claude", skills_dir),
            repeated(loop_floor, floor_text, path),
            repeated(loop_floor, floor_bytes_decode, path),
        ]
        n = calibrate(runners[0], settings.target_ns, 1 << 20)
        inject, floor, plain = measure(runners, n, settings.rounds)
        print(f"{label:8} {us(inject)} {us(floor)} {us(plain)} {us(floor - plain)} "
              f"{inject / floor:13.3f} {inject / plain:13.3f}")


def report_imports(settings: Settings) -> None:
    print(f"\nimport time, median of {settings.import_runs} fresh interpreters (µs)")
    print(f"{'module':34} {'self':>10} {'cumulative':>12}")
    for module in ("zelkor.mcp.coffer", "zelkor.skills.services.edictor"):
        own, cumulative = import_times_us(module, settings.import_runs)
        print(f"{module:34} {own:10.0f} {cumulative:12.0f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a short, rougher run")
    settings = QUICK if parser.parse_args().quick else FULL
    root = Path(tempfile.mkdtemp(prefix="zelkor-bench-"))
    try:
        ws = make_workspace(root, settings.fresh_files)
        for problem in check_same_results(ws):
            print(f"MISMATCH {problem}")
        report_operations(ws, settings)
        if sysconfig.get_config_var("Py_GIL_DISABLED"):
            report_scaling(ws, settings)
        report_floor(ws, settings)
    finally:
        shutil.rmtree(root)
    report_imports(settings)


if __name__ == "__main__":
    main()

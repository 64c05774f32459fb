"""Reference counts and memory stay flat however often a call succeeds or fails."""

import contextlib
import gc
import sys
import tracemalloc
from pathlib import Path

import pytest

try:
    import resource  # file size limits: POSIX only
except ImportError:
    resource = None

from zelkor.mcp import coffer
from zelkor.skills.services import edictor
from zelkor.skills.services.edictor import RULE_MARKER, Edictor

get_dir = coffer.get_credential_dir_for_key
WARM_UP = 500
CALLS = 5_000
ALLOWED_GROWTH = 64 * 1024  # bytes over CALLS calls: far below one object per call
BATCHES = 3
# A debug build counts every reference the interpreter holds; a leak of
# anything grows that total by at least one per call. The interpreter's own
# caches move it by a few now and then.
ALLOWED_REFERENCES = CALLS // 100


class Key(str):
    pass


@contextlib.contextmanager
def file_size_limit(limit):
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))


@contextlib.contextmanager
def without(module, name):
    saved = getattr(module, name)
    delattr(module, name)
    try:
        yield
    finally:
        setattr(module, name, saved)


@contextlib.contextmanager
def replaced(module, name, value):
    saved = getattr(module, name)
    setattr(module, name, value)
    try:
        yield
    finally:
        setattr(module, name, saved)


class StripsToAList:
    """A rule text whose strip() gives no str: the result check refuses it."""

    def strip(self):
        return [self]


def build_cases(root: Path):
    """(id, function, args, kwargs, expected error or None, context) for every path."""
    keys = root / "keys"
    blocked = root / "blocked"
    blocked.mkdir()
    (blocked / get_dir("key", root / "probe").name).write_text("in the way")
    templates = root / "templates"
    rule = templates / "zel-feedback" / "data" / "FEEDBACK_RULE.md"
    rule.parent.mkdir(parents=True)
    rule.write_text("  a rule  \n")
    bad_rule = root / "bad-templates" / "zel-feedback" / "data" / "FEEDBACK_RULE.md"
    bad_rule.parent.mkdir(parents=True)
    bad_rule.write_bytes(b"\xff")
    done = root / "done" / "skills"
    done.parent.mkdir()
    (done.parent / "CLAUDE.md").write_text("x" * 1000 + RULE_MARKER)
    fresh = root / "fresh" / "skills"
    limited = root / "limited" / "skills"
    limited.parent.mkdir()
    (limited.parent / "CLAUDE.md").write_bytes(b"x" * 100)
    injector = Edictor(templates)
    nothing = contextlib.nullcontext()

    def inject_fresh(runtime, skills):
        path = injector.inject(runtime, skills)
        path.unlink()
        return path

    cases = [
        ("coffer", get_dir, ("key", keys), {}, None, nothing),
        ("coffer-kw", get_dir, (), {"api_key": "key", "base_root": keys}, None, nothing),
        ("coffer-none", get_dir, (), {}, TypeError, nothing),
        ("coffer-one", get_dir, ("key",), {}, TypeError, nothing),
        ("coffer-three", get_dir, ("key", keys, 3), {}, TypeError, nothing),
        ("coffer-multiple", get_dir, ("key", keys), {"api_key": "key"}, TypeError, nothing),
        ("coffer-unexpected", get_dir, ("key", keys), {"zz": keys}, TypeError, nothing),
        ("coffer-missing-kw", get_dir, (), {"api_key": "key"}, TypeError, nothing),
        ("coffer-type", get_dir, (None, keys), {}, TypeError, nothing),
        ("coffer-subclass", get_dir, (Key("key"), keys), {}, TypeError, nothing),
        ("coffer-name", get_dir, ("key", keys), {}, NameError, without(coffer, "hashlib")),
        ("coffer-surrogate", get_dir, ("\ud800", keys), {}, UnicodeEncodeError, nothing),
        ("coffer-join", get_dir, ("key", 42), {}, TypeError, nothing),
        ("coffer-file-in-way", get_dir, ("key", blocked), {}, FileExistsError, nothing),
        # A bound method made and dropped by each call.
        ("coffer-bound-method", get_dir.__get__, (injector,), {}, None, nothing),
        ("inject-bound-method", Edictor.inject.__get__, (injector,), {}, None, nothing),
        ("init", Edictor, (templates,), {}, None, nothing),
        ("init-default", Edictor, (), {}, None, nothing),
        ("init-too-many", Edictor, (templates, 1), {}, TypeError, nothing),
        ("init-unexpected", Edictor, (), {"templates": templates}, TypeError, nothing),
        ("init-name", Edictor, (), {}, NameError, without(edictor, "get_builtin_templates_dir")),
        ("load-file", injector._load_rule_content, (), {}, None, nothing),
        ("load-fallback", Edictor(root)._load_rule_content, (), {}, None, nothing),
        ("load-too-many", injector._load_rule_content, (1,), {}, TypeError, nothing),
        ("load-bad-utf8", Edictor(bad_rule.parents[2])._load_rule_content, (), {}, UnicodeDecodeError, nothing),
        ("load-name", Edictor(root)._load_rule_content, (), {}, NameError, without(edictor, "_DEFAULT_RULE_CONTENT")),
        ("load-not-str", Edictor(root)._load_rule_content, (), {}, TypeError,
         replaced(edictor, "_DEFAULT_RULE_CONTENT", StripsToAList())),
        ("inject-done", injector.inject, ("claude", done), {}, None, nothing),
        ("inject-new", inject_fresh, ("codex", fresh), {}, None, nothing),
        ("inject-unknown", injector.inject, ("vim", done), {}, None, nothing),
        ("inject-missing", injector.inject, ("claude",), {}, TypeError, nothing),
        ("inject-many", injector.inject, tuple(range(9)), {}, TypeError, nothing),
        ("inject-type", injector.inject, (None, done), {}, TypeError, nothing),
        ("inject-subclass", injector.inject, (Key("claude"), done), {}, TypeError, nothing),
        ("inject-no-parent", injector.inject, ("claude", "str"), {}, AttributeError, nothing),
        ("inject-name", injector.inject, ("claude", done), {}, NameError, without(edictor, "RULE_MARKER")),
    ]
    if resource:
        cases.append(("inject-efbig", injector.inject, ("claude", limited), {}, OSError, file_size_limit(130)))
    try:
        import _testcapi
    except ImportError:  # a build without it: no keyword names of other types
        return cases
    return cases + [
        ("coffer-non-str-kw", _testcapi.pyobject_vectorcall, (get_dir, ("k", keys, 1), (5,)), {}, TypeError, nothing),
    ]


def tracked(function, args, kwargs):
    """What a call could leak a reference to: the callable and the instance
    it is bound to, the arguments, and every value of both modules'
    namespaces and of the class's dictionary."""
    namespaces = [vars(coffer), vars(edictor), vars(Edictor)]
    values = [value for namespace in namespaces for value in namespace.values()]
    return [function, getattr(function, "__self__", None), *args, *kwargs.values(), *values]


def call_many(function, args, kwargs, expected, times):
    catch = expected or ()
    result = None
    for _ in range(times):
        try:
            result = function(*args, **kwargs)
        except catch:
            continue
        assert expected is None, f"{function} raised no {expected.__name__}"
    return result


# What must not grow over a batch of calls, and by how much it may.
MEASURES = {"traced bytes": (lambda: tracemalloc.get_traced_memory()[0], ALLOWED_GROWTH)}
if hasattr(sys, "gettotalrefcount"):  # a debug build
    MEASURES["references"] = (sys.gettotalrefcount, ALLOWED_REFERENCES)


def growth_per_batch(calls):
    """The growth of each measure over CALLS calls, the least of a few batches.

    A leak, even of one small object per call, grows every batch. The
    interpreter's own tables grow once in a while (in 3.13, pathlib interns
    path segments and the interned-string table is resized), which shows in
    one batch only.
    """
    growths = {name: [] for name in MEASURES}
    tracemalloc.start()
    try:
        for _ in range(BATCHES):
            gc.collect()
            start = {name: read() for name, (read, _) in MEASURES.items()}
            calls()
            gc.collect()
            for name, (read, _) in MEASURES.items():
                growths[name].append(read() - start[name])
            if all(min(growths[name]) <= allowed for name, (_, allowed) in MEASURES.items()):
                break
    finally:
        tracemalloc.stop()
    return {name: min(values) for name, values in growths.items()}


def too_much(growth):
    return {name: value for name, value in growth.items() if value > MEASURES[name][1]}


def test_reference_counts_and_memory_stay_flat(tmp_path):
    cases = build_cases(tmp_path)
    growth = {}
    for case_id, function, args, kwargs, expected, context in cases:
        with context:
            result = call_many(function, args, kwargs, expected, WARM_UP)
            gc.collect()  # earlier tests' garbage may hold what is tracked
            before = [sys.getrefcount(o) for o in tracked(function, args, kwargs)]
            result_refs = sys.getrefcount(result)
            growth[case_id] = growth_per_batch(lambda: call_many(function, args, kwargs, expected, CALLS))
            after = [sys.getrefcount(o) for o in tracked(function, args, kwargs)]
            assert after == before, case_id
            assert sys.getrefcount(result) == result_refs, case_id
    assert {case_id: too_much(g) for case_id, g in growth.items() if too_much(g)} == {}
    # The checks themselves still see a leak of one small object per call.
    kept = []
    leak = lambda: kept.append(object())  # noqa: E731
    assert too_much(growth_per_batch(lambda: call_many(leak, (), {}, None, CALLS))).keys() == MEASURES.keys()
    # Each failure left the file exactly as it was.
    assert (tmp_path / "limited" / "CLAUDE.md").read_bytes() == b"x" * 100


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="a release build of the interpreter")
@pytest.mark.parametrize("module", [coffer, edictor], ids=["coffer", "edictor"])
def test_built_for_the_debug_interpreter(module):
    # Built for a debug interpreter, a module's reference-count operations
    # call the interpreter's checks and counters: only then does the total
    # above count the module's references.
    assert b"_Py_NegativeRefcount" in Path(module.__file__).read_bytes()

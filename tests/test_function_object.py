"""The native function objects look and behave like Python functions."""

import builtins
import contextlib
import cProfile
import copy
import functools
import gc
import importlib
import inspect
import operator
import pickle
import pstats
import pydoc
import sys
import types
import typing
import weakref
from pathlib import Path

import pytest

from zelkor.mcp import coffer
from zelkor.skills.services.edictor import Edictor

get_dir = coffer.get_credential_dir_for_key
ANNOTATE = sys.version_info >= (3, 14)  # functions have __annotate__ from 3.14


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
    function_type = type(get_dir)
    assert (function_type.__module__, function_type.__qualname__) == ("zelkor.mcp.coffer", "native_function")
    assert repr(function_type) == "<class 'zelkor.mcp.coffer.native_function'>"


def test_signature_and_help():
    def get_credential_dir_for_key(api_key: "str", base_root: "Path") -> "Path":
        pass

    assert str(inspect.signature(get_dir)) == "(api_key: 'str', base_root: 'Path') -> 'Path'"
    text = pydoc.render_doc(get_dir, renderer=pydoc.plaintext)
    assert text.startswith(
        "Python Library Documentation: built-in function get_credential_dir_for_key in module zelkor.mcp.coffer\n"
    )
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
    holder = Holder()
    bound = holder.method
    assert inspect.ismethod(bound) and bound.__func__ is get_dir and bound.__self__ is holder
    assert (bound.__name__, bound.__doc__) == (get_dir.__name__, get_dir.__doc__)
    assert bound == holder.method != Holder().method and hash(bound) == hash(holder.method)
    # Bound to a str instance, the instance becomes the key.
    assert get_dir.__get__("key")(tmp_path) == get_dir("key", tmp_path)


def call_held_method(root):
    inject = Edictor(root).inject
    inject("claude", root / "skills")


# What a call of each function made from Python code shows in profilers.
# The interpreter reports calls of built-in functions, which module-level
# functions are: cProfile lists them, sys.setprofile hooks get c_call and
# c_return. A function defined in a class is no built-in function (so that
# inspect and help() take it for a method of the class): from 3.13 it reports
# its calls to the profiler tool alone, as a Python function's (cProfile lists
# it by file, line and name); on 3.12 nothing reports them, and their time
# counts as the caller's own.
REPORTS_METHODS = sys.version_info >= (3, 13)
EDICTOR_FILE = "zelkor/skills/services/edictor"
PROFILED_CALLS = [
    (("~", 0, "<zelkor.mcp.coffer.get_credential_dir_for_key>"), lambda root: get_dir("key", root), True),
    ((EDICTOR_FILE, 47, "inject"), lambda root: Edictor(root).inject("claude", root / "skills"), False),
    ((EDICTOR_FILE, 88, "_load_rule_content"), lambda root: Edictor(root)._load_rule_content(), False),
    ((EDICTOR_FILE, 47, "inject"), call_held_method, False),
]


@pytest.mark.parametrize("entry, call, built_in", PROFILED_CALLS)
def test_profilers_see_each_call(tmp_path, entry, call, built_in):
    def work():
        for _ in range(3):
            call(tmp_path)

    profiler = cProfile.Profile()
    profiler.runcall(work)
    stats = pstats.Stats(profiler).stats
    [work_entry] = [entry for entry in stats if entry[2] == "work"]
    assert stats[work_entry][:2] == (1, 1)
    seen = 3 if built_in or REPORTS_METHODS else 0
    assert stats.get(entry, (0, 0))[:2] == (seen, seen)
    if seen:  # the Python code it calls is listed under it
        assert any("pathlib" in callee[0] for callee, (*_, callers) in stats.items() if entry in callers)

    events = []

    def hook(frame, event, arg):
        if str(getattr(arg, "__module__", "")).startswith("zelkor"):
            events.append((event, f"<{arg.__module__}.{arg.__qualname__}>"))

    sys.setprofile(hook)
    try:
        work()
    finally:
        sys.setprofile(None)
    assert events == [("c_call", entry[2]), ("c_return", entry[2])] * 3 * built_in


def profile_script(module, root):
    """Constructs, injects into a new file and a marked one, raises a
    binding error and calls through a held bound method."""
    injector = module.Edictor(root / "templates")
    for _ in range(2):
        injector.inject("claude", root / "skills")
    with pytest.raises(TypeError):
        injector.inject()
    held = injector.inject
    held("codex", root / "skills")
    return injector._load_rule_content()


@contextlib.contextmanager
def collector_paused():
    """No collection, and so no gc.callbacks (Hypothesis keeps one), while
    a profiler or hook records."""
    gc.collect()
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


def profile_view(module, root):
    """Each Python function cProfile lists when `module` runs the script,
    with its calls and its callers. The twin's helpers, which stand for the
    native runtime's checks and append, count as part of their caller; C
    functions are left out, since the twin calls some (dict.get) that the
    native functions call through the C API."""
    profiler = cProfile.Profile()
    with collector_paused():
        profiler.runcall(profile_script, module, root)
    stats = pstats.Stats(profiler).stats

    def named(function):
        file, line, name = function
        if file == "~":
            return None
        if file in (EDICTOR_FILE, module.__file__):
            return "edictor", line, name
        return Path(file).name, line, name

    helpers = {entry: callers for entry, (*_, callers) in stats.items()
               if named(entry) and (entry[0].endswith("checks.py") or entry[2] in ("_append_or_restore", "_write_all"))}

    def caller(function):
        while function in helpers:
            [function] = helpers[function]
        return named(function)

    return {
        named(entry): (calls, sorted((caller(c), counts[1]) for c, counts in callers.items()))
        for entry, (_, calls, _, _, callers) in stats.items()
        if named(entry) and entry not in helpers
    }


@pytest.mark.skipif(not REPORTS_METHODS, reason="CPython 3.12 has no API to report the calls")
def test_cprofile_sees_the_methods_as_the_twins(tmp_path, twins):
    native = profile_view(edictor_module(), tmp_path / "native")
    assert native[("edictor", 47, "inject")][0] == 3
    assert native == profile_view(twins["zelkor.skills.services.edictor"], tmp_path / "twin")


def edictor_module():
    from zelkor.skills.services import edictor

    return edictor


@contextlib.contextmanager
def monitoring_tool(tool, events, callback):
    """`callback(event, code, *rest)` registered for `events` as the tool
    `tool`; whatever it returns goes back to the interpreter."""
    monitoring = sys.monitoring
    monitoring.use_tool_id(tool, "test")
    try:
        for event in events:
            monitoring.register_callback(tool, event, functools.partial(callback, event))
        monitoring.set_events(tool, functools.reduce(operator.or_, events))
        yield
    finally:
        monitoring.set_events(tool, 0)
        for event in events:
            monitoring.register_callback(tool, event, None)
        monitoring.free_tool_id(tool)


@pytest.mark.skipif(not REPORTS_METHODS, reason="CPython 3.12 has no API to report the calls")
def test_no_other_tool_hears_of_the_methods(tmp_path):
    # Hooks and a tool at another id, with the profiler tool receiving the
    # methods' calls and without: event for event the same.
    E = sys.monitoring.events
    events = (E.PY_START, E.PY_RETURN, E.PY_UNWIND, E.CALL, E.C_RETURN, E.C_RAISE)

    def observed(run, profiled):
        seen, reports = [], []

        recording = []

        def hook(frame, event, arg):
            if recording and frame.f_code.co_filename != __file__:
                seen.append((event, frame.f_code.co_name, getattr(arg, "__name__", None)))
            return hook

        def observer(event, code, *rest):
            if recording and code.co_filename != __file__:
                seen.append((event, code.co_name))

        def report(event, code, *rest):
            if code.co_filename == EDICTOR_FILE:
                reports.append((event, code.co_name))

        module = edictor_module()
        profiler = monitoring_tool(sys.monitoring.PROFILER_ID, events, report) if profiled else contextlib.nullcontext()
        with collector_paused(), profiler, monitoring_tool(3, events, observer):
            sys.setprofile(hook)
            sys.settrace(hook)
            try:
                recording.append(True)
                profile_script(module, tmp_path / run)
                recording.clear()
            finally:
                sys.settrace(None)
                sys.setprofile(None)
        return seen, reports

    seen, reports = observed("profiled", True)
    assert (seen, []) == observed("alone", False)
    assert reports[:2] == [(E.PY_START, "__init__"), (E.PY_RETURN, "__init__")]


@pytest.mark.skipif(not REPORTS_METHODS, reason="CPython 3.12 has no API to report the calls")
def test_disable_stops_an_event_as_for_a_python_function(tmp_path, twins):
    E, DISABLE = sys.monitoring.events, sys.monitoring.DISABLE

    def reported(module):
        reports = []

        def profiler(event, code, *rest):
            if code.co_name in ("_load_rule_content", "inject"):
                reports.append((event, code.co_name))
                if event in (E.PY_START, E.PY_UNWIND) and reports.count((event, code.co_name)) == 1:
                    return DISABLE
            return None

        injector = module.Edictor(tmp_path)
        with monitoring_tool(sys.monitoring.PROFILER_ID, (E.PY_START, E.PY_RETURN, E.PY_UNWIND), profiler):
            for _ in range(2):
                injector._load_rule_content()
            sys.monitoring.restart_events()
            injector._load_rule_content()
            for _ in range(2):  # DISABLE from PY_UNWIND is refused, and the callback removed
                with pytest.raises(Exception) as raised:
                    injector.inject(None, tmp_path)
                reports.append((type(raised.value).__name__, str(raised.value)))
        return reports

    native, twin = reported(edictor_module()), reported(twins["zelkor.skills.services.edictor"])
    assert native[:3] == [(E.PY_START, "_load_rule_content")] + [(E.PY_RETURN, "_load_rule_content")] * 2
    # From 3.15 the interpreter lets a Python function's PY_UNWIND callback
    # return DISABLE, while its C API, which reports the native calls, still
    # refuses it as before.
    same = len(native) if sys.version_info < (3, 15) else native.index((E.PY_UNWIND, "inject")) + 1
    assert native[:same] == twin[:same]


@pytest.mark.skipif(not REPORTS_METHODS, reason="CPython 3.12 has no API to report the calls")
@pytest.mark.parametrize("scenario", ["by its callback", "off in the call", "on in the call"])
def test_the_profiler_hears_a_call_when_it_would_of_a_python_function(tmp_path, twins, scenario):
    # Nothing a tool's callback calls is reported (nor what a trace hook
    # calls); each end of a call goes to the tools listening then.
    E, M = sys.monitoring.events, sys.monitoring
    both = E.PY_START | E.PY_RETURN
    events = 0 if scenario == "on in the call" else both

    def heard(module):
        class Folder(type(tmp_path)):
            def __truediv__(self, other):
                M.set_events(M.PROFILER_ID, both - events if scenario.endswith("in the call") else both)
                return Path(self) / other

        def profiler(event, code, *rest):
            if code.co_name == "_load_rule_content":
                reports.append(event)
                if scenario == "by its callback" and len(reports) == 1:
                    call()

        reports, call = [], module.Edictor(Folder(tmp_path))._load_rule_content
        with monitoring_tool(M.PROFILER_ID, (E.PY_START, E.PY_RETURN), profiler):
            M.set_events(M.PROFILER_ID, events)
            call()
        return reports

    assert heard(edictor_module()) == heard(twins["zelkor.skills.services.edictor"])


def test_ipython_shows_a_function(run_python):
    pytest.importorskip("IPython")
    out = run_python("""
        from IPython.core.completer import provisionalcompleter
        from IPython.core.interactiveshell import InteractiveShell
        from zelkor.mcp.coffer import get_credential_dir_for_key
        shell = InteractiveShell.instance(colors="nocolor")
        shell.user_ns["get_dir"] = get_credential_dir_for_key
        print(shell.object_inspect_text("get_dir"))
        with provisionalcompleter():
            for completion in shell.Completer.completions("get_di", 6):
                print("completion:", completion.text, completion.type, completion.signature)
    """)
    lines = out.splitlines()
    assert [line for line in lines if "ignature:" in line] == [
        next(line for line in lines if line.startswith("Signature:") and "get_dir(api_key: " in line)
    ]
    assert [line for line in lines if line.startswith("completion:")] == [
        next(line for line in lines if line.startswith("completion: get_dir function (api_key: "))
    ]


def with_free_variable():
    variable = None
    return (lambda: variable).__code__


DELETE = object()  # in place of a value: the operation deletes the attribute
# Attribute operations on a function: (attribute, value set, or DELETE).
# What a Python function accepts, a native one accepts, with one exception:
# a valid code object for __code__, since the native body is no code object.
ATTRIBUTE_OPERATIONS = [
    *[(name, value) for name in ("__name__", "__qualname__") for value in ("Re.named", 1, DELETE)],
    *[(name, value) for name in ("__doc__", "__module__") for value in ("text", 1, DELETE)],
    *[("__annotations__", value) for value in ({"a": "int"}, None, [], DELETE)],
    *[("__dict__", value) for value in ({"marker": 1}, 1, DELETE)],
    # Defaults for more parameters than a function has: the last ones count.
    *[("__defaults__", value) for value in (("claude", "no-such-dir"), None, ["x"], DELETE)],
    *[("__kwdefaults__", value) for value in ({"k": 1}, None, (1,), DELETE)],
    *[("__type_params__", value) for value in ((typing.TypeVar("T"),), [1], DELETE)],
    *[("__code__", value) for value in (1, DELETE, with_free_variable())],
    *[(name, value) for name in ("__closure__", "__globals__", "__builtins__") for value in ({}, DELETE)],
    *[("__annotate__", value) for value in (None, 1, DELETE, lambda format: {"a": format}, lambda format: 1)
      if ANNOTATE],
]
WRITABLE = ["__name__", "__qualname__", "__doc__", "__module__", "__defaults__", "__kwdefaults__",
            "__type_params__", "__dict__", "__annotations__", *["__annotate__"][:ANNOTATE]]


def outcome(operation):
    """What `operation()` returns, or the type and message of what it raises."""
    try:
        return operation()
    except Exception as error:
        return type(error).__name__, str(error)


def function_attribute_view(module, holder, name, attribute, value):
    """What setting or deleting `attribute` does to a function of `module`:
    the outcome and the audit events it raised, the attribute read
    afterwards, the signature and what a call with only `self` shows then."""
    function = getattr(getattr(module, holder) if holder else module, name)
    instance = (module.Edictor(Path("no-such-templates")),) if holder else ()

    def described(value):
        if isinstance(value, types.CodeType):
            return value.co_varnames[: value.co_argcount]
        if isinstance(value, dict):
            return {"globals": value is vars(module), "builtins": value is vars(builtins)} if "__name__" in value else value
        return value

    def shown(operation):
        return outcome(lambda: described(operation()))

    saved = {name: getattr(function, name) for name in WRITABLE}
    try:
        with audited(function) as events:
            done = shown(lambda: delattr(function, attribute) if value is DELETE else setattr(function, attribute, value))
            # Read the annotations a compiler-made __annotate__ gives, not the function.
            after = shown(lambda: getattr(function, "__annotations__" if attribute == "__annotate__" else attribute))
        signature = shown(lambda: str(inspect.signature(function)))
        call = shown(lambda: (function(*instance), [vars(i) for i in instance]))
    finally:
        for name, saved_value in saved.items():
            setattr(function, name, saved_value)
    # The binding messages are the interpreter's for the twin.
    call = call[0] if call[0] == "TypeError" and "positional argument" in call[1] else call
    return done, after, signature, call, events


@contextlib.contextmanager
def audited(function, refused=False):
    """Records the audit events about `function`; refuses each if `refused`."""
    events = []
    AUDITED[:] = [function, events, refused]
    try:
        yield events
    finally:
        AUDITED[:] = []


AUDITED = []  # the function whose audit events are recorded, the record, whether refused


def audit_hook(event, args):
    if AUDITED and args[:1] == (AUDITED[0],):
        AUDITED[1].append((event, *args[1:2]))
        if AUDITED[2]:
            raise PermissionError(f"{event} refused")


sys.addaudithook(audit_hook)


FUNCTIONS = [("zelkor.mcp.coffer", None, "get_credential_dir_for_key")] + [
    ("zelkor.skills.services.edictor", "Edictor", name) for name in ("__init__", "inject", "_load_rule_content")
]


@pytest.mark.parametrize(
    "attribute, value",
    ATTRIBUTE_OPERATIONS,
    ids=[f"{a}-{'del' if v is DELETE else type(v).__name__}" for a, v in ATTRIBUTE_OPERATIONS],
)
def test_attributes_behave_as_a_python_functions(twins, attribute, value):
    for module_name, holder, name in FUNCTIONS:
        native = function_attribute_view(importlib.import_module(module_name), holder, name, attribute, value)
        assert native == function_attribute_view(twins[module_name], holder, name, attribute, value), name


@pytest.mark.parametrize("attribute, value", [("__defaults__", None), ("__kwdefaults__", DELETE), ("__code__", get_dir.__code__)])
def test_an_audit_hook_refuses_a_change(twins, attribute, value):
    def refused(function):
        before = getattr(function, attribute)
        with audited(function, refused=True), pytest.raises(PermissionError) as error:
            delattr(function, attribute) if value is DELETE else setattr(function, attribute, value)
        return str(error.value), getattr(function, attribute) is before

    assert refused(get_dir) == refused(twins["zelkor.mcp.coffer"].get_credential_dir_for_key)


def test_a_valid_code_object_is_refused():
    # The native body is no code object: no code replaces it.
    with pytest.raises(AttributeError, match="^readonly attribute$"):
        get_dir.__code__ = (lambda api_key, base_dir: None).__code__


def test_pickle_copy_and_weakref(tmp_path):
    assert pickle.loads(pickle.dumps(get_dir)) is get_dir
    assert copy.deepcopy(get_dir) is get_dir
    assert weakref.ref(get_dir)() is get_dir
    method = pickle.loads(pickle.dumps(Edictor(tmp_path).inject))
    assert (method.__func__, vars(method.__self__)) == (Edictor.inject, {"templates_dir": tmp_path})


@pytest.mark.parametrize(
    "module, owner, name",
    [("zelkor.mcp.coffer", None, "get_credential_dir_for_key"), ("zelkor.skills.services.edictor", "Edictor", "inject")],
)
def test_a_dropped_function_releases_its_module_namespace(run_python, module, owner, name):
    # With the GIL, the function keeps the frame of its last binding error,
    # and the locals it was made with, in which a debugger left an object.
    out = run_python(f"""
        import gc, importlib, sys, sysconfig, traceback, weakref
        module = importlib.import_module({module!r})
        holder = getattr(module, {owner!r}) if {owner!r} else module
        function = getattr(holder, {name!r})
        delattr(holder, {name!r})
        gc.collect()
        before = sys.getrefcount(vars(module))
        class Kept:
            pass
        kept = weakref.ref(Kept)
        if not sysconfig.get_config_var("Py_GIL_DISABLED"):
            try:
                function()
            except TypeError as error:
                [*_, (frame, _)] = traceback.walk_tb(error.__traceback__)
                frame.f_locals["kept"] = Kept
                del frame
        del function, Kept
        gc.collect()
        print(before - sys.getrefcount(vars(module)), kept() is None)
    """)
    assert out == "1 True\n"


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


def bound_method_view(module):
    """What code holding a bound method relies on."""
    cls = module.Edictor
    instance = cls(Path("templates"))
    method = instance.inject
    rebuilt = types.MethodType(cls.inject, instance)
    return {
        "exactly a method": type(method) is types.MethodType,
        "parts": (method.__func__ is cls.inject, method.__self__ is instance),
        "equal and hashed as rebuilt": (method == rebuilt, hash(method) == hash(rebuilt)),
        "weak method": weakref.WeakMethod(method)() == method,
        "copy": copy.copy(method) == method,
        "signature": str(inspect.signature(method)),
        "partial": str(inspect.signature(functools.partial(cls.inject, instance, "claude"))),
    }


def method_views(module):
    """What inspect reads of each method, through the class."""
    cls = module.Edictor
    return {
        name: (
            str(inspect.signature(function)),
            inspect.getdoc(function),
            (function.__name__, function.__qualname__, function.__module__),
            (function.__defaults__, function.__kwdefaults__, function.__annotations__),
            (function.__code__.co_firstlineno, function.__code__.co_varnames[: function.__code__.co_argcount]),
            (inspect.isroutine(function), inspect.unwrap(function) is function, callable(function)),
        )
        for name in ("__init__", "inject", "_load_rule_content")
        for function in [getattr(cls, name)]
    }


def function_view(module):
    """What help(), inspect and binding show of the module-level function;
    pydoc titles the native one a built-in function, as it does every
    built-in function, and otherwise shows the same page."""
    function = module.get_credential_dir_for_key

    class Holder:
        method = function

    holder = Holder()
    method = holder.method
    rebuilt = types.MethodType(function, holder)
    page = pydoc.render_doc(function, renderer=pydoc.plaintext).replace("built-in function", "function", 1)
    return (
        page,
        str(inspect.signature(function)),
        str(inspect.signature(functools.partial(function, "key"))),
        str(inspect.signature(method)),
        (method.__func__ is function, method == Holder().method, inspect.ismethod(method)),
        (method == rebuilt, rebuilt == method, method != rebuilt, hash(method) == hash(rebuilt)),
        (type(method)(function, holder) == method, weakref.WeakMethod(method)() == method),
        (function.__code__.co_firstlineno, function.__defaults__, function.__annotations__),
    )


def copied_once(cls):
    """The class after an instance of it was copied or pickled, which caches
    __slotnames__ in its dictionary (tests above do that to the native one)."""
    copy.copy(cls(Path("templates")))
    return cls


# What the compiler notes of a class statement's source (3.13 and later);
# a compiled class has no source.
SOURCE_NOTES = {"__firstlineno__", "__static_attributes__"}

# What each tool a Python programmer points at the modules shows, native
# against the twin (twin/).
SEEN_AS_THE_TWIN = {
    "class signature": lambda m: str(inspect.signature(m.Edictor)),
    "class attributes": lambda m: [
        (a.name, a.kind)
        for a in inspect.classify_class_attrs(copied_once(m.Edictor))
        if a.defining_class is m.Edictor and a.name not in SOURCE_NOTES
    ],
    "class help": lambda m: pydoc.render_doc(copied_once(m.Edictor), renderer=pydoc.plaintext),
    "methods": method_views,
    "bound method": bound_method_view,
}


@pytest.mark.parametrize("view", SEEN_AS_THE_TWIN.values(), ids=SEEN_AS_THE_TWIN.keys())
def test_class_is_seen_as_its_twin(twins, view):
    from zelkor.skills.services import edictor

    assert view(edictor) == view(twins["zelkor.skills.services.edictor"])


class Holder:
    """Module-level, so that its instances pickle."""


class EqualsRaises:
    def __call__(self):
        pass

    def __eq__(self, other):
        raise LookupError("no comparison")


def method_protocol(function):
    """What the method protocol gives for `function` put in a class, under
    its own name (as pickle looks it up)."""
    name = function.__name__
    setattr(Holder, name, function)
    try:
        return method_outcomes(function, Holder(), name)
    finally:
        delattr(Holder, name)


def method_outcomes(function, holder, name):
    method = getattr(holder, name)

    def without_getattr(operation):
        saved = builtins.getattr
        del builtins.getattr
        try:
            return outcome(operation)
        finally:
            builtins.getattr = saved

    dropped = []
    weakref.ref(getattr(holder, name), dropped.append)  # a method made and dropped at once
    copied = pickle.loads(pickle.dumps(method))
    return {
        "compared with others": (method == 1, method != "x", outcome(lambda: method < method)[0]),  # the subtype names itself
        "compared through a raising __eq__": outcome(lambda: method == types.MethodType(EqualsRaises(), holder)),
        "type called with another function": type(type(method)(len, holder)),
        "type called with no function": outcome(lambda: type(method)(1, holder)),
        "pickled": (copied.__func__ is function, type(copied.__self__), copied.__doc__ == function.__doc__),
        "weakly held": len(dropped),
        "reduced without getattr": without_getattr(method.__reduce__),
    }


def test_bound_methods_follow_the_method_protocol(twins):
    native = method_protocol(get_dir)
    assert native == method_protocol(twins["zelkor.mcp.coffer"].get_credential_dir_for_key)


def test_function_is_seen_as_its_twin(twins):
    from zelkor.mcp import coffer

    assert function_view(coffer) == function_view(twins["zelkor.mcp.coffer"])

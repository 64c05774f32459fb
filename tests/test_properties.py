"""Randomised inputs: call shapes against the binding rules, arbitrary file
contents, and scenarios run by the native modules and their twins alike."""

import datetime
import errno
import hashlib
import importlib
import os
import shutil
import tempfile
from pathlib import Path, PurePath

from hypothesis import HealthCheck, given, settings, strategies as st
from test_faults import snapshot

from zelkor.mcp.coffer import get_credential_dir_for_key
from zelkor.skills.services.edictor import RULE_MARKER, Edictor, _DEFAULT_RULE_CONTENT


def predicted_error(name, parameters, required, positional, keywords):
    """The binding rules, written out: the message a call shape must raise, or None."""
    total = len(parameters)

    def takes(given):
        if required == total:
            bound, count = "exactly", total
        elif given < required:
            bound, count = "at least", required
        else:
            bound, count = "at most", total
        plural = "" if count == 1 else "s"
        return f"{name}() takes {bound} {count} positional argument{plural} ({given} given)"

    if positional > total:
        return takes(positional)
    if not keywords:
        return takes(positional) if positional < required else None
    for index in range(positional, required):
        if parameters[index] not in keywords:
            return takes(index)
    for keyword in keywords:
        if keyword in parameters[positional:]:
            continue
        if keyword in parameters:
            return f"{name}() got multiple values for keyword argument '{keyword}'"
        return f"{name}() got an unexpected keyword argument '{keyword}'"
    return None


def call_shapes(parameters):
    names = st.sampled_from([*parameters, "zz", parameters[-1].upper()])
    return st.tuples(st.integers(0, len(parameters) + 2), st.lists(names, unique=True, max_size=4))


def outcome(call):
    try:
        call()
    except TypeError as error:
        return str(error)
    return None


class Unknown:
    """A skills folder stand-in: enough for the calls below to succeed."""

    def __init__(self, parent):
        self.parent = parent


def absent_folder(tmp_path_factory):
    """A folder that the calls must never create (checked by the caller)."""
    return tmp_path_factory.getbasetemp() / "never-created"


@settings(max_examples=300, deadline=None)
@given(shape=call_shapes(["api_key", "base_root"]))
def test_coffer_call_shapes(tmp_path_factory, shape):
    positional, keywords = shape
    values = {"api_key": "key", "base_root": tmp_path_factory.getbasetemp()}
    args = ["key", values["base_root"], 3, 4][:positional]
    kwargs = {k: values.get(k, 1) for k in keywords}
    expected = predicted_error("get_credential_dir_for_key", ["api_key", "base_root"], 2, positional, keywords)
    assert outcome(lambda: get_credential_dir_for_key(*args, **kwargs)) == expected


@settings(max_examples=300, deadline=None)
@given(shape=call_shapes(["self", "templates_dir"]))
def test_init_call_shapes(tmp_path_factory, shape):
    positional, keywords = shape
    root = absent_folder(tmp_path_factory)
    instance = object.__new__(Edictor)
    args = [instance, root, 3, 4][:positional]
    kwargs = {k: {"self": instance}.get(k, root) for k in keywords}
    expected = predicted_error("__init__", ["self", "templates_dir"], 1, positional, keywords)
    assert outcome(lambda: Edictor.__init__(*args, **kwargs)) == expected
    assert not root.exists()


@settings(max_examples=300, deadline=None)
@given(shape=call_shapes(["self", "target_runtime", "target_skills_dir"]))
def test_inject_call_shapes(tmp_path_factory, shape):
    positional, keywords = shape
    root = absent_folder(tmp_path_factory)
    injector = Edictor(root)
    values = {"self": injector, "target_runtime": "unknown-runtime", "target_skills_dir": Unknown(root)}
    args = [injector, "unknown-runtime", Unknown(root), 4, 5][:positional]
    kwargs = {k: values.get(k, "unknown-runtime") for k in keywords}
    parameters = ["self", "target_runtime", "target_skills_dir"]
    expected = predicted_error("inject", parameters, 3, positional, keywords)
    assert outcome(lambda: Edictor.inject(*args, **kwargs)) == expected
    assert not root.exists()


BLOCK = f"\n\n{RULE_MARKER}\n\n{_DEFAULT_RULE_CONTENT.strip()}\n".encode()
lines = st.lists(st.text(), max_size=20)
line_ends = st.sampled_from(["\n", "\r\n", "\r"])


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(parts=lines, end=line_ends, final_newline=st.booleans())
def test_existing_content_is_kept_byte_for_byte(tmp_path, parts, end, final_newline):
    text = end.join(parts) + (end if final_newline else "")
    skills = tmp_path / "skills"
    config = tmp_path / "CLAUDE.md"
    original = text.encode("utf-8")
    config.write_bytes(original)
    assert Edictor(tmp_path / "templates").inject("claude", skills) == config
    assert config.read_bytes() == original + BLOCK


# ---------------------------------------------------------------------------
# The native modules against their twins, the same code in Python, on random
# scenarios: what each call returns or raises (with its chain of exceptions
# and notes), and every file's kind, mode and bytes afterwards. Binding
# errors stay out: the twins leave their messages to the interpreter.

DIFFERENTIAL_EXAMPLES = int(os.environ.get("ZELKOR_DIFFERENTIAL_EXAMPLES", "200"))
DELETED = object()


class CountdownPath(type(Path())):
    """A Path whose methods below raise OSError at the n-th call of any of them."""

    countdown = None  # calls left until the failing one; None: no failure


def counted_down(name):
    def method(self, *args, **kwargs):
        if CountdownPath.countdown is not None:
            CountdownPath.countdown -= 1
            if CountdownPath.countdown == 0:
                raise OSError(errno.EIO, f"{name} failed")
        return getattr(super(CountdownPath, self), name)(*args, **kwargs)

    return method


for _name in ("__truediv__", "exists", "read_text", "mkdir", "chmod", "open"):
    setattr(CountdownPath, _name, counted_down(_name))


class Runtime(str):
    pass


class Strips:
    """A stand-in for the built-in rule text whose strip() gives `value`."""

    def __init__(self, value):
        self.value = value

    def strip(self):
        return self.value


# A class with a name of more than 200 bytes of UTF-8, cut inside a character.
LONG_NAMED = type("N" * 199 + "é" * 3, (), {})

CONFIG_STATES = {
    "absent": None,
    "empty": b"",
    "marked": f"# mine\n{RULE_MARKER}\n".encode(),
    "unmarked": "# 我的\n".encode(),
    "crlf": b"# mine\r\nline\r\n",
    "bom": b"\xef\xbb\xbf# mine\n",
    "invalid": b"\xff\xfe mine",
    "directory": "directory",
    "dangling link": "link",
}
RULE_STATES = {
    "absent": None,
    "text": b"\n  a rule \xe8\xa7\x84\xe5\x88\x99  \n\n",
    "empty": b"",
    "blank": b" \n\t\n",
    "invalid": b"\xc3",
    "directory": "directory",
}
REBINDINGS = {
    "edictor": [None, ("RULE_MARKER", DELETED), ("RULE_MARKER", "<!-- other -->"), ("RULE_MARKER", 7),
                ("_DEFAULT_RULE_CONTENT", DELETED), ("_DEFAULT_RULE_CONTENT", Strips(["a list"])),
                ("_DEFAULT_RULE_CONTENT", Strips(datetime.date(2026, 1, 1))), ("_DEFAULT_RULE_CONTENT", Strips("")),
                ("RUNTIME_CONFIG_FILES", {"vim": "VIM.md", "claude": ""}), ("RUNTIME_CONFIG_FILES", DELETED),
                ("_RULE_SOURCE_RELATIVE", "FEEDBACK_RULE.md"), ("get_builtin_templates_dir", DELETED)],
    "coffer": [None, ("hashlib", DELETED), ("hashlib", datetime)],
}


def make_state(path, state):
    if state is None:
        return
    path.parent.mkdir(parents=True, exist_ok=True)
    if state == "directory":
        path.mkdir()
    elif state == "link":
        path.symlink_to("missing-target")
    else:
        path.write_bytes(state)


def lay_out(root, config, rule):
    for name in ("CLAUDE.md", "AGENTS.md", "VIM.md"):
        make_state(root / "editor" / name, CONFIG_STATES[config])
    make_state(root / "templates" / "zel-feedback" / "data" / "FEEDBACK_RULE.md", RULE_STATES[rule])
    (root / "keys").mkdir()
    (root / "keys" / hashlib.sha256(b"taken").hexdigest()[:16]).write_text("a file in the way")


def as_argument(kind, root, where):
    return {
        "path": lambda: root / where,
        "failing path": lambda: CountdownPath(root) / where,
        "str": lambda: str(root / where),
        "int": lambda: 0,
        "none": lambda: None,
    }[kind]()


def scenarios():
    edictor_calls = st.fixed_dictionaries({
        "module": st.just("edictor"),
        "operation": st.sampled_from(["construct", "load", "inject"]),
        "templates": st.sampled_from(["path", "failing path", "none", "int"]),
        "runtime": st.sampled_from(["claude", "codex", "openclaw", "opencode", "vim", "", Runtime("claude"), None,
                                    b"claude", datetime.date(2026, 1, 1), LONG_NAMED()]),
        "skills": st.sampled_from(["path", "failing path", "str", "nested"]),
        "rebinding": st.sampled_from(REBINDINGS["edictor"]),
    })
    coffer_calls = st.fixed_dictionaries({
        "module": st.just("coffer"),
        "key": st.one_of(st.text(max_size=8), st.sampled_from(["taken", "\ud800", Runtime("key"), None, b"key",
                                                                datetime.date(2026, 1, 1), LONG_NAMED()])),
        "root": st.sampled_from(["path", "failing path", "str", "int"]),
        "rebinding": st.sampled_from(REBINDINGS["coffer"]),
    })
    common = st.fixed_dictionaries({
        "config": st.sampled_from(list(CONFIG_STATES)),
        "rule": st.sampled_from(list(RULE_STATES)),
        "countdown": st.one_of(st.none(), st.integers(1, 12)),
    })
    return st.tuples(st.one_of(edictor_calls, coffer_calls), common).map(lambda pair: {**pair[0], **pair[1]})


def call_of(module, scenario, root):
    if scenario["module"] == "coffer":
        base = as_argument(scenario["root"], root, "keys")
        return lambda: module.get_credential_dir_for_key(scenario["key"], base)
    templates = as_argument(scenario["templates"], root, "templates")
    skills_kind = "path" if scenario["skills"] == "nested" else scenario["skills"]
    skills = as_argument(skills_kind, root, "new/folder/skills" if scenario["skills"] == "nested" else "editor/skills")
    operations = {
        "construct": lambda: vars(module.Edictor(templates)),
        "load": lambda: module.Edictor(templates)._load_rule_content(),
        "inject": lambda: module.Edictor(templates).inject(scenario["runtime"], skills),
    }
    return operations[scenario["operation"]]


def seen(value, root):
    """A value with the scenario's folder named alike on both sides."""
    if isinstance(value, dict):
        return {key: seen(item, root) for key, item in value.items()}
    if isinstance(value, (PurePath, str)):
        text = str(value).replace(repr(str(root))[1:-1], "<root>").replace(str(root), "<root>")
        return type(value).__name__, text
    return repr(value)


def run_scenario(module, scenario, root):
    root.mkdir()
    lay_out(root, scenario["config"], scenario["rule"])
    rebinding = scenario["rebinding"]
    if rebinding is not None:
        name, value = rebinding
        saved = vars(module).get(name, DELETED)
        if value is DELETED:
            del vars(module)[name]
        else:
            vars(module)[name] = value
    CountdownPath.countdown = scenario["countdown"]
    try:
        outcome = ("returned", seen(call_of(module, scenario, root)(), root))
    except Exception as error:
        chain = []
        while error is not None and len(chain) < 6:
            chain.append((type(error).__name__, seen(str(error), root), getattr(error, "__notes__", None)))
            error = error.__cause__ or error.__context__
        outcome = ("raised", chain)
    finally:
        CountdownPath.countdown = None
        if rebinding is not None:
            vars(module).pop(name, None)
            if saved is not DELETED:
                vars(module)[name] = saved
    return outcome, snapshot(root)


@settings(max_examples=DIFFERENTIAL_EXAMPLES, deadline=None)
@given(scenario=scenarios())
def test_native_and_twin_agree(tmp_path_factory, twins, scenario):
    folder = Path(tempfile.mkdtemp(dir=tmp_path_factory.getbasetemp()))
    try:
        name = f"zelkor.mcp.{scenario['module']}" if scenario["module"] == "coffer" else "zelkor.skills.services.edictor"
        native = run_scenario(importlib.import_module(name), scenario, folder / "native")
        assert native == run_scenario(twins[name], scenario, folder / "twin")
    finally:
        shutil.rmtree(folder)

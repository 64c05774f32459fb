"""Randomised inputs: call shapes against the binding rules, arbitrary file contents."""


from hypothesis import HealthCheck, given, settings, strategies as st

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

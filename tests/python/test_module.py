"""The module surface: the handle class, the error type and their introspection."""

import inspect
import weakref

import pytest

import vorn_core
from vorn_core import VornCore, VornCoreError

# Method name -> its parameters as seen on an instance (the text signature adds $self).
METHOD_SIGNATURES = {
    "configure": "(policy)",
    "execute": "(request, effect, idempotency_key=None)",
    "report": "()",
    "flush_events": "()",
    "advance_clock": "(ms)",
    "enter_flow": "(entrypoint, args_hash, code_hash=None, explicit_key=None, lease_ms=None)",
    "exit_flow": "(status)",
    "recorded_idempotency_key": "(step_key)",
    "flows_by_entrypoint": "(entrypoint)",
    "steps_for_flow": "(flow_id)",
    "resolve_target": "(method, host, scheme=None, port=None, path=None)",
    "layer": "(target, key)",
    "known_llm_hosts": "()",
    "journal_time": "(key, now_ms)",
    "journal_random": "(key, data)",
}


def test_module_exposes_exactly_the_class_and_the_error():
    public = sorted(name for name in vars(vorn_core) if not name.startswith("__"))
    assert public == ["VornCore", "VornCoreError"]
    assert vorn_core.__doc__ == "The `vorn_core` extension module."
    assert (VornCore.__module__, VornCore.__qualname__) == ("vorn_core", "VornCore")


def test_handle_class_is_final():
    with pytest.raises(TypeError):

        class Sub(VornCore):  # noqa: F841 - defining it is the test
            pass


def test_handle_has_no_instance_dict_and_no_weakrefs(core):
    assert not hasattr(core, "__dict__")
    with pytest.raises(AttributeError):
        core.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(core)


def test_class_signature_is_introspectable():
    assert VornCore.__text_signature__ == "(paused=False, journal_path=None)"
    sig = inspect.signature(VornCore)
    assert [(p.name, p.default) for p in sig.parameters.values()] == [
        ("paused", False),
        ("journal_path", None),
    ]
    # The signature line is split off, the contract prose stays.
    assert VornCore.__doc__ and not VornCore.__doc__.startswith("VornCore(")


@pytest.mark.parametrize("name, bound_signature", sorted(METHOD_SIGNATURES.items()))
def test_method_signatures_are_introspectable(core, name, bound_signature):
    method = getattr(VornCore, name)
    params = bound_signature[1:-1]
    if name == "known_llm_hosts":
        assert method.__text_signature__ == "()"
    else:
        assert method.__text_signature__ == "($self" + (", " + params if params else "") + ")"
    assert str(inspect.signature(getattr(core, name))) == bound_signature
    # The signature line is split off; the contract prose stays.
    assert method.__doc__.strip() and not method.__doc__.startswith(name + "(")


def test_known_llm_hosts_is_static():
    assert VornCore.known_llm_hosts() == VornCore(paused=True).known_llm_hosts()


@pytest.mark.parametrize("kwargs", [{}, {"journal_path": None}, {"journal_path": ""}])
def test_handle_without_a_journal_is_in_memory(kwargs):
    handle = VornCore(**kwargs)
    assert handle.persistent is False
    assert handle.flush_events() is None  # the feed is off: nothing to wait for
    with pytest.raises(AttributeError):
        handle.persistent = True


def test_error_type_shape():
    assert issubclass(VornCoreError, Exception)
    assert (VornCoreError.__module__, VornCoreError.__name__) == ("vorn_core", "VornCoreError")
    assert VornCoreError.__doc__ == (
        'Vorn core error. Carries the stable `code` ("VORN-E0NN") and `message` as '
        "attributes \u2014 the Python mirror of the core's VornError."
    )


def test_raised_error_carries_code_and_message(core):
    with pytest.raises(VornCoreError) as info:
        core.execute([], lambda attempt: None)
    e = info.value
    assert e.code == "VORN-E003"
    assert e.message == "request envelope invalid: invalid type: sequence, expected struct Request"
    assert str(e) == f"{e.code}: {e.message}"
    assert e.args == (str(e),)
    # Ordinary handlers catch it.
    assert isinstance(e, Exception)


@pytest.mark.parametrize(
    "call",
    [
        lambda c: c.configure(),
        lambda c: c.configure({}, {}),
        lambda c: c.configure(policy={}, extra=1),
        lambda c: c.execute({"v": 1}),
        lambda c: c.layer(1, "timeout"),
        lambda c: c.resolve_target("GET", None),
        lambda c: c.advance_clock("5"),
        lambda c: c.advance_clock(True),
        lambda c: VornCore(paused=1),
        lambda c: VornCore(journal_path=5),
    ],
    ids=[
        "configure-missing",
        "configure-too-many",
        "configure-unknown-keyword",
        "execute-missing-effect",
        "layer-non-str",
        "resolve-host-none",
        "advance-str",
        "advance-bool",
        "paused-int",
        "journal-path-int",
    ],
)
def test_argument_binding_errors_are_type_errors(core, call):
    with pytest.raises(TypeError):
        call(core)


def test_keyword_arguments_bind_by_name(core):
    core.configure(policy={"target": {"api": {"timeout": "1s"}}})
    assert core.layer(key="timeout", target="api") == "1s"
    assert core.resolve_target(host="h.test", method="GET", port=None) == "h.test"

"""configure and the policy readers: conversion, validation texts, swap semantics."""

import collections
import collections.abc
import logging
import math
import types

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from conftest import Script, err, ok, request
from vorn_core import VornCore, VornCoreError

RETRY_TWICE = {"target": {"api": {"retry": {"attempts": 3, "schedule": "fixed(100ms)"}}}}


def configure_error(core, policy):
    with pytest.raises(VornCoreError) as info:
        core.configure(policy)
    assert str(info.value) == f"{info.value.code}: {info.value.message}"
    return info.value


class Opaque:
    pass


def _cyclic_list():
    cycle = []
    cycle.append(cycle)
    return cycle


def _deep_dict(depth):
    # Built iteratively: the point is that the converter, not the test, meets the depth.
    top = {}
    node = top
    for _ in range(depth):
        node["a"] = {}
        node = node["a"]
    return top


@pytest.mark.parametrize(
    "policy, reason",
    [
        (_cyclic_list(), "nesting deeper than 256 levels"),
        ({"target": {"api": _cyclic_list()}}, "nesting deeper than 256 levels"),
        (_deep_dict(100_000), "nesting deeper than 256 levels"),
        ({"target": {"api": {"budget": 2**64}}}, "integer out of range: does not fit in 64 bits"),
        ({"target": {"api": {"budget": -(2**63) - 1}}}, "integer out of range: does not fit in 64 bits"),
        ({"target": {"api": {"timeout": b"5s"}}}, "unsupported type bytes"),
        ({"target": {"api": {"timeout": bytearray(b"5s")}}}, "unsupported type bytearray"),
        ({"target": {1: {}}}, "dict key must be a string, not int"),
        ({("target",): {}}, "dict key must be a string, not tuple"),
        ({"target": Opaque()}, "unsupported type Opaque"),
        ({"target": {"api": {"budget": "\ud800"}}}, None),
    ],
    ids=[
        "cyclic-list",
        "cycle-inside",
        "deep-dict",
        "int-above-u64",
        "int-below-i64",
        "bytes",
        "bytearray",
        "int-key",
        "tuple-key",
        "custom-instance",
        "lone-surrogate",
    ],
)
def test_unconvertible_objects_are_rejected(core, policy, reason):
    e = configure_error(core, policy)
    assert e.code == "VORN-E001"
    assert e.message.startswith("policy not decodable: ")
    if reason is not None:
        assert e.message == "policy not decodable: " + reason


def test_non_finite_floats_become_null(core):
    core.configure(
        {
            "defaults": {"outbound": {"timeout": "5s", "budget": "b"}},
            "target": {"api": {"timeout": math.nan, "budget": math.inf}},
        }
    )
    # The raw document holds nulls: they hide the defaults for that target only.
    assert core.layer("api", "timeout") is None
    assert core.layer("api", "budget") is None
    assert core.layer("other", "timeout") == "5s"
    # Where null is not allowed, a non-finite number is judged as the null it became.
    for value, reason in [
        ({"attempts": -math.inf}, "retry.attempts: invalid type: null, expected a nonzero u32"),
        ({"schedule": math.nan}, "retry.schedule: invalid type: null, expected a string"),
    ]:
        e = configure_error(core, {"target": {"api": {"retry": value}}})
        assert e.message == "policy invalid at target.api." + reason
    e = configure_error(
        core, {"target": {"api": {"breaker": {"window": "60s", "failure_rate": math.nan}}}}
    )
    assert e.message == (
        "policy invalid at target.api.breaker: breaker rate mode requires both `window` and "
        "`failure_rate` (count mode sets `failures` instead)"
    )


UNKNOWN_TARGET_FIELD = (
    "unknown field `retries`, expected one of `timeout`, `retry`, `breaker`, `rate`, `cache`, "
    "`idempotency`, `poll`, `fallback`, `budget`"
)
POLL_UNTIL = {"field": "status", "terminal": ["done"]}


@pytest.mark.parametrize(
    "policy, message",
    [
        (None, "policy invalid at .: invalid type: null, expected struct Policy"),
        ([], "policy invalid at .: invalid type: sequence, expected struct Policy"),
        (
            {"targets": {}},
            "policy invalid at targets: unknown field `targets`, expected one of `defaults`, "
            "`target`, `flows`, `journal`, `telemetry`",
        ),
        ({"target": {"api": {"retries": 3}}}, "policy invalid at target.api.retries: " + UNKNOWN_TARGET_FIELD),
        (
            {"target": {"api": {"timeout": 30}}},
            "policy invalid at target.api.timeout: invalid type: integer `30`, expected a string",
        ),
        (
            {"target": {"api.v2": {"timeout": "30x"}}},
            'policy invalid at target.api.v2.timeout: unparseable duration literal: "30x"',
        ),
        (
            {"target": {"api": {"retry": {"attempts": 0}}}},
            "policy invalid at target.api.retry.attempts: invalid value: integer `0`, expected a nonzero u32",
        ),
        (
            {"target": {"api": {"retry": {"on": ["5xx", "5XX"]}}}},
            'policy invalid at target.api.retry.on[1]: unparseable retry condition literal: "5XX"',
        ),
        (
            {"target": {"api": {"retry": {"schedule": "exp(1s, x2) upTo 10s"}}}},
            'policy invalid at target.api.retry.schedule: invalid schedule literal: "exp(1s, x2) '
            'upTo 10s" \u2014 `upTo` must bound every segment except the last, and never the last '
            "(an unbounded segment never hands off; a bounded tail would leave attempts without "
            "a wait \u2014 cap total retrying with `attempts`)",
        ),
        (
            {"defaults": {"outbound": {"rate": "100/m"}}},
            'policy invalid at defaults.outbound.rate: unparseable rate literal: "100/m"',
        ),
        (
            {"target": {"api": {"breaker": {"window": "60s"}}}},
            "policy invalid at target.api.breaker: breaker rate mode requires both `window` and "
            "`failure_rate` (count mode sets `failures` instead)",
        ),
        (
            {"target": {"api": {"breaker": {"min_calls": 5}}}},
            "policy invalid at target.api.breaker: breaker rate mode requires both `window` and "
            "`failure_rate` (count mode sets `failures` instead)",
        ),
        (
            {"target": {"api": {"breaker": {"window": "60s", "failure_rate": 1.5}}}},
            "policy invalid at target.api.breaker.failure_rate: breaker.failure_rate must be "
            "greater than 0 and at most 1 (got 1.5)",
        ),
        (
            {"target": {"api": {"breaker": {"window": "60s", "failure_rate": 0}}}},
            "policy invalid at target.api.breaker.failure_rate: breaker.failure_rate must be "
            "greater than 0 and at most 1 (got 0)",
        ),
        (
            {"target": {"api": {"poll": {"interval": "1s", "until": POLL_UNTIL}}}},
            "policy invalid at target.api.poll: missing field `deadline`",
        ),
        (
            {"target": {"api": {"poll": {"interval": "0s", "deadline": "1s", "until": POLL_UNTIL}}}},
            'policy invalid at target.api.poll: invalid poll.interval literal: "0" \u2014 must be '
            "a nonzero duration",
        ),
        (
            {
                "target": {
                    "api": {
                        "poll": {
                            "interval": "1s",
                            "deadline": "1s",
                            "until": {"field": "status", "terminal": []},
                        }
                    }
                }
            },
            'policy invalid at target.api.poll.until: unparseable poll until.terminal literal: '
            '"(empty array)"',
        ),
        (
            {"defaults": {"llm": {"cache": {"scope": "disk"}}}},
            "policy invalid at defaults.llm.cache.scope: unknown variant `disk`, expected "
            "`memory` or `persistent`",
        ),
        (
            {"telemetry": {"console": None}},
            "policy invalid at telemetry.console: invalid type: null, expected a boolean",
        ),
        (
            {"journal": "postgresql://h/db"},
            'policy invalid at journal: unparseable journal location literal: "postgresql://h/db"',
        ),
    ],
)
def test_invalid_documents_name_the_first_offending_path(core, policy, message):
    e = configure_error(core, policy)
    assert e.code == "VORN-E001"
    assert e.message == message


@pytest.mark.parametrize(
    "policy",
    [
        {},
        {"target": {"api": {"breaker": {}}}},
        {"target": {"api": {"breaker": {"window": "60s", "failure_rate": 1}}}},
        {"target": {"api": {"timeout": None, "retry": None, "cache": {"ttl": None}}}},
        {"flows": None, "journal": None, "telemetry": None},
        {"target": {"api": {"retry": {"attempts": 4294967295}}}},
        # Sets and tuples are sequences.
        {"target": {"api": {"retry": {"on": ("5xx", "429")}, "fallback": frozenset({"b"})}}},
    ],
)
def test_valid_documents_are_accepted(core, policy):
    assert core.configure(policy) is None


class FrozenMap(collections.abc.Mapping):
    def __init__(self, data):
        self._data = dict(data)

    def __getitem__(self, key):
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)


@pytest.mark.parametrize(
    "wrap",
    [
        types.MappingProxyType,
        collections.UserDict,
        collections.ChainMap,
        collections.OrderedDict,
        FrozenMap,
    ],
)
def test_any_mapping_is_an_object(core, wrap):
    # A mapping class also answers to indexing; it must still become an object, never the
    # list of its keys.
    core.configure(wrap({"target": wrap({"api": wrap({"timeout": "7s", "fallback": ("a",)})})}))
    assert core.layer("api", "timeout") == "7s"
    assert core.layer("api", "fallback") == ["a"]


@pytest.mark.parametrize(
    "bad",
    [
        {"target": {"api": {"retry": {"attempts": 0}}}},
        {"target": {"api": {"retry": Opaque()}}},
    ],
    ids=["invalid", "not-decodable"],
)
def test_failed_configure_leaves_previous_policy_in_force(core, bad):
    core.configure(RETRY_TWICE)
    configure_error(core, bad)
    effect = Script(err("conn"))
    out = core.execute(request(), effect)
    assert (out["attempts"], out["waits_ms"]) == (3, [100, 100])
    assert core.layer("api", "retry") == {"attempts": 3, "schedule": "fixed(100ms)"}


def test_configure_replaces_the_whole_policy(core):
    core.configure(RETRY_TWICE)
    core.configure({"target": {"other": {"timeout": "1s"}}})
    assert core.layer("api", "retry") is None
    out = core.execute(request(), Script(err("conn")))
    assert out["attempts"] == 1


# Documents with one grammar value left to the generator; the rest is valid.
def _doc_for(field, text):
    if field == "timeout":
        return {"target": {"api": {"timeout": text}}}
    if field == "rate":
        return {"target": {"api": {"rate": text}}}
    if field == "retry.schedule":
        return {"target": {"api": {"retry": {"schedule": text}}}}
    if field == "retry.on[0]":
        return {"target": {"api": {"retry": {"on": [text]}}}}
    if field == "journal":
        return {"journal": text}
    return {
        "target": {
            "api": {"poll": {"interval": text, "deadline": "1s", "until": POLL_UNTIL}}
        }
    }


_SCHEDULE_TOKENS = [
    "fixed(1s)",
    "fixed(0ms)",
    "fixed(18446744073709551615ms)",
    "exp(200ms, x2)",
    "exp(1ms,x1e308,max 1h,jitter)",
    "exp(5ms, xnan)",
    "exp(5ms, x-3, jitter)",
    "exp(1h, xinf, jitter)",
    "upTo",
    "3s",
    "andThen",
    "jitter",
]

_NEAR_GRAMMAR = {
    "timeout": st.from_regex(r"\A ?[0-9]{1,22}(ms|s|m|h|S|d)? ?\Z"),
    "poll.interval": st.from_regex(r"\A ?[0-9]{1,22}(ms|s|m|h|S|d)? ?\Z"),
    "rate": st.from_regex(r"\A ?\+?[0-9]{1,22} ?/ ?(s|sec|min|h|hour|m) ?\Z"),
    "retry.schedule": st.lists(st.sampled_from(_SCHEDULE_TOKENS), max_size=7).map(" ".join),
    "retry.on[0]": st.sampled_from(["conn", "other", "4xx", "5xx", "429", "099", "600", " 5xx"]),
    "journal": st.sampled_from(
        ["file:", "postgres://", "File:x", "postgresql://h/db", " file:x", "sqlite:x"]
    ),
}


@pytest.mark.parametrize("field", sorted(_NEAR_GRAMMAR))
@settings(
    max_examples=150,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
@given(data=st.data())
def test_grammar_fields_never_crash(core, field, data):
    text = data.draw(st.one_of(st.text(max_size=40), _NEAR_GRAMMAR[field]), label="text")
    if field == "journal":
        # A text naming a real location would open a journal file or reach for a database
        # server: that is journal selection, not what this property is about.
        assume(text in ("file:", "postgres://") or not text.startswith(("file:", "postgres://")))
    try:
        core.configure(_doc_for(field, text))
    except VornCoreError as e:
        assert e.code == "VORN-E001"
        assert e.message.startswith("policy invalid at ")
        return
    # Whatever was accepted must also run: one failed attempt, then a terminal answer.
    out = core.execute(request(), Script(err("conn"), ok({"status": "done"})))
    assert out["result"] in ("ok", "error")
    assert out["v"] == 1


def test_layer_reads_the_raw_document():
    core = VornCore(paused=True)
    assert core.layer("api", "timeout") is None  # nothing configured yet
    core.configure(
        {
            "defaults": {
                "outbound": {"timeout": "5s", "fallback": ["a", "b"]},
                "llm": {"timeout": "60s"},
            },
            "target": {"api": {"timeout": "120s"}, "quiet": {"timeout": None}},
        }
    )
    cases = [
        ("api", "timeout", "120s"),
        ("quiet", "timeout", None),  # explicit null hides the defaults
        ("other", "timeout", "5s"),
        ("llm:openai", "timeout", "60s"),
        ("llm:", "timeout", "60s"),
        ("other", "fallback", ["a", "b"]),
        ("other", "budget", None),
        ("api", "fallback", ["a", "b"]),
    ]
    assert [core.layer(t, k) for t, k, _ in cases] == [v for _, _, v in cases]


@pytest.mark.parametrize(
    "args, expected",
    [
        (("GET", "api.openai.com"), "llm:openai"),
        (("POST", "api.anthropic.com", "https"), "llm:anthropic"),
        (("GET", "generativelanguage.googleapis.com"), "llm:google-genai"),
        (("GET", "europe-west4-aiplatform.googleapis.com"), "llm:google-genai"),
        (("GET", "API.OPENAI.COM"), "API.OPENAI.COM"),
        (("GET", "api.shop.test"), "api.shop.test"),
        (("GET", "API.SHOP.TEST"), "*.shop.test"),
        (("GET", "cdn.shop.test"), "*.shop.test"),
        (("post", "pay.test", "https", None, "/orders/42"), "POST pay.test/orders/*"),
        (("GET", "pay.test", "https", None, "/orders/42"), "pay.test"),
        (("GET", "pay.test", "https", None, "/Orders/42"), "pay.test"),
        (("GET", "secure.test", "https"), "secure.test:443"),
        (("GET", "secure.test", "HTTPS"), "secure.test"),
        (("GET", "secure.test", "https", 8443), "secure.test"),
        (("GET", "py:mod.fn"), "py:mod.fn"),
        (("GET", "nowhere.test"), "nowhere.test"),
    ],
)
def test_resolve_target(core, args, expected):
    core.configure(
        {
            "target": {
                "api.openai.com": {},
                "api.shop.test": {},
                "*.shop.test": {},
                "api.*.test": {},
                "POST pay.test/orders/*": {},
                "secure.test:443": {},
            }
        }
    )
    assert core.resolve_target(*args) == expected


def test_resolve_target_rejects_ports_out_of_range(core):
    for port in (65536, -1):
        with pytest.raises(OverflowError):
            core.resolve_target("GET", "h.test", None, port)


def test_known_llm_hosts_on_class_and_instance(core):
    hosts = VornCore.known_llm_hosts()
    assert hosts == core.known_llm_hosts()
    assert [provider for _, provider in hosts] == [
        "openai",
        "anthropic",
        "google-genai",
        "google-genai",
    ]
    assert all(type(pair) is tuple and len(pair) == 2 for pair in hosts)
    for host, provider in hosts:
        assert core.resolve_target("GET", host) == "llm:" + provider


INERT = (
    "policy {}.breaker sets `failures` (count mode) alongside rate-mode knobs "
    "(window/failure_rate/min_calls), which are inert in count mode. Remove `failures` to "
    "select rate mode."
)


def test_inert_breaker_knobs_are_warned_in_order(core, caplog):
    caplog.set_level(logging.WARNING, logger="vornex_core.engine")
    mixed = {"failures": 3, "window": "60s", "failure_rate": 0.5}
    core.configure(
        {
            "target": {
                "zeta": {"breaker": {"failures": 2, "min_calls": 4}},
                "billing": {"breaker": mixed},
                "plain": {"breaker": {"failures": 2}},
            },
            "defaults": {"llm": {"breaker": mixed}, "outbound": {"breaker": mixed}},
        }
    )
    records = [r for r in caplog.records if r.name == "vornex_core.engine"]
    assert [r.levelno for r in records] == [logging.WARNING] * 4
    assert [r.getMessage() for r in records] == [
        INERT.format("defaults.outbound"),
        INERT.format("defaults.llm"),
        INERT.format('target."billing"'),
        INERT.format('target."zeta"'),
    ]
    # Only a warning: the count-mode breaker is in force.
    assert core.layer("billing", "breaker") == mixed


def test_rejected_document_logs_no_warning(core, caplog):
    caplog.set_level(logging.WARNING, logger="vornex_core.engine")
    configure_error(
        core,
        {
            "target": {
                "a": {"breaker": {"failures": 3, "window": "60s", "failure_rate": 0.5}},
                "b": {"timeout": 1},
            }
        },
    )
    assert [r for r in caplog.records if r.name == "vornex_core.engine"] == []

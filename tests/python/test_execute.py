"""Synchronous execute: outcome records, failure texts, request decoding, retries, effects."""

import collections

import pytest

from conftest import Script, err, ok, request
from vorn_core import VornCore, VornCoreError

OK_KEYS = ["v", "result", "payload", "attempts", "from_cache", "waits_ms", "throttled",
           "throttle_wait_ms", "breaker", "trace_id"]
ERROR_KEYS = ["v", "result", "error", "attempts", "from_cache", "waits_ms", "throttled",
              "throttle_wait_ms", "breaker", "trace_id"]
NOT_IDEMPOTENT = "Not retried: call is not idempotent \u2014 observed, not retried."


def retry(attempts=3, schedule="fixed(100ms)", on=None, **block):
    r = {"attempts": attempts, "schedule": schedule}
    if on is not None:
        r["on"] = on
    return {"target": {"api": dict(block, retry=r)}}


def test_success_outcome_shape(core):
    out = core.execute(request(), Script(ok({"b": [1, 2.5, None, True], "a": {"z": "", "y": 0}})))
    assert list(out) == OK_KEYS
    assert out == {
        "v": 1,
        "result": "ok",
        "payload": {"a": {"y": 0, "z": ""}, "b": [1, 2.5, None, True]},
        "attempts": 1,
        "from_cache": False,
        "waits_ms": [],
        "throttled": False,
        "throttle_wait_ms": 0,
        "breaker": "closed",
        "trace_id": "t-000001",
    }
    # Objects come back with their keys in byte order.
    assert list(out["payload"]) == ["a", "b"]


@pytest.mark.parametrize("payload", [None, 0, "", [], {}, 2**64 - 1, -(2**63)])
def test_payload_round_trips_exactly(core, payload):
    out = core.execute(request(), Script(ok(payload)))
    assert out["result"] == "ok" and out["payload"] == payload
    assert type(out["payload"]) is type(payload)


def test_non_finite_payload_numbers_become_null(core):
    payload = {"x": float("nan"), "y": [float("inf"), -float("inf"), 0.5]}
    assert core.execute(request(), Script(ok(payload)))["payload"] == {
        "x": None, "y": [None, None, 0.5]}


def test_failure_outcome_shape(core):
    original = {"body": "nope", "retry": [1]}
    out = core.execute(request(), Script(err("http", "down", http_status=503, original=original)))
    assert list(out) == ERROR_KEYS
    assert list(out["error"]) == ["code", "class", "http_status", "message", "original"]
    assert out["error"] == {
        "code": "VORN-E010",
        "class": "http",
        "http_status": 503,
        "message": "GET /x failed 1/1 attempts (last: http 503). down",
        "original": original,
    }
    assert (out["attempts"], out["breaker"], out["trace_id"]) == (1, "closed", "t-000001")


def test_error_without_status_or_original_omits_the_keys(core):
    out = core.execute(request(), Script(err("conn", http_status=None, original=None)))
    assert list(out["error"]) == ["code", "class", "message"]


# policy, request overrides, attempt results, code, class, message, attempts, waits
FAILURES = [
    pytest.param(
        {}, {}, [err("conn", "refused")],
        "VORN-E010", "conn", "GET /x failed 1/1 attempts (last: conn). refused", 1, [],
        id="no-policy-conn",
    ),
    pytest.param(
        {}, {}, [err("conn", "")],
        "VORN-E010", "conn", "GET /x failed 1/1 attempts (last: conn).", 1, [],
        id="empty-message-no-trailing-blank",
    ),
    pytest.param(
        {}, {}, [{"status": "error", "class": "conn"}],
        "VORN-E010", "conn", "GET /x failed 1/1 attempts (last: conn).", 1, [],
        id="absent-message",
    ),
    pytest.param(
        {}, {}, [err("conn", "gone \t\n ")],
        "VORN-E010", "conn", "GET /x failed 1/1 attempts (last: conn). gone", 1, [],
        id="trailing-space-trimmed",
    ),
    pytest.param(
        {}, {}, [err("http", "missing", http_status=404)],
        "VORN-E015", "http",
        "GET /x failed (http 404); error class is not retryable per policy. missing", 1, [],
        id="not-retryable-404",
    ),
    pytest.param(
        retry(), {}, [err("http", "down", http_status=503)],
        "VORN-E010", "http", "GET /x failed 3/3 attempts (last: http 503). down", 3, [100, 100],
        id="budget-used-up",
    ),
    pytest.param(
        retry(), {"idempotent": False}, [err("http", "down", http_status=503)],
        "VORN-E014", "http", f"GET /x failed (http 503). {NOT_IDEMPOTENT} down", 1, [],
        id="not-idempotent",
    ),
    pytest.param(
        retry(), {"idempotent": False}, [err("conn", "")],
        "VORN-E014", "conn", f"GET /x failed (conn). {NOT_IDEMPOTENT}", 1, [],
        id="not-idempotent-empty-message",
    ),
    pytest.param(
        retry(attempts=1), {"idempotent": False}, [err("conn")],
        "VORN-E010", "conn", "GET /x failed 1/1 attempts (last: conn). boom", 1, [],
        id="last-attempt-before-idempotency",
    ),
    pytest.param(
        retry(), {}, [err("conn", "a"), err("other", "b")],
        "VORN-E015", "other",
        "GET /x failed (other); error class is not retryable per policy. b", 2, [100],
        id="retryable-then-not",
    ),
    pytest.param(
        retry(), {}, [err("http", "no status")],
        "VORN-E015", "http",
        "GET /x failed (http); error class is not retryable per policy. no status", 1, [],
        id="http-without-status",
    ),
    pytest.param(
        retry(on=["5xx"]), {}, [err("http", "slow down", http_status=429)],
        "VORN-E015", "http",
        "GET /x failed (http 429); error class is not retryable per policy. slow down", 1, [],
        id="429-not-in-5xx",
    ),
    pytest.param(
        retry(attempts=2, on=["429"]), {"op": "POST /orders"},
        [err("http", "slow down", http_status=429)],
        "VORN-E010", "http", "POST /orders failed 2/2 attempts (last: http 429). slow down",
        2, [100],
        id="429-listed",
    ),
    pytest.param(
        retry(on=[]), {}, [err("timeout", "t")],
        "VORN-E015", "timeout",
        "GET /x failed (timeout); error class is not retryable per policy. t", 1, [],
        id="empty-conditions",
    ),
]


@pytest.mark.parametrize(
    "policy, overrides, results, code, cls, message, attempts, waits", FAILURES
)
def test_failure_codes_and_messages(core, policy, overrides, results, code, cls, message,
                                    attempts, waits):
    core.configure(policy)
    effect = Script(*results)
    out = core.execute(request(**overrides), effect)
    assert out["result"] == "error" and "payload" not in out
    assert (out["error"]["code"], out["error"]["class"], out["error"]["message"]) == (
        code, cls, message)
    assert (out["attempts"], out["waits_ms"]) == (attempts, waits)
    assert effect.calls == list(range(1, attempts + 1))


def test_success_after_retries(core):
    core.configure(retry())
    effect = Script(err("conn"), err("timeout"), ok("fine"))
    out = core.execute(request(), effect)
    assert (out["result"], out["payload"], out["attempts"], out["waits_ms"]) == (
        "ok", "fine", 3, [100, 100])
    assert "error" not in out


@pytest.mark.parametrize("v", [0, 2, 4294967295])
def test_unsupported_envelope_version(core, v):
    core.configure(retry())
    effect = Script(ok(1))
    out = core.execute(request(v=v), effect)
    assert out["error"] == {
        "code": "VORN-E004",
        "class": "other",
        "message": f"unsupported envelope version {v}",
    }
    assert (out["attempts"], out["trace_id"]) == (0, "t-000001")
    assert effect.calls == []
    metrics = core.report()["targets"]["api"]
    assert (metrics["calls"], metrics["failures"], metrics["attempts"]) == (1, 1, 0)


@pytest.mark.parametrize(
    "req, message",
    [
        ([], "request envelope invalid: invalid type: sequence, expected struct Request"),
        (None, "request envelope invalid: invalid type: null, expected struct Request"),
        (request(idempotent=None), "request envelope invalid: invalid type: null, expected a boolean"),
        (request(idempotent="yes"), 'request envelope invalid: invalid type: string "yes", expected a boolean'),
        ({"v": 1, "target": "api"}, "request envelope invalid: missing field `op`"),
        ({"target": "api", "op": "x"}, "request envelope invalid: missing field `v`"),
        (request(v=-1), "request envelope invalid: invalid value: integer `-1`, expected u32"),
        (request(v=2**32), "request envelope invalid: invalid value: integer `4294967296`, expected u32"),
        (request(args_hash=7), "request envelope invalid: invalid type: integer `7`, expected a string"),
        (request(op=b"GET"), "request envelope not decodable: unsupported type bytes"),
        (request(extra={"deep": [b"x"]}), "request envelope not decodable: unsupported type bytes"),
        (request(extra={1: 2}), "request envelope not decodable: dict key must be a string, not int"),
        (request(v=2**64), "request envelope not decodable: integer out of range: does not fit in 64 bits"),
    ],
)
def test_bad_requests_raise(core, req, message):
    effect = Script(ok(1))
    with pytest.raises(VornCoreError) as info:
        core.execute(req, effect)
    assert (info.value.code, info.value.message) == ("VORN-E003", message)
    assert effect.calls == []
    assert core.report()["targets"] == {}


def test_mapping_request_and_attempt_result(core):
    out = core.execute(
        collections.UserDict(request()),
        lambda attempt: collections.UserDict(ok(collections.UserDict({"k": 1}))),
    )
    assert (out["result"], out["payload"]) == ("ok", {"k": 1})


def test_request_without_idempotent_is_not_idempotent(core):
    core.configure(retry())
    req = request()
    del req["idempotent"]
    out = core.execute(req, Script(err("conn")))
    assert (out["error"]["code"], out["attempts"]) == ("VORN-E014", 1)


def test_extra_request_keys_are_ignored(core):
    out = core.execute(request(extra={"anything": [1, {"x": None}]}, headers=None), Script(ok(1)))
    assert out["result"] == "ok"


def test_null_args_hash_means_none(core):
    # Only a call with an argument hash is cached, which makes "none" visible: a null that
    # were read as some text would be stored and then served.
    core.configure({"target": {"api": {"cache": {"ttl": "60s"}}}})
    no_hash = [request(), request(args_hash=None), request(), request(args_hash=None)]
    outs = [core.execute(req, Script(ok(i))) for i, req in enumerate(no_hash)]
    assert [(o["from_cache"], o["payload"]) for o in outs] == [(False, i) for i in range(4)]
    hashed = [core.execute(request(args_hash="h1"), Script(ok(i))) for i in range(2)]
    assert [(o["from_cache"], o["payload"]) for o in hashed] == [(False, 0), (True, 0)]


@pytest.mark.parametrize("key", [None, "idem-1", ""])
def test_idempotency_key_accepts_str_or_none_outside_a_flow(core, key):
    out = core.execute(request(), Script(ok(1)), idempotency_key=key)
    assert out["result"] == "ok"
    assert "replayed" not in out


@pytest.mark.parametrize("key", [1, b"k", ["k"]])
def test_idempotency_key_of_another_type_is_a_type_error(core, key):
    effect = Script(ok(1))
    with pytest.raises(TypeError):
        core.execute(request(), effect, idempotency_key=key)
    assert effect.calls == []


@pytest.mark.parametrize(
    "schedule, attempts, waits",
    [
        ("fixed(100ms)", 3, [100, 100]),
        ("fixed(0ms)", 3, [0, 0]),
        ("exp(200ms, x2, max 30s)", 11,
         [200, 400, 800, 1600, 3200, 6400, 12800, 25600, 30000, 30000]),
        ("exp(100ms, x1.5)", 6, [100, 150, 225, 338, 506]),
        ("fixed(1s) upTo 3s andThen exp(2s, x2)", 7, [1000, 1000, 1000, 2000, 4000, 8000]),
        ("exp(0ms, x2, jitter)", 3, [0, 0]),
    ],
)
def test_retry_schedules_on_the_virtual_clock(core, schedule, attempts, waits):
    core.configure(retry(attempts=attempts, schedule=schedule))
    out = core.execute(request(), Script(err("conn")))
    assert (out["attempts"], out["waits_ms"]) == (attempts, waits)
    report = core.report()
    # The paused clock moved by the waits and nothing else.
    assert report["clock_ms"] == sum(waits)
    assert report["targets"]["api"]["retries"] == attempts - 1


def test_jitter_draws_within_half_to_full_wait(core):
    core.configure(retry(attempts=4, schedule="exp(1s, x2, jitter)"))
    seen = []
    for _ in range(30):
        seen.append(core.execute(request(), Script(err("conn")))["waits_ms"])
    for waits in seen:
        assert 500 <= waits[0] <= 1000
        assert 1000 <= waits[1] <= 2000
        assert 2000 <= waits[2] <= 4000
    # Thirty identical draws from five hundred values would mean no jitter at all.
    assert len({w[0] for w in seen}) > 1


@pytest.mark.parametrize(
    "schedule, retry_after, waits",
    [
        ("fixed(200ms)", 5000, [5000, 5000]),
        ("fixed(200ms)", 50, [200, 200]),
        ("fixed(200ms)", None, [200, 200]),
        ("exp(1s, x2, jitter)", 7000, [7000, 7000]),  # the hint is served as given
    ],
)
def test_retry_after_is_honoured(core, schedule, retry_after, waits):
    core.configure(retry(schedule=schedule))
    effect = Script(err("http", "busy", http_status=429, retry_after_ms=retry_after))
    out = core.execute(request(), effect)
    assert out["waits_ms"] == waits
    assert core.report()["clock_ms"] == sum(waits)


class Opaque:
    pass


def _raise_value_error(attempt):
    raise ValueError("boom")


EFFECT_PREFIX = "GET /x failed (other); error class is not retryable per policy. "
NOT_VALID = "effect result is not a valid attempt result: "


# effect, the text after the common prefix, whether that text is only its beginning (where
# the rest is the interpreter's or the decoder's own wording)
@pytest.mark.parametrize(
    "effect, message, partial",
    [
        (_raise_value_error, "effect callback raised: ValueError: boom", False),
        (lambda attempt: 1 / 0, "effect callback raised: ZeroDivisionError: division by zero", False),
        (5, "effect callback raised: TypeError: 'int' object is not callable", False),
        (lambda: ok(1), "effect callback raised: TypeError: ", True),
        (lambda attempt: None, NOT_VALID, True),
        (lambda attempt: "ok", NOT_VALID, True),
        (lambda attempt: [ok(1)], NOT_VALID, True),
        (lambda attempt: {"status": "error"}, NOT_VALID + "missing field `class`", False),
        (lambda attempt: {"status": "ok"}, NOT_VALID + "missing field `payload`", False),
        (lambda attempt: {"payload": 1}, NOT_VALID + "missing field `status`", False),
        (lambda attempt: ok(Opaque()), NOT_VALID + "unsupported type Opaque", False),
        (lambda attempt: ok(b"raw"), NOT_VALID + "unsupported type bytes", False),
    ],
)
def test_misbehaving_effects_become_failed_attempts(core, effect, message, partial):
    out = core.execute(request(), effect)
    assert out["result"] == "error"
    assert (out["error"]["code"], out["error"]["class"], out["attempts"]) == (
        "VORN-E015", "other", 1)
    assert "http_status" not in out["error"] and "original" not in out["error"]
    text = out["error"]["message"]
    if partial:
        assert text.startswith(EFFECT_PREFIX + message) and len(text) > len(EFFECT_PREFIX + message)
    else:
        assert text == EFFECT_PREFIX + message


def test_unknown_status_variant_names_it(core):
    out = core.execute(request(), lambda attempt: {"status": "maybe"})
    message = out["error"]["message"]
    assert message.startswith(EFFECT_PREFIX + NOT_VALID) and "`maybe`" in message


def test_raising_effect_is_retried_like_any_failure(core):
    core.configure(retry(on=["other"]))
    calls = []

    def effect(attempt):
        calls.append(attempt)
        raise RuntimeError(f"attempt {attempt}")

    out = core.execute(request(), effect)
    assert calls == [1, 2, 3]
    assert out["error"]["message"] == (
        "GET /x failed 3/3 attempts (last: other). effect callback raised: RuntimeError: attempt 3")


def test_trace_ids_count_calls_per_handle(core):
    other = VornCore(paused=True)
    ids = []
    for _ in range(3):
        ids.append(core.execute(request(), Script(ok(1)))["trace_id"])
        ids.append(other.execute(request(target="b"), Script(err("conn")))["trace_id"])
    assert ids == ["t-000001", "t-000001", "t-000002", "t-000002", "t-000003", "t-000003"]
    # Rejected requests never get a number.
    with pytest.raises(VornCoreError):
        core.execute([], Script(ok(1)))
    assert core.execute(request(), Script(ok(1)))["trace_id"] == "t-000004"


def test_nested_call_passes_through(core):
    core.configure(retry())
    inner = Script(err("conn", "inner down"), ok("never"))
    nested = []

    def outer(attempt):
        nested.append(core.execute(request(op="inner"), inner))
        return err("conn", "outer") if attempt == 1 else ok("outer done")

    out = core.execute(request(), outer)
    assert (out["result"], out["attempts"], out["waits_ms"], out["trace_id"]) == (
        "ok", 2, [100], "t-000001")
    # One direct attempt per nested call, whatever the policy says about retrying.
    assert inner.calls == [1, 1]
    assert nested[0] == {
        "v": 1,
        "result": "error",
        "error": {"code": "VORN-E015", "class": "conn", "message": "inner down"},
        "attempts": 1,
        "from_cache": False,
        "waits_ms": [],
        "throttled": False,
        "throttle_wait_ms": 0,
        "breaker": "closed",
        "trace_id": "t-nested",
    }
    assert list(nested[0]) == ERROR_KEYS
    # Nested calls are not counted: the engine never saw them.
    metrics = core.report()["targets"]["api"]
    assert (metrics["calls"], metrics["attempts"], metrics["retries"]) == (1, 2, 1)


def test_nested_call_on_another_handle_passes_through(core):
    other = VornCore(paused=True)
    other.configure(retry())

    def outer(attempt):
        return ok(other.execute(request(target="b"), Script(ok({"n": attempt}))))

    out = core.execute(request(), outer)
    assert out["payload"]["trace_id"] == "t-nested"
    assert out["payload"]["payload"] == {"n": 1}
    assert other.report()["targets"] == {}
    # The other handle's own counter was not consumed.
    assert other.execute(request(target="b"), Script(ok(1)))["trace_id"] == "t-000001"


def test_nested_call_keeps_error_details_and_still_validates(core):
    def outer(attempt):
        inner = core.execute(
            request(),
            Script(err("http", "", http_status=502, original=[1], retry_after_ms=9000)),
        )
        with pytest.raises(VornCoreError) as info:
            core.execute({"v": 1}, Script(ok(1)))
        return ok({"inner": inner, "code": info.value.code})

    payload = core.execute(request(), outer)["payload"]
    assert payload["code"] == "VORN-E003"
    assert payload["inner"]["error"] == {
        "class": "http", "code": "VORN-E015", "http_status": 502, "message": "", "original": [1]}
    assert payload["inner"]["waits_ms"] == []


def test_timeout_never_cuts_a_synchronous_effect_short(core):
    # A synchronous effect finishes in one step, so it always delivers its own result,
    # however long it took on the clock.
    core.configure(retry(attempts=2, timeout="50ms"))

    def slow(result):
        def effect(attempt):
            core.advance_clock(100)
            return result
        return effect

    good = core.execute(request(), slow(ok("late but fine")))
    assert (good["result"], good["payload"], good["attempts"]) == ("ok", "late but fine", 1)
    bad = core.execute(request(), slow(err("conn", "refused")))
    assert bad["error"]["code"] == "VORN-E010"
    assert bad["error"]["message"] == "GET /x failed 2/2 attempts (last: conn). refused"
    assert core.report()["clock_ms"] == 100 + 100 + 100 + 100

"""The per-target token bucket, observed through outcomes and the report on a virtual clock."""

import pytest

from conftest import Script, err, ok, request


def limited(rate, **block):
    return {"target": {"api": dict(block, rate=rate)}}


def call(core, target="api", result=None, **req):
    effect = Script(result if result is not None else ok(1))
    out = core.execute(request(target=target, **req), effect)
    return out, effect


def throttling(core, n, target="api"):
    outs = [call(core, target)[0] for _ in range(n)]
    return [(o["throttled"], o["throttle_wait_ms"]) for o in outs]


def test_burst_then_spacing(core):
    core.configure(limited("2/s"))
    # Three calls at t=0: the burst of two goes at once, the third waits for its token.
    # The fourth arrives at t=500, when the third has served its wait: its token is due at
    # t=1000, a whole period after the burst.
    assert throttling(core, 4) == [(False, 0), (False, 0), (True, 500), (True, 500)]
    report = core.report()
    assert report["clock_ms"] == 1000
    assert report["targets"]["api"]["throttled"] == 2
    assert report["targets"]["api"]["calls"] == 4


def test_refill_follows_the_clock_and_is_capped(core):
    core.configure(limited("2/s"))
    throttling(core, 3)  # bucket left one token short at t=500
    core.advance_clock(250)
    assert throttling(core, 1) == [(True, 250)]
    # A long idle period refills at most the burst.
    core.advance_clock(60_000)
    assert throttling(core, 3) == [(False, 0), (False, 0), (True, 500)]


def test_one_per_hour(core):
    core.configure(limited("1/h"))
    assert throttling(core, 2) == [(False, 0), (True, 3_600_000)]
    assert core.report()["clock_ms"] == 3_600_000


def test_throttled_call_still_runs_and_reports_its_failure(core):
    core.configure(limited("1/min"))
    call(core)
    out, effect = call(core, result=err("conn", "down"))
    assert (out["throttled"], out["throttle_wait_ms"]) == (True, 60_000)
    assert out["error"]["code"] == "VORN-E010"
    assert effect.calls == [1]


def test_targets_have_their_own_buckets(core):
    core.configure({"defaults": {"outbound": {"rate": "1/s"}}})
    assert throttling(core, 1, "a") == [(False, 0)]
    assert throttling(core, 1, "b") == [(False, 0)]
    assert throttling(core, 1, "a") == [(True, 1000)]


def test_cache_hit_takes_no_token(core):
    core.configure(limited("1/h", cache={"ttl": "2h"}))
    first, _ = call(core, args_hash="h")
    hit, effect = call(core, args_hash="h")
    assert (hit["from_cache"], hit["throttled"], effect.calls) == (True, False, [])
    # The only token was taken by the first call.
    assert throttling(core, 1) == [(True, 3_600_000)]


def test_bucket_outlives_a_new_policy(core):
    core.configure(limited("2/s"))
    throttling(core, 2)  # bucket empty at t=0
    # Without a rate the bucket is neither consulted nor touched.
    core.configure({})
    assert throttling(core, 3) == [(False, 0)] * 3
    # The stored tokens count under the new rate: a fresh bucket would admit at once.
    core.configure(limited("1/h"))
    assert throttling(core, 1) == [(True, 3_600_000)]


@pytest.mark.parametrize(
    "rate, waits",
    [
        ("3/s", [0, 0, 0, 334, 333]),
        (" 5 / sec ", [0] * 5 + [200]),
        ("1/s", [0, 1000, 1000]),
    ],
)
def test_waits_per_rate(core, rate, waits):
    core.configure(limited(rate))
    assert [w for _, w in throttling(core, len(waits))] == waits

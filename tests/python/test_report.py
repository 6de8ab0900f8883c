"""The report: shape, counters, and the virtual clock it reads."""

import pytest

from conftest import Script, err, ok, request
from vorn_core import VornCore, VornCoreError

ENTRY_KEYS = ["attempts", "breaker_opens", "breaker_state", "cache_hits", "calls", "failures",
              "retries", "successes", "throttled"]
REAL_CLOCK = (
    "advance_clock requires a paused=True handle (harness only); this handle runs on the real "
    "clock"
)


def counters(**changed):
    base = dict.fromkeys(ENTRY_KEYS, 0)
    base["breaker_state"] = "closed"
    base.update(changed)
    return base


def test_fresh_report(core):
    report = core.report()
    assert report == {"clock_ms": 0, "targets": {}, "v": 1}
    assert list(report) == ["clock_ms", "targets", "v"]


def test_targets_and_keys_in_byte_order(core):
    for target in ["b", "a", "\u00e9", "B", "a.b", "\U0001f600", "_", "\uffff", ""]:
        core.execute(request(target=target), Script(ok(1)))
    targets = core.report()["targets"]
    assert list(targets) == ["", "B", "_", "a", "a.b", "b", "\u00e9", "\uffff", "\U0001f600"]
    assert all(list(entry) == ENTRY_KEYS for entry in targets.values())


def test_counters_follow_the_call_chain(core):
    core.configure(
        {
            "target": {
                "api": {
                    "retry": {"attempts": 3, "schedule": "fixed(1s)"},
                    "breaker": {"failures": 2, "cooldown": "1m"},
                    "cache": {"ttl": "1h"},
                    "rate": "1/s",
                }
            }
        }
    )
    # Succeeds after two failed attempts; the limiter is passed once per call, not per attempt.
    out = core.execute(request(args_hash="h"), Script(err("conn"), err("conn"), ok("x")))
    assert (out["attempts"], out["waits_ms"]) == (3, [1000, 1000])
    assert core.report()["targets"]["api"] == counters(attempts=3, calls=1, retries=2, successes=1)

    hit = core.execute(request(args_hash="h"), Script(ok("live")))
    assert hit["from_cache"]
    assert core.report()["targets"]["api"] == counters(
        attempts=3, calls=2, retries=2, successes=2, cache_hits=1)

    # Two failing calls open the breaker; the next is throttled like the second one was,
    # then rejected. A version error counts as a failure and nothing else.
    core.execute(request(), Script(err("http", http_status=404)))
    core.execute(request(), Script(err("http", http_status=404)))
    rejected = core.execute(request(), Script(ok(1)))
    assert rejected["error"]["code"] == "VORN-E012"
    core.execute(request(v=9), Script(ok(1)))
    assert core.report()["targets"]["api"] == counters(
        attempts=5,
        breaker_opens=1,
        breaker_state="open",
        cache_hits=1,
        calls=6,
        failures=4,
        retries=2,
        successes=2,
        throttled=2,
    )


def test_clock_follows_advance_clock_exactly(core):
    steps = [0, 1, 499, 1000, 0, 86_400_000]
    total = 0
    for ms in steps:
        core.advance_clock(ms)
        total += ms
        assert core.report()["clock_ms"] == total


def test_clock_saturates_instead_of_wrapping(core):
    core.advance_clock(2**64 - 1)
    far = core.report()["clock_ms"]
    assert far > 2**40
    core.advance_clock(2**64 - 1)
    core.advance_clock(1)
    assert core.report()["clock_ms"] == far
    # Still a working handle at the end of time.
    core.configure({"target": {"api": {"rate": "1/s", "breaker": {"failures": 1}}}})
    assert core.execute(request(), Script(err("conn")))["error"]["code"] == "VORN-E010"
    assert core.execute(request(), Script(ok(1)))["trace_id"] == "t-000002"
    assert core.report()["targets"]["api"]["calls"] == 2


@pytest.mark.parametrize("ms", [5, 0])
def test_advance_clock_on_a_real_time_handle(ms):
    core = VornCore()
    with pytest.raises(VornCoreError) as info:
        core.advance_clock(ms)
    assert (info.value.code, info.value.message) == ("VORN-E040", REAL_CLOCK)
    # Nothing broke: the handle still configures, runs calls and reports.
    core.configure({"target": {"api": {"timeout": "1s"}}})
    assert core.execute(request(), Script(ok(1)))["trace_id"] == "t-000001"
    assert core.report()["targets"]["api"]["successes"] == 1


@pytest.mark.parametrize(
    "ms, error",
    [(-1, OverflowError), (2**64, OverflowError), (1.5, TypeError), (None, TypeError)],
)
def test_advance_clock_rejects_bad_amounts(core, ms, error):
    with pytest.raises(error):
        core.advance_clock(ms)
    assert core.report()["clock_ms"] == 0

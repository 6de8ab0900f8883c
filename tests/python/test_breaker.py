"""The circuit breaker, driven through execute on a virtual clock."""

import pytest

from conftest import Script, err, ok, request

COUNT = {"failures": 3, "cooldown": "10s"}
RATE = {"window": "60s", "failure_rate": 0.5}


def guarded(breaker, target="api", **block):
    return {"target": {target: dict(block, breaker=breaker)}}


def run(core, results, target="api"):
    """Runs one call per attempt result (True: success, False: failure)."""
    outs = []
    for good in results:
        effect = Script(ok("fine") if good else err("conn", "down"))
        out = core.execute(request(target=target), effect)
        out["effect_calls"] = effect.calls
        outs.append(out)
    return outs


def entry(core, target="api"):
    return core.report()["targets"][target]


def rejection(target="api"):
    return {
        "code": "VORN-E012",
        "class": "other",
        "message": f"breaker OPEN for {target}: failed fast, call not attempted",
    }


@pytest.fixture
def opened(core):
    """Three failures open a count-mode breaker at t=0."""
    core.configure(guarded(COUNT))
    outs = run(core, [False] * 3)
    assert [o["breaker"] for o in outs] == ["closed", "closed", "open"]
    assert [o["error"]["code"] for o in outs] == ["VORN-E010"] * 3
    return core


def test_count_mode_opens_and_rejects(opened):
    rejected = run(opened, [True])[0]
    assert rejected["error"] == rejection()
    assert (rejected["attempts"], rejected["breaker"], rejected["effect_calls"]) == (0, "open", [])
    e = entry(opened)
    assert (e["breaker_opens"], e["breaker_state"]) == (1, "open")
    assert (e["calls"], e["failures"], e["attempts"], e["successes"]) == (4, 4, 3, 0)


def test_still_open_just_before_the_cooldown_ends(opened):
    opened.advance_clock(9_999)
    assert run(opened, [True])[0]["error"]["code"] == "VORN-E012"


def test_successful_probe_closes(opened):
    opened.advance_clock(10_000)
    # Cooldown over, not yet probed: reported closed, opens kept.
    assert (entry(opened)["breaker_state"], entry(opened)["breaker_opens"]) == ("closed", 1)
    probe = run(opened, [True])[0]
    assert (probe["result"], probe["breaker"], probe["effect_calls"]) == ("ok", "closed", [1])
    # Closed again with a fresh count: two failures do not reopen it.
    assert [o["breaker"] for o in run(opened, [False, False])] == ["closed", "closed"]
    assert entry(opened)["breaker_opens"] == 1


def test_failed_probe_reopens_for_a_new_cooldown(opened):
    opened.advance_clock(10_000)
    probe = run(opened, [False])[0]
    assert (probe["error"]["code"], probe["breaker"], probe["effect_calls"]) == (
        "VORN-E010", "open", [1])
    assert entry(opened)["breaker_opens"] == 2
    opened.advance_clock(9_999)
    assert run(opened, [True])[0]["error"] == rejection()
    opened.advance_clock(1)
    assert run(opened, [True])[0]["breaker"] == "closed"


def test_count_mode_counts_consecutive_failures_only(core):
    core.configure(guarded(COUNT))
    outs = run(core, [False, False, True, False, False])
    assert [o["breaker"] for o in outs] == ["closed"] * 5
    assert run(core, [False])[0]["breaker"] == "open"


def test_default_threshold_is_five(core):
    core.configure(guarded({"cooldown": "1s"}))
    assert [o["breaker"] for o in run(core, [False] * 5)] == ["closed"] * 4 + ["open"]
    core.advance_clock(999)
    assert run(core, [True])[0]["error"]["code"] == "VORN-E012"


def test_retries_inside_one_call_count_once(core):
    core.configure(
        guarded({"failures": 2}, retry={"attempts": 3, "schedule": "fixed(100ms)"})
    )
    first = run(core, [False])[0]
    assert (first["attempts"], first["breaker"]) == (3, "closed")
    assert run(core, [False])[0]["breaker"] == "open"


@pytest.mark.parametrize(
    "results, opens_at",
    [
        ([False] * 9, None),
        ([False] * 10, 10),
        ([True] * 5 + [False] * 5, 10),
        ([True] * 6 + [False] * 5, None),
        # A success never opens, even when it completes a failing window.
        ([False] * 9 + [True], None),
        ([True] * 2 + [False] * 3, None),
    ],
    ids=["nine-failures", "ten-failures", "half-of-ten", "five-of-eleven",
         "success-completes-window", "below-min-calls"],
)
def test_rate_mode(core, results, opens_at):
    core.configure(guarded(RATE))
    states = [o["breaker"] for o in run(core, results)]
    expected = ["closed"] * len(results)
    if opens_at is not None:
        expected[opens_at - 1] = "open"
    assert states == expected


def test_rate_mode_probe_and_fresh_window(core):
    core.configure(guarded(RATE))
    run(core, [False] * 10)
    core.advance_clock(14_999)  # the cooldown defaults to 15 s
    assert run(core, [True])[0]["error"]["code"] == "VORN-E012"
    core.advance_clock(1)
    # A failed probe reopens at once, whatever the window would say.
    assert run(core, [False])[0]["breaker"] == "open"
    assert entry(core)["breaker_opens"] == 2
    core.advance_clock(15_000)
    assert run(core, [True])[0]["breaker"] == "closed"
    # Closing emptied the window and did not count the probe: ten fresh calls are needed.
    assert [o["breaker"] for o in run(core, [False] * 10)] == ["closed"] * 9 + ["open"]


def test_rate_mode_min_calls(core):
    core.configure(guarded(dict(RATE, min_calls=3)))
    assert [o["breaker"] for o in run(core, [True, False, False])] == ["closed", "closed", "open"]


def test_rate_mode_window_ages_out(core):
    core.configure(guarded(dict(RATE, min_calls=2)))
    run(core, [False])
    core.advance_clock(60_000)  # exactly one window old: no longer counted
    # Counting the old failure would make it 2 of 4.
    assert run(core, [True, True, False])[2]["breaker"] == "closed"
    core.advance_clock(59_999)  # all three still inside the window: 2 of 4
    assert run(core, [False])[0]["breaker"] == "open"


def test_targets_have_independent_breakers(core):
    core.configure({"defaults": {"outbound": {"breaker": {"failures": 1}}}})
    assert run(core, [False], "a")[0]["breaker"] == "open"
    assert run(core, [True], "b")[0]["breaker"] == "closed"
    assert run(core, [True], "a")[0]["error"] == rejection("a")


def test_removed_breaker_stops_checks_but_open_period_still_shows(opened):
    opened.configure({})
    during = run(opened, [True, False, False, False])
    # Admitted and not counted, yet the period recorded earlier is still reported.
    assert [o["effect_calls"] for o in during] == [[1]] * 4
    assert [o["breaker"] for o in during] == ["open"] * 4
    assert (entry(opened)["breaker_state"], entry(opened)["breaker_opens"]) == ("open", 1)
    opened.advance_clock(10_000)
    assert run(opened, [False])[0]["breaker"] == "closed"
    assert entry(opened)["breaker_opens"] == 1


def test_new_policy_keeps_an_open_breaker(opened):
    opened.configure(guarded({"failures": 1, "cooldown": "1s"}))
    # The running open period is the one recorded with the old cooldown.
    opened.advance_clock(1_000)
    assert run(opened, [True])[0]["error"]["code"] == "VORN-E012"


def test_cache_hit_leaves_the_breaker_alone(core):
    core.configure(guarded({"failures": 1}, cache={"ttl": "1h"}))
    stored = core.execute(request(args_hash="h"), Script(ok("cached")))
    run(core, [False])
    hit = core.execute(request(args_hash="h"), Script(ok("live")))
    assert (hit["result"], hit["from_cache"], hit["breaker"]) == ("ok", True, "open")
    assert stored["breaker"] == "closed"
    assert entry(core)["breaker_opens"] == 1
    assert run(core, [True])[0]["error"]["code"] == "VORN-E012"

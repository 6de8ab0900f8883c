"""Several Python threads on one handle, and calls back into a handle from inside an effect."""

import sys
import threading

import pytest

from conftest import Script, err, ok, request
from vorn_core import VornCore

# Generous: a healthy run takes milliseconds, a deadlock never ends.
WATCHDOG_S = 30


def run_threads(*bodies):
    """Runs each body on its own thread and fails (instead of hanging) on a deadlock."""
    errors = []

    def guard(body):
        try:
            body()
        except BaseException as e:  # noqa: BLE001 - reported by the caller
            errors.append(e)

    threads = [threading.Thread(target=guard, args=(b,), daemon=True) for b in bodies]
    for t in threads:
        t.start()
    for t in threads:
        t.join(WATCHDOG_S)
    stuck = [t for t in threads if t.is_alive()]
    assert not stuck, f"{len(stuck)} thread(s) deadlocked"
    if errors:
        raise errors[0]


def on_thread(fn):
    """Runs fn on a watched thread and returns its result."""
    box = []
    run_threads(lambda: box.append(fn()))
    return box[0]


@pytest.fixture(autouse=True)
def _frequent_switches():
    # Hand the interpreter lock around often so that threads really interleave.
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(saved)


POLICY = {
    "defaults": {
        "outbound": {
            "retry": {"attempts": 2, "schedule": "fixed(5ms)"},
            "breaker": {"failures": 4, "cooldown": "20ms"},
            "rate": "500/s",
            "cache": {"ttl": "3ms"},
        }
    }
}


def mixed_worker(handles, index, calls, outs):
    def body():
        for i in range(calls):
            handle = handles[i % len(handles)]
            target = f"t{(index + i) % 3}"
            results = [err("conn", "down"), ok(i)] if i % 3 else [err("http", http_status=500)]
            hashed = {"args_hash": str(i % 4)} if i % 5 == 0 else {}
            outs.append((handle, handle.execute(request(target=target, **hashed),
                                                Script(*results))))
    return body


def assert_metrics_add_up(handle, expected_calls, outs):
    targets = handle.report()["targets"]
    assert sum(e["calls"] for e in targets.values()) == expected_calls
    for entry in targets.values():
        assert entry["calls"] == entry["successes"] + entry["failures"]
        assert entry["cache_hits"] <= entry["successes"]
    mine = [o for h, o in outs if h is handle]
    trace_ids = sorted(o["trace_id"] for o in mine)
    assert trace_ids == [f"t-{n:06d}" for n in range(1, expected_calls + 1)]
    ok_calls = sum(o["result"] == "ok" for o in mine)
    assert ok_calls == sum(e["successes"] for e in targets.values())


@pytest.mark.parametrize("handle_count", [1, 2])
def test_threads_share_handles_without_losing_counts(handle_count):
    handles = [VornCore(paused=True) for _ in range(handle_count)]
    for h in handles:
        h.configure(POLICY)
    calls, outs = 150, []
    run_threads(*(mixed_worker(handles, k, calls, outs) for k in range(4)))
    assert len(outs) == 4 * calls
    for h in handles:
        assert_metrics_add_up(h, 4 * calls // handle_count, outs)


def test_readers_and_configure_run_alongside_calls(core):
    core.configure(POLICY)
    stop = threading.Event()
    snapshots = []

    def reader():
        alternate = {"defaults": {"outbound": {"retry": {"attempts": 3}, "rate": "1000/s"}}}
        n = 0
        while not stop.is_set():
            core.configure(alternate if n % 2 else POLICY)
            snapshots.append(core.report())
            assert core.resolve_target("GET", "t1") == "t1"
            assert core.layer("t1", "retry") in (POLICY["defaults"]["outbound"]["retry"],
                                                  alternate["defaults"]["outbound"]["retry"])
            n += 1

    outs = []
    workers = [mixed_worker([core], k, 100, outs) for k in range(3)]

    def all_workers():
        try:
            run_threads(*workers)
        finally:
            stop.set()

    run_threads(reader, all_workers)
    assert snapshots, "the reader never got a report"
    # Each report is one consistent snapshot, and counters only grow.
    previous = 0
    for snap in snapshots:
        total = sum(e["calls"] for e in snap["targets"].values())
        assert total >= previous
        previous = total
        for entry in snap["targets"].values():
            assert entry["calls"] >= entry["successes"] + entry["failures"]
    assert_metrics_add_up(core, 300, [(core, o) for _, o in outs])


def test_report_and_clock_inside_an_effect_answer_at_once(core):
    core.configure({"target": {"api": {"retry": {"attempts": 3, "schedule": "fixed(100ms)"}}}})
    seen = []

    def effect(attempt):
        seen.append(core.report())
        core.advance_clock(7)
        seen.append(core.report()["clock_ms"])
        return err("conn") if attempt < 3 else ok("done")

    out = on_thread(lambda: core.execute(request(), effect))
    assert (out["result"], out["waits_ms"]) == ("ok", [100, 100])
    # The reports read the runtime of the call in progress: in flight, nothing settled.
    first, _, last, _ = seen[0], seen[1], seen[4], seen[5]
    assert first["targets"]["api"] == {
        "attempts": 1, "breaker_opens": 0, "breaker_state": "closed", "cache_hits": 0,
        "calls": 1, "failures": 0, "retries": 0, "successes": 0, "throttled": 0}
    assert (last["clock_ms"], last["targets"]["api"]["attempts"]) == (214, 3)
    assert seen[1::2] == [7, 114, 221]
    assert core.report()["clock_ms"] == 221


def test_configure_inside_an_effect_applies_to_the_next_call(core):
    core.configure({"target": {"api": {"retry": {"attempts": 3, "schedule": "fixed(10ms)"}}}})

    def effect(attempt):
        core.configure({"target": {"api": {"retry": {"attempts": 1}}}})
        return err("conn", "down")

    out = on_thread(lambda: core.execute(request(), effect))
    # The running call keeps the policy it started with.
    assert (out["attempts"], out["waits_ms"]) == (3, [10, 10])
    assert core.layer("api", "retry") == {"attempts": 1}
    assert core.execute(request(), Script(err("conn")))["attempts"] == 1


def test_other_threads_read_and_configure_while_an_effect_runs(core):
    # The effect holds its call open until the other thread is done. The other thread's
    # calls must therefore not wait for that call: they never touch the runtime.
    inside, released = threading.Event(), threading.Event()
    answers = {}

    def effect(attempt):
        inside.set()
        assert released.wait(WATCHDOG_S)
        return ok("done")

    def other():
        assert inside.wait(WATCHDOG_S)
        core.configure({"target": {"api": {"timeout": "1s"}}})
        answers["layer"] = core.layer("api", "timeout")
        answers["target"] = core.resolve_target("GET", "api")
        answers["hosts"] = len(core.known_llm_hosts())
        answers["persistent"] = core.persistent
        released.set()

    run_threads(lambda: answers.setdefault("out", core.execute(request(), effect)), other)
    assert answers["out"]["result"] == "ok"
    assert (answers["layer"], answers["target"], answers["hosts"], answers["persistent"]) == (
        "1s", "api", 4, False)


@pytest.mark.parametrize("blocked", ["report", "advance_clock", "execute"])
def test_other_threads_wait_for_the_running_call(core, blocked):
    # report, advance_clock and execute on another thread queue behind the call in progress
    # (with the interpreter lock released, or the effect could never return) and are never
    # mistaken for nested calls.
    inside, started = threading.Event(), threading.Event()
    answers = {}

    def effect(attempt):
        inside.set()
        assert started.wait(WATCHDOG_S)
        return ok("first")

    def other():
        assert inside.wait(WATCHDOG_S)
        started.set()
        if blocked == "report":
            answers["other"] = core.report()["targets"]["api"]["successes"]
        elif blocked == "advance_clock":
            core.advance_clock(5)
            answers["other"] = core.report()["clock_ms"]
        else:
            answers["other"] = core.execute(request(), Script(ok(2)))["trace_id"]

    run_threads(lambda: answers.setdefault("out", core.execute(request(), effect)), other)
    assert answers["out"]["trace_id"] == "t-000001"
    assert answers["other"] == {"report": 1, "advance_clock": 5, "execute": "t-000002"}[blocked]

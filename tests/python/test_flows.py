"""Durable flows in one process: entry and the attempt cap, journaled steps and their
replay, nondeterminism, virtualized reads, the stored payload bytes and corrupt rows."""

import os
import sqlite3
import time

import pytest

import vorn_core
from vorn_core import VornCoreError

from conftest import Script, err, ok, request

EP = "py:shop.checkout:main"
TIME_KEY = "py:time.time#-"
RANDOM_KEY = "py:random.random#-"


@pytest.fixture
def journal():
    return os.path.join("state", "journal.db")


def handle(journal):
    return vorn_core.VornCore(paused=True, journal_path=journal)


def step(name):
    """An idempotent call whose step key is "shop#{name}"."""
    return request(target="shop", op=f"POST /{name}", args_hash=name)


def sql(journal, statement, *params):
    db = sqlite3.connect(journal)
    try:
        with db:
            return db.execute(statement, params).fetchall()
    finally:
        db.close()


def journal_rows(journal, flow_id):
    return sql(journal, "SELECT seq, step_key, kind, attempt, outcome, payload, error_class, "
               "started_at, ended_at FROM steps WHERE flow_id = ?1 ORDER BY seq", flow_id)


def flow_row(journal, flow_id):
    (row,) = sql(journal, "SELECT status, lease_holder, lease_expires, updated_at FROM flows "
                 "WHERE flow_id = ?1", flow_id)
    return row


def entries(core, flow_id):
    """The entry number recorded at seq 0."""
    first = core.steps_for_flow(flow_id)[0]
    assert (first["step_key"], first["kind"]) == ("flow:attempt", "marker")
    return first["attempt"]


def refusal(flow_id, seq, code, message):
    """The outcome a flow answers with when it refuses a step."""
    return {"v": 1, "result": "error",
            "error": {"code": code, "class": "other", "message": message},
            "attempts": 0, "from_cache": False, "waits_ms": [], "throttled": False,
            "throttle_wait_ms": 0, "breaker": "closed", "trace_id": f"flow-{flow_id}-s{seq}",
            "replayed": False}


def first_run(journal, names, args_hash="a1", **enter):
    """Runs one step per name live and leaves the flow uncompleted, as a crash would."""
    core = handle(journal)
    flow_id = core.enter_flow(EP, args_hash, **enter)["flow_id"]
    for name in names:
        assert core.execute(step(name), Script(ok({"from": name})))["replayed"] is False
    return flow_id


# --- entry ---------------------------------------------------------------------------


def test_new_flow_is_begun_leased_and_counted(journal):
    core = handle(journal)
    before = int(time.time() * 1000)
    info = core.enter_flow(EP, "h1")
    after = int(time.time() * 1000)
    assert info == {"flow_id": f"{EP}#h1#", "replay": False, "status": "running"}
    keyed = core.enter_flow(EP, "h1", explicit_key="run-2")
    assert keyed["flow_id"] == f"{EP}#h1#run-2"

    status, holder, expires, _ = flow_row(journal, info["flow_id"])
    assert (status, holder) == ("running", f"pid-{os.getpid()}")
    assert before + 30000 <= expires <= after + 30000
    (attempt,) = core.steps_for_flow(info["flow_id"])
    assert attempt["step_key"] == "flow:attempt"
    assert (attempt["kind"], attempt["status"], attempt["attempt"], attempt["payload"]) == (
        "marker", "ok", 1, None)
    assert attempt["started_at"] == attempt["ended_at"]


def test_live_steps_record_their_attempts_and_error_class(journal):
    core = handle(journal)
    core.configure({"target": {"shop": {"retry": {"attempts": 3, "schedule": "fixed(10ms)"}}}})
    flow_id = core.enter_flow(EP, "h1")["flow_id"]
    out = core.execute(step("a"), Script(err("conn"), ok({"n": 1})))
    assert (out["result"], out["attempts"], out["replayed"]) == ("ok", 2, False)
    assert out["trace_id"].startswith("t-")  # a live step keeps the engine's trace id
    out = core.execute(step("b"), Script(err("http", "gone", http_status=404)))
    assert (out["error"]["code"], out["attempts"]) == ("VORN-E015", 1)

    rows = journal_rows(journal, flow_id)
    assert [r[1:5] + (r[6],) for r in rows[1:]] == [
        ("shop#a", "effect", 2, "ok", None),
        ("shop#b", "effect", 1, "error", "http"),
    ]
    assert rows[2][5] is None  # a failed step stores no payload
    assert all(r[8] is not None and r[8] >= r[7] for r in rows)


def test_resume_replays_recorded_steps_without_calling_effects(journal):
    core = handle(journal)
    core.configure({"target": {"shop": {"retry": {"attempts": 3, "schedule": "fixed(10ms)"}}}})
    flow_id = core.enter_flow(EP, "h1")["flow_id"]
    core.execute(step("a"), Script(err("conn"), ok({"n": 1})))
    core.execute(step("b"), Script(err("http", "gone", http_status=404)))
    del core

    core = handle(journal)
    assert core.enter_flow(EP, "h1") == {"flow_id": flow_id, "replay": False, "status": "running"}
    assert entries(core, flow_id) == 2
    never = Script(ok("rerun"))
    assert core.execute(step("a"), never) == {
        "v": 1, "result": "ok", "payload": {"n": 1}, "attempts": 2, "from_cache": False,
        "waits_ms": [], "throttled": False, "throttle_wait_ms": 0, "breaker": "closed",
        "trace_id": f"flow-{flow_id}-s1", "replayed": True}
    assert core.execute(step("b"), never) == {
        "v": 1, "result": "error",
        "error": {"code": "VORN-E015", "class": "http", "message": "replayed failed step"},
        "attempts": 1, "from_cache": False, "waits_ms": [], "throttled": False,
        "throttle_wait_ms": 0, "breaker": "closed", "trace_id": f"flow-{flow_id}-s2",
        "replayed": True}
    assert never.calls == []
    fresh = Script(ok("new"))
    assert core.execute(step("c"), fresh)["replayed"] is False
    assert fresh.calls == [1]


@pytest.mark.parametrize("foreign_lease", [False, True], ids=["own-lease", "foreign-lease"])
def test_fourth_entry_marks_the_flow_dead(journal, foreign_lease):
    core = handle(journal)
    flow_id = f"{EP}#h1#"
    for n in (1, 2, 3):
        # Same holder: each entry replaces the previous handle and renews our own lease.
        assert core.enter_flow(EP, "h1")["status"] == "running"
        assert entries(core, flow_id) == n
    if foreign_lease:
        # The cap is checked before the lease: a live holder elsewhere does not save it.
        sql(journal, "UPDATE flows SET lease_holder = 'pid-1', lease_expires = ?1",
            int(time.time() * 1000) + 600_000)

    with pytest.raises(VornCoreError) as fourth:
        core.enter_flow(EP, "h1")
    assert (fourth.value.code, fourth.value.message) == (
        "VORN-E032", f"flow {flow_id} exceeded its 3 attempt cap; marked dead (VORN-E032)")
    with pytest.raises(VornCoreError) as fifth:
        handle(journal).enter_flow(EP, "h1")
    assert (fifth.value.code, fifth.value.message) == (
        "VORN-E032", f"flow {flow_id} is dead; refusing to resume (VORN-E032)")
    assert [f["status"] for f in core.flows_by_entrypoint(EP)] == ["dead"]
    assert entries(core, flow_id) == 3
    assert flow_row(journal, flow_id)[:3] == ("dead", None, None)


def test_failed_flow_reopens_and_counts_an_entry(journal):
    core = handle(journal)
    flow_id = core.enter_flow(EP, "h1")["flow_id"]
    core.execute(step("a"), Script(ok(1)))
    core.exit_flow("failed")
    assert flow_row(journal, flow_id)[:3] == ("failed", None, None)

    assert core.enter_flow(EP, "h1") == {"flow_id": flow_id, "replay": False, "status": "failed"}
    assert flow_row(journal, flow_id)[:2] == ("running", f"pid-{os.getpid()}")
    assert entries(core, flow_id) == 2
    assert core.execute(step("a"), Script(ok(2)))["replayed"] is True


def test_completed_flow_is_a_pure_replay_that_writes_nothing(journal):
    core = handle(journal)
    flow_id = core.enter_flow(EP, "h1")["flow_id"]
    core.execute(step("a"), Script(ok("A")))
    assert core.journal_time(TIME_KEY, 1000) == 1000
    assert core.journal_random(RANDOM_KEY, b"\x07\x08") == b"\x07\x08"
    core.exit_flow("completed")
    steps_before = journal_rows(journal, flow_id)
    flow_before = flow_row(journal, flow_id)
    assert flow_before[:3] == ("completed", None, None)

    never = Script(ok("rerun"))
    assert core.enter_flow(EP, "h1") == {"flow_id": flow_id, "replay": True, "status": "completed"}
    out = core.execute(step("a"), never)
    assert (out["payload"], out["replayed"], out["trace_id"]) == ("A", True, f"flow-{flow_id}-s1")
    assert core.journal_time(TIME_KEY, 2000) == 1000
    assert core.journal_random(RANDOM_KEY, b"\x01") == b"\x07\x08"
    assert core.execute(step("b"), never) == refusal(
        flow_id, 4, "VORN-E031",
        f"flow {flow_id} replay reached unrecorded step 4 (shop#b); the completed flow's code "
        "changed (VORN-E031)")
    with pytest.raises(VornCoreError) as late_read:
        core.journal_time(TIME_KEY, 3000)
    assert (late_read.value.code, late_read.value.message) == (
        "VORN-E031",
        f"flow {flow_id} replay reached unrecorded step 5 ({TIME_KEY}); the completed flow's code "
        "changed (VORN-E031)")
    assert never.calls == []
    core.exit_flow("failed")  # completed is final

    assert journal_rows(journal, flow_id) == steps_before
    assert flow_row(journal, flow_id) == flow_before


def test_zero_lease_refuses_every_live_step(journal):
    core = handle(journal)
    flow_id = core.enter_flow(EP, "h1", lease_ms=0)["flow_id"]
    effect = Script(ok(1))
    assert core.execute(step("a"), effect) == refusal(
        flow_id, 1, "VORN-E030",
        f"flow {flow_id} lost its lease before step 1; another holder may be resuming it "
        "(VORN-E030). Refusing to run the effect to avoid double execution.")
    assert effect.calls == []
    # A read after the lease is lost returns the live value but is not journaled: its row
    # could overwrite one written by the flow's new holder.
    assert core.journal_time(TIME_KEY, 1234) == 1234
    assert [s["step_key"] for s in core.steps_for_flow(flow_id)] == ["flow:attempt"]


def test_heartbeat_renews_the_lease_until_the_handle_is_dropped(journal):
    core = handle(journal)
    flow_id = core.enter_flow(EP, "h1", lease_ms=200)["flow_id"]
    first_expiry = flow_row(journal, flow_id)[2]
    time.sleep(0.5)  # well past the lease: only renewals keep it
    effect = Script(ok(1))
    assert core.execute(step("a"), effect)["result"] == "ok"
    assert effect.calls == [1]
    assert flow_row(journal, flow_id)[2] > first_expiry

    del core  # left uncompleted: the heartbeat stops, the flow stays running
    status, holder, expiry, _ = flow_row(journal, flow_id)
    time.sleep(0.3)
    assert flow_row(journal, flow_id)[:3] == (status, holder, expiry)
    assert status == "running"


def msgpack_str(text):
    data = text.encode()
    assert len(data) < 32
    return bytes([0xA0 | len(data)]) + data


def running_record(key):
    """The payload a running record stores for an idempotency key."""
    value = b"\x81" + msgpack_str("idempotency_key") + key
    return b"\x82" + msgpack_str("schema") + msgpack_str("vorn.step/v1") + msgpack_str(
        "payload") + value


# (payload of the crashed step's running record, flow status, key asked, expected answer)
PEEK_CASES = [
    (running_record(msgpack_str("key-1")), "running", "shop#a", "key-1"),
    (running_record(msgpack_str("key-1")), "running", "shop#b", None),
    (None, "running", "shop#a", None),
    (running_record(b"\x07"), "running", "shop#a", None),  # not a string
    (running_record(msgpack_str("key-1")), "completed", "shop#a", None),  # a pure replay
]


@pytest.mark.parametrize("payload, status, asked, expected", PEEK_CASES)
def test_recorded_idempotency_key_peeks_at_a_crashed_next_step(journal, payload, status, asked,
                                                               expected):
    flow_id = first_run(journal, "a")
    # The row a crash inside the step leaves behind.
    sql(journal, "UPDATE steps SET outcome = 'running', attempt = 0, ended_at = NULL, "
        "payload = ?1 WHERE seq = 1", payload)
    sql(journal, "UPDATE flows SET status = ?1, lease_holder = NULL, lease_expires = NULL",
        status)
    core = handle(journal)
    core.enter_flow(EP, "a1")
    assert core.recorded_idempotency_key(asked) == expected
    assert core.recorded_idempotency_key(asked) == expected  # a peek never advances
    if status == "running":
        out = core.execute(step("a"), Script(ok("again")), idempotency_key=expected)
        assert out["replayed"] is False
        assert core.recorded_idempotency_key("shop#a") is None


# --- nondeterminism --------------------------------------------------------------------

# (policy response, code hash of the first run, code hash of the resume, effective mode)
DIVERGENCE_CASES = [
    ("fail", None, None, "fail"),
    ("warn", None, None, "warn"),
    ("branch", None, None, "branch"),
    ("fail", "code-v1", "code-v2", "warn"),  # a changed deploy abandons replay instead
    ("fail", "code-v1", None, "fail"),       # an absent hash proves no change
    ("fail", "code-v1", "code-v1", "fail"),
]


@pytest.mark.parametrize("response, first_hash, resume_hash, mode", DIVERGENCE_CASES)
def test_divergent_resume(journal, response, first_hash, resume_hash, mode):
    flow_id = first_run(journal, "abc", code_hash=first_hash)
    old_rows = journal_rows(journal, flow_id)[1:]
    core = handle(journal)
    core.configure({"flows": {"on_nondeterminism": response}})
    core.enter_flow(EP, "a1", code_hash=resume_hash)

    assert core.execute(step("a"), Script(ok("again")))["replayed"] is True
    diverging = Script(ok("X"))
    out = core.execute(step("x"), diverging)
    later = Script(ok("C"))
    after = core.execute(step("c"), later)
    rows = journal_rows(journal, flow_id)
    keys = [(r[0], r[1]) for r in rows]

    if mode == "fail":
        assert out == refusal(
            flow_id, 2, "VORN-E031",
            f"flow {flow_id} diverged at step 2: expected shop#b, got shop#x (VORN-E031)")
        assert diverging.calls == []
        # Nothing was written and replay goes on: the next call is compared with seq 3.
        assert (after["replayed"], later.calls) == (True, [])
        assert rows[1:] == old_rows
        return

    assert (out["result"], out["payload"], out["replayed"]) == ("ok", "X", False)
    assert (after["replayed"], after["payload"], later.calls) == (False, "C", [1])
    base = 2 if mode == "warn" else 1_000_002
    expected_keys = [(0, "flow:attempt"), (1, "shop#a")]
    if mode == "branch":
        expected_keys += [(2, "shop#b"), (3, "shop#c")]  # the old run stays untouched
    expected_keys += [(base, f"flow:branch:{mode}"), (base + 1, "shop#x"), (base + 2, "shop#c")]
    assert keys == expected_keys
    if mode == "branch":
        assert rows[2:4] == old_rows[1:3]
    marker = next(s for s in core.steps_for_flow(flow_id) if s["kind"] == "marker"
                  and s["step_key"] != "flow:attempt")
    assert marker["payload"] == {"expected": "shop#b", "mode": mode, "observed": "shop#x"}
    assert list(marker["payload"]) == ["expected", "mode", "observed"]
    assert (marker["status"], marker["attempt"]) == ("ok", 0)
    if mode == "branch":
        # A fresh row; under warn the marker overwrites the old step's row, which keeps
        # that row's start time as every overwrite does.
        assert marker["started_at"] == marker["ended_at"]


# --- virtualized reads -----------------------------------------------------------------


def test_value_steps_return_the_recorded_reading_on_resume(journal):
    core = handle(journal)
    flow_id = core.enter_flow(EP, "h1")["flow_id"]
    assert core.journal_time(TIME_KEY, 1000) == 1000
    assert core.journal_random(RANDOM_KEY, b"\x01\x02\x03") == b"\x01\x02\x03"
    del core

    core = handle(journal)
    core.enter_flow(EP, "h1")
    assert core.journal_time(TIME_KEY, 2000) == 1000
    assert core.journal_random(RANDOM_KEY, bytes(range(16))) == b"\x01\x02\x03"
    assert core.journal_time(TIME_KEY, 3000) == 3000  # past the recording: live again
    steps = core.steps_for_flow(flow_id)
    assert [(s["step_key"], s["kind"], s["attempt"], s["status"]) for s in steps[1:]] == [
        (TIME_KEY, "time", 0, "ok"), (RANDOM_KEY, "random", 0, "ok"), (TIME_KEY, "time", 0, "ok")]
    assert [steps[1]["payload"], steps[3]["payload"]] == [1000, 3000]
    assert all(s["started_at"] == s["ended_at"] for s in steps[1:])


@pytest.mark.parametrize("recorded_first", ["read", "call"])
def test_reordered_resume_diverges_at_the_first_step(journal, recorded_first):
    core = handle(journal)
    flow_id = core.enter_flow(EP, "h1")["flow_id"]
    if recorded_first == "read":
        core.journal_time(TIME_KEY, 1000)
        core.execute(step("a"), Script(ok(1)))
    else:
        core.execute(step("a"), Script(ok(1)))
        core.journal_time(TIME_KEY, 1000)
    del core

    core = handle(journal)
    core.enter_flow(EP, "h1")
    before = journal_rows(journal, flow_id)[1:]
    if recorded_first == "read":
        # Refusals of effect steps are outcomes ...
        out = core.execute(step("a"), Script(ok(2)))
        assert out == refusal(
            flow_id, 1, "VORN-E031",
            f"flow {flow_id} diverged at step 1: expected {TIME_KEY}, got shop#a (VORN-E031)")
    else:
        # ... while those of value steps are raised.
        with pytest.raises(VornCoreError) as raised:
            core.journal_time(TIME_KEY, 2000)
        assert (raised.value.code, raised.value.message) == (
            "VORN-E031",
            f"flow {flow_id} diverged at step 1: expected shop#a, got {TIME_KEY} (VORN-E031)")
    assert journal_rows(journal, flow_id)[1:] == before


def test_divergent_read_under_warn_returns_live_value_and_marks(journal):
    core = handle(journal)
    flow_id = core.enter_flow(EP, "h1")["flow_id"]
    core.execute(step("a"), Script(ok(1)))
    del core

    core = handle(journal)
    core.configure({"flows": {"on_nondeterminism": "warn"}})
    core.enter_flow(EP, "h1")
    assert core.journal_random(RANDOM_KEY, b"\x09") == b"\x09"
    steps = core.steps_for_flow(flow_id)
    assert [(s["step_key"], s["kind"]) for s in steps] == [
        ("flow:attempt", "marker"), ("flow:branch:warn", "marker"), (RANDOM_KEY, "random")]
    assert steps[1]["payload"] == {"expected": "shop#a", "mode": "warn", "observed": RANDOM_KEY}
    assert journal_rows(journal, flow_id)[2][5] == b"\x09"


def test_step_payloads_are_enveloped_messagepack(journal):
    core = handle(journal)
    flow_id = core.enter_flow(EP, "h1")["flow_id"]
    core.execute(step("a"), Script(ok(5)))
    core.journal_time(TIME_KEY, 5)
    core.journal_random(RANDOM_KEY, b"\xc1\x00raw")
    core.execute(step("b"), Script(ok(None)))  # null is a payload too
    core.execute(step("c"), Script(err("conn")))
    envelope = b"\x82\xa6schema\xacvorn.step/v1\xa7payload"
    payloads = [r[5] for r in journal_rows(journal, flow_id)]
    assert payloads == [None, envelope + b"\x05", envelope + b"\x05", b"\xc1\x00raw",
                        envelope + b"\xc0", None]


# --- corrupt rows ------------------------------------------------------------------------

CONTRACT = "journal column `{}` holds a value outside the schema contract: \"{}\""

# (row damage, operation, message prefix, column, stored value)
CORRUPT_CASES = [
    ("UPDATE flows SET status = 'paused'", "flows_by_entrypoint", "flows_by_entrypoint: ",
     "flows.status", "paused"),
    ("UPDATE flows SET status = 'paused'", "enter_flow", "get_flow failed: ",
     "flows.status", "paused"),
    ("UPDATE steps SET kind = 'weird' WHERE seq = 1", "steps_for_flow", "steps_for_flow: ",
     "steps.kind", "weird"),
    ("UPDATE steps SET outcome = 'done' WHERE seq = 1", "steps_for_flow", "steps_for_flow: ",
     "steps.outcome", "done"),
    ("UPDATE steps SET error_class = 'Conn' WHERE seq = 1", "steps_for_flow", "steps_for_flow: ",
     "steps.error_class", "Conn"),
    ("UPDATE steps SET attempt = -1 WHERE seq = 1", "steps_for_flow", "steps_for_flow: ",
     "steps.attempt", "-1"),
    ("UPDATE steps SET attempt = -1 WHERE seq = 0", "enter_flow", "attempt lookup failed: ",
     "steps.attempt", "-1"),
]


@pytest.mark.parametrize("damage, operation, prefix, column, value", CORRUPT_CASES)
def test_corrupt_rows_fail_the_read(journal, damage, operation, prefix, column, value):
    core = handle(journal)
    flow_id = core.enter_flow(EP, "h1")["flow_id"]
    core.execute(step("a"), Script(ok(1)))
    db = sqlite3.connect(journal)
    db.execute("PRAGMA ignore_check_constraints = ON")
    with db:
        db.execute(damage)
    db.close()

    calls = {
        "flows_by_entrypoint": lambda: core.flows_by_entrypoint(EP),
        "steps_for_flow": lambda: core.steps_for_flow(flow_id),
        "enter_flow": lambda: core.enter_flow(EP, "h1"),
    }
    with pytest.raises(VornCoreError) as raised:
        calls[operation]()
    assert raised.value.code == "VORN-E040"
    assert raised.value.message == prefix + CONTRACT.format(column, value)

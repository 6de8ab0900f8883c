"""The flow members of the binding: attaching a journal, results and errors of the flow
operations and history reads, and calls made from inside a running effect."""

import os
import sqlite3
import threading

import pytest

import vorn_core
from vorn_core import VornCore, VornCoreError

from conftest import Script, ok, request

EP = "py:jobs.nightly:main"
TIME_KEY = "py:time.time#-"
NO_JOURNAL = ("Tier 2 durable flows require a native core with a journal; this core is "
              "in-memory. Pass a journal_path (the front end attaches one under .vorn/).")


@pytest.fixture
def journal():
    return os.path.join(".vorn", "journal.db")


@pytest.fixture
def core(journal):
    return VornCore(paused=True, journal_path=journal)


def step(name):
    return request(target="jobs", op=f"RUN {name}", args_hash=name)


def raised(call):
    with pytest.raises(VornCoreError) as info:
        call()
    return info.value.code, info.value.message


def bounded(fn, timeout=10):
    """Runs fn on its own thread and fails, instead of hanging, if it does not return."""
    result = {}

    def run():
        try:
            result["value"] = fn()
        except BaseException as e:  # handed to the test thread below
            result["error"] = e

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(timeout)
    assert not worker.is_alive(), "call did not return"
    if "error" in result:
        raise result["error"]
    return result["value"]


# --- journal attachment ------------------------------------------------------------------


@pytest.mark.parametrize("path", [os.path.join("a", "b", "c", "journal.db"), "journal.db"])
def test_journal_path_creates_missing_directories(path):
    core = VornCore(journal_path=path)
    assert core.persistent is True
    assert os.path.isfile(path)
    assert core.flows_by_entrypoint(EP) == []


@pytest.mark.parametrize("kwargs", [{}, {"journal_path": None}, {"journal_path": ""}])
def test_no_journal_path_leaves_the_handle_in_memory(kwargs):
    assert VornCore(**kwargs).persistent is False
    assert os.listdir(".") == []


def test_unusable_journal_paths_raise(tmp_path):
    (tmp_path / "plain").write_text("")
    parent = str(tmp_path / "plain" / "sub")
    code, message = raised(lambda: VornCore(journal_path=os.path.join(parent, "journal.db")))
    prefix = f"journal dir {parent}: "
    assert code == "VORN-E040"
    assert message.startswith(prefix) and message[len(prefix):]

    (tmp_path / "dir").mkdir()
    code, message = raised(lambda: VornCore(journal_path="dir"))
    assert code == "VORN-E040"
    assert message.startswith("journal open dir: journal storage error: ")


# --- without a journal, or without an open flow -----------------------------------------

IN_MEMORY_CASES = [
    ("enter_flow", lambda c: c.enter_flow(EP, "h"), NO_JOURNAL),
    ("steps_for_flow", lambda c: c.steps_for_flow(f"{EP}#h#"), NO_JOURNAL),
    ("flows_by_entrypoint", lambda c: c.flows_by_entrypoint(EP), NO_JOURNAL),
    ("journal_time", lambda c: c.journal_time(TIME_KEY, 1000), "journal_time called outside a flow"),
    ("journal_random", lambda c: c.journal_random("py:random#-", b"\x01"),
     "journal_random called outside a flow"),
    ("exit_flow upper case", lambda c: c.exit_flow("COMPLETED"),
     'exit_flow status must be "completed" or "failed", got "COMPLETED"'),
]


@pytest.mark.parametrize("call, message", [c[1:] for c in IN_MEMORY_CASES],
                         ids=[c[0] for c in IN_MEMORY_CASES])
def test_in_memory_handle_refuses_flow_operations(call, message):
    assert raised(lambda: call(VornCore())) == ("VORN-E040", message)


def test_in_memory_handle_treats_closing_and_peeking_as_no_ops():
    core = VornCore()
    assert core.exit_flow("completed") is None
    assert core.exit_flow("failed") is None
    assert core.recorded_idempotency_key("jobs#a") is None
    out = core.execute(step("a"), Script(ok(1)))
    assert "replayed" not in out


@pytest.mark.parametrize("status, shown", [
    ("COMPLETED", '"COMPLETED"'),
    ("done", '"done"'),
    ('say "hi"\\\n', '"say \\"hi\\"\\\\\\n"'),
    ("", '""'),
])
def test_exit_flow_status_is_checked_before_the_flow(core, status, shown):
    flow_id = core.enter_flow(EP, "h")["flow_id"]
    assert raised(lambda: core.exit_flow(status)) == (
        "VORN-E040", 'exit_flow status must be "completed" or "failed", got ' + shown)
    # The flow is still open and untouched.
    assert core.execute(step("a"), Script(ok(1)))["replayed"] is False
    core.exit_flow("completed")
    assert core.flows_by_entrypoint(EP)[0]["status"] == "completed"
    assert core.flows_by_entrypoint(EP)[0]["flow_id"] == flow_id


# --- results -----------------------------------------------------------------------------


def test_result_dicts_keep_their_key_order(core):
    info = core.enter_flow(EP, "h", code_hash="c1")
    assert list(info) == ["flow_id", "replay", "status"]
    out = core.execute(step("a"), Script(ok({"z": 1, "a": 2})))
    assert list(out)[-1] == "replayed"
    assert list(out)[:-1] == list(VornCore(paused=True).execute(step("a"), Script(ok(1))))
    (_, effect_step) = core.steps_for_flow(info["flow_id"])
    assert list(effect_step) == ["attempt", "ended_at", "kind", "payload", "started_at",
                                 "status", "step_key"]
    assert list(effect_step["payload"]) == ["a", "z"]
    (flow,) = core.flows_by_entrypoint(EP)
    assert list(flow) == ["args_hash", "code_hash", "created_at", "entrypoint", "flow_id",
                          "status", "updated_at"]
    assert (flow["args_hash"], flow["code_hash"], flow["entrypoint"], flow["status"]) == (
        "h", "c1", EP, "running")


def test_second_enter_replaces_the_first_without_completing_it(core):
    first = core.enter_flow(EP, "one")["flow_id"]
    second = core.enter_flow(EP, "two")["flow_id"]
    core.execute(step("a"), Script(ok(1)))
    core.exit_flow("completed")
    assert core.exit_flow("completed") is None  # the slot is empty now
    statuses = {f["flow_id"]: f["status"] for f in core.flows_by_entrypoint(EP)}
    assert statuses == {first: "running", second: "completed"}
    assert [s["step_key"] for s in core.steps_for_flow(first)] == ["flow:attempt"]
    assert [s["step_key"] for s in core.steps_for_flow(second)] == ["flow:attempt", "jobs#a"]


def test_history_reads_of_unknown_and_undecodable_data(core, journal):
    assert core.steps_for_flow("no-such-flow#x#") == []
    assert core.flows_by_entrypoint("py:nothing:here") == []
    flow_id = core.enter_flow(EP, "h")["flow_id"]
    core.execute(step("a"), Script(ok("fine")))
    core.execute(step("b"), Script(ok("garbled")))
    db = sqlite3.connect(journal)
    with db:
        db.execute("UPDATE steps SET payload = x'c1' WHERE seq = 2")
    db.close()
    steps = core.steps_for_flow(flow_id)
    assert [(s["step_key"], s["payload"]) for s in steps] == [
        ("flow:attempt", None), ("jobs#a", "fine"), ("jobs#b", None)]
    assert steps[2]["status"] == "ok"


def test_flows_by_entrypoint_lists_every_status_oldest_first(core, journal):
    for name in ("done", "broken", "open"):
        core.enter_flow(EP, name)
        if name != "open":
            core.exit_flow("completed" if name == "done" else "failed")
    for _ in range(4):  # the fourth entry exceeds the cap
        try:
            core.enter_flow(EP, "doomed")
        except VornCoreError as e:
            assert e.code == "VORN-E032"
    core.enter_flow("py:other:main", "x")
    # Creation times in an order that differs from the ids' order.
    db = sqlite3.connect(journal)
    with db:
        for created, name in enumerate(("open", "doomed", "broken", "done")):
            db.execute("UPDATE flows SET created_at = ?1 WHERE flow_id = ?2",
                       (1000 + created, f"{EP}#{name}#"))
    db.close()
    flows = core.flows_by_entrypoint(EP)
    assert [(f["args_hash"], f["status"], f["created_at"]) for f in flows] == [
        ("open", "running", 1000), ("doomed", "dead", 1001), ("broken", "failed", 1002),
        ("done", "completed", 1003)]


def test_journal_random_takes_only_bytes_like_data(core):
    core.enter_flow(EP, "h")
    with pytest.raises(TypeError):
        core.journal_random("py:random#-", "not bytes")
    assert core.journal_random("py:random#-", bytearray(b"\x01\x02")) == b"\x01\x02"
    assert core.journal_random("py:random#-", memoryview(b"\x03")) == b"\x03"


# --- calls from inside a running effect --------------------------------------------------


def test_calls_from_inside_an_effect_pass_through_or_refuse(core, journal):
    flow_id = core.enter_flow(EP, "h")["flow_id"]
    inner = Script(ok("inner"))
    seen = {}

    def effect(attempt):
        seen["time"] = core.journal_time(TIME_KEY, 1000)
        seen["random"] = core.journal_random("py:random#-", b"\x05\x06")
        seen["key"] = core.recorded_idempotency_key("jobs#a")
        seen["enter"] = raised(lambda: core.enter_flow(EP, "other"))
        seen["exit"] = raised(lambda: core.exit_flow("completed"))
        seen["nested"] = core.execute(step("nested"), inner, idempotency_key="k-1")
        seen["report"] = core.report()
        return ok("outer")

    out = bounded(lambda: core.execute(step("a"), effect))
    assert (out["result"], out["payload"], out["replayed"]) == ("ok", "outer", False)
    assert (seen["time"], seen["random"], seen["key"]) == (1000, b"\x05\x06", None)
    assert seen["enter"][0] == seen["exit"][0] == "VORN-E040"
    assert seen["enter"][1].startswith("enter_flow called from inside an effect")
    assert seen["exit"][1].startswith("exit_flow called from inside an effect")
    nested = seen["nested"]
    assert (nested["trace_id"], nested["attempts"], nested["payload"]) == ("t-nested", 1, "inner")
    assert "replayed" not in nested and inner.calls == [1]
    assert isinstance(seen["report"], dict)

    # Nothing from inside the effect was journaled, and the open flow is the same one.
    assert [s["step_key"] for s in core.steps_for_flow(flow_id)] == ["flow:attempt", "jobs#a"]
    assert core.execute(step("b"), Script(ok(2)))["replayed"] is False
    core.exit_flow("completed")
    assert [f["status"] for f in core.flows_by_entrypoint(EP)] == ["completed"]


def test_reads_inside_an_effect_are_not_substituted_on_resume(journal):
    core = VornCore(paused=True, journal_path=journal)
    flow_id = core.enter_flow(EP, "h")["flow_id"]
    reads = []

    def effect(attempt):
        reads.append(core.journal_time(TIME_KEY, 1000))
        return ok("a")

    bounded(lambda: core.execute(step("a"), effect))
    del core

    core = VornCore(paused=True, journal_path=journal)
    core.enter_flow(EP, "h")
    assert bounded(lambda: core.execute(step("a"), effect))["replayed"] is True
    # Had the inner read been journaled, seq 2 would now replay 1000.
    assert bounded(lambda: core.journal_time(TIME_KEY, 2000)) == 2000

    def live_effect(attempt):
        reads.append(core.journal_time(TIME_KEY, 3000))
        return ok("b")

    assert bounded(lambda: core.execute(step("b"), live_effect))["replayed"] is False
    assert reads == [1000, 3000]
    assert [s["step_key"] for s in core.steps_for_flow(flow_id)] == [
        "flow:attempt", "jobs#a", TIME_KEY, "jobs#b"]

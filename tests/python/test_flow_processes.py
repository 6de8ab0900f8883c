"""Durable flows across real processes: a worker killed mid-step and resumed, a race of
workers for one lease, and a stopped holder whose lease is taken over."""

import json
import os
import signal
import sqlite3
import subprocess
import sys
import textwrap
import time

import pytest

import vorn_core
from vorn_core import VornCoreError

from conftest import Script, ok

EP = "py:shop.checkout:main"
JOURNAL = "journal.db"
WAIT_S = 20

# Shared by every child: the module comes from the parent's PYTHONPATH.
CHILD_PRELUDE = """
import json, os, signal, sys, time
import vorn_core
from vorn_core import VornCoreError

EP = %r

def step(name):
    return {"v": 1, "target": "shop", "op": "POST /" + name, "idempotent": True,
            "args_hash": name}

def wait_for(path, timeout=%r):
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            sys.exit("gave up waiting for " + path)
        time.sleep(0.01)

def touch(path):
    open(path, "w").close()
""" % (EP, WAIT_S)


@pytest.fixture
def spawn(tmp_path):
    """Starts `body` as a child python process in the test's directory; kills leftovers."""
    children = []

    def start(body, *args):
        script = tmp_path / f"child_{len(children)}.py"
        script.write_text(CHILD_PRELUDE + textwrap.dedent(body))
        child = subprocess.Popen([sys.executable, str(script), *map(str, args)],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                 env=dict(os.environ))
        children.append(child)
        return child

    yield start
    for child in children:
        if child.poll() is None:
            child.send_signal(signal.SIGCONT)
            child.kill()
            child.wait(timeout=WAIT_S)


def finish(child):
    out, errs = child.communicate(timeout=WAIT_S)
    return child.returncode, out, errs


def wait_for(path):
    deadline = time.monotonic() + WAIT_S
    while not os.path.exists(path):
        assert time.monotonic() < deadline, f"child never wrote {path}"
        time.sleep(0.01)


def wait_until_stopped(pid):
    """SIGSTOP is delivered asynchronously: wait until the kernel reports the process stopped,
    so no renewal of its lease can land after we read the lease."""
    deadline = time.monotonic() + WAIT_S
    while True:
        with open(f"/proc/{pid}/stat") as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        if state in ("T", "t"):
            return
        assert time.monotonic() < deadline, f"process {pid} did not stop (state {state})"
        time.sleep(0.005)


def wait_until_lease_lapses(flow_id):
    """Waits, boundedly, until the flow's recorded lease lies in the past."""
    db = sqlite3.connect(JOURNAL)
    try:
        (expires,) = db.execute("SELECT lease_expires FROM flows WHERE flow_id = ?1",
                                (flow_id,)).fetchone()
    finally:
        db.close()
    assert expires is not None
    delay = (expires + 20) / 1000 - time.time()
    assert delay < WAIT_S
    time.sleep(max(delay, 0))


def step(name):
    return {"v": 1, "target": "shop", "op": f"POST /{name}", "idempotent": True,
            "args_hash": name}


def test_crashed_step_reruns_with_its_recorded_idempotency_key(spawn):
    child = spawn("""
        core = vorn_core.VornCore(journal_path=sys.argv[1])
        core.enter_flow(EP, "order-1", lease_ms=300)
        for name in ("reserve", "quote"):
            core.execute(step(name), lambda attempt, n=name: {
                "status": "ok", "payload": {"step": n, "pid": os.getpid()}})

        def charge(attempt):
            os.kill(os.getpid(), signal.SIGKILL)  # dies after the running record

        core.execute(step("charge"), charge, idempotency_key="charge-key-7")
    """, JOURNAL)
    code, _, errs = finish(child)
    assert code == -signal.SIGKILL, errs
    flow_id = f"{EP}#order-1#"

    core = vorn_core.VornCore(journal_path=JOURNAL)
    crashed = core.steps_for_flow(flow_id)[3]
    assert (crashed["step_key"], crashed["kind"], crashed["status"], crashed["attempt"]) == (
        "shop#charge", "effect", "running", 0)
    assert (crashed["payload"], crashed["ended_at"]) == ({"idempotency_key": "charge-key-7"}, None)

    wait_until_lease_lapses(flow_id)
    assert core.enter_flow(EP, "order-1", lease_ms=300) == {
        "flow_id": flow_id, "replay": False, "status": "running"}
    never = Script(ok("rerun"))
    for seq, name in enumerate(("reserve", "quote"), start=1):
        out = core.execute(step(name), never)
        assert (out["replayed"], out["trace_id"]) == (True, f"flow-{flow_id}-s{seq}")
        assert out["payload"] == {"step": name, "pid": child.pid}
    assert never.calls == []

    assert core.recorded_idempotency_key("shop#refund") is None
    assert core.recorded_idempotency_key("shop#charge") == "charge-key-7"
    key = core.recorded_idempotency_key("shop#charge")  # a peek: still the same step
    charge = Script(ok({"charged": True}))
    out = core.execute(step("charge"), charge, idempotency_key=key)
    assert (out["result"], out["replayed"], charge.calls) == ("ok", False, [1])
    done = core.steps_for_flow(flow_id)[3]
    assert (done["status"], done["attempt"], done["payload"]) == ("ok", 1, {"charged": True})
    assert done["started_at"] == crashed["started_at"]  # kept from the crashed run
    assert core.steps_for_flow(flow_id)[0]["attempt"] == 2

    # Resumed once more, the charge is terminal: no key is due, it replays.
    core.enter_flow(EP, "order-1", lease_ms=300)
    for name in ("reserve", "quote"):
        core.execute(step(name), never)
    assert core.recorded_idempotency_key("shop#charge") is None
    assert core.execute(step("charge"), never)["replayed"] is True
    assert never.calls == []
    core.exit_flow("completed")


def test_one_of_several_racing_workers_gets_the_lease(spawn):
    vorn_core.VornCore(journal_path=JOURNAL)  # the schema exists before the race starts
    workers = [spawn("""
        core = vorn_core.VornCore(journal_path=sys.argv[1])
        touch("ready-" + sys.argv[2])
        wait_for("go")
        try:
            result = {"info": core.enter_flow(EP, "batch-9")}
        except VornCoreError as e:
            result = {"code": e.code, "message": e.message}
        print(json.dumps(result), flush=True)
    """, JOURNAL, n) for n in range(5)]
    for n in range(5):
        wait_for(f"ready-{n}")
    open("go", "w").close()

    results = {}
    for worker in workers:
        code, out, errs = finish(worker)
        assert code == 0, errs
        results[worker.pid] = json.loads(out)
    flow_id = f"{EP}#batch-9#"
    winners = [pid for pid, r in results.items() if "info" in r]
    assert len(winners) == 1, results
    assert results[winners[0]]["info"] == {"flow_id": flow_id, "replay": False,
                                           "status": "running"}
    refused = {"code": "VORN-E030",
               "message": f"flow {flow_id} is leased by another holder; not resuming (VORN-E030)"}
    assert [r for pid, r in results.items() if pid not in winners] == [refused] * 4

    core = vorn_core.VornCore(journal_path=JOURNAL)
    assert core.steps_for_flow(flow_id)[0]["attempt"] == 1  # losers never count an entry
    db = sqlite3.connect(JOURNAL)
    (holder,) = db.execute("SELECT lease_holder FROM flows").fetchone()
    db.close()
    assert holder == f"pid-{winners[0]}"
    with pytest.raises(VornCoreError) as raised:  # the winner's lease outlives it
        core.enter_flow(EP, "batch-9")
    assert (raised.value.code, raised.value.message) == (refused["code"], refused["message"])


def test_stopped_holder_loses_its_lease_to_a_new_holder(spawn):
    holder = spawn("""
        core = vorn_core.VornCore(journal_path=sys.argv[1])
        core.enter_flow(EP, "sync-3", lease_ms=400)
        core.execute(step("fetch"), lambda attempt: {"status": "ok", "payload": "fetched"})
        touch("entered")
        wait_for("go")
        calls = []
        out = core.execute(step("store"),
                           lambda attempt: calls.append(attempt) or {"status": "ok",
                                                                     "payload": "stored"})
        print(json.dumps({"outcome": out, "calls": calls}), flush=True)
    """, JOURNAL)
    wait_for("entered")
    flow_id = f"{EP}#sync-3#"
    holder.send_signal(signal.SIGSTOP)
    try:
        wait_until_stopped(holder.pid)
        wait_until_lease_lapses(flow_id)
        core = vorn_core.VornCore(journal_path=JOURNAL)
        assert core.enter_flow(EP, "sync-3")["status"] == "running"
        assert core.execute(step("fetch"), Script(ok("again")))["replayed"] is True
        open("go", "w").close()
    finally:
        holder.send_signal(signal.SIGCONT)
    code, out, errs = finish(holder)
    assert code == 0, errs

    report = json.loads(out)
    assert report["calls"] == []
    assert report["outcome"] == {
        "v": 1, "result": "error",
        "error": {"code": "VORN-E030", "class": "other",
                  "message": f"flow {flow_id} lost its lease before step 2; another holder may "
                             "be resuming it (VORN-E030). Refusing to run the effect to avoid "
                             "double execution."},
        "attempts": 0, "from_cache": False, "waits_ms": [], "throttled": False,
        "throttle_wait_ms": 0, "breaker": "closed", "trace_id": f"flow-{flow_id}-s2",
        "replayed": False}
    # The old holder wrote nothing; the new one runs the step itself.
    assert [s["step_key"] for s in core.steps_for_flow(flow_id)] == ["flow:attempt", "shop#fetch"]
    store = Script(ok("stored"))
    assert core.execute(step("store"), store)["replayed"] is False
    assert store.calls == [1]
    core.exit_flow("completed")
    assert [f["status"] for f in core.flows_by_entrypoint(EP)] == ["completed"]


SLOW_HANDLER = """
import logging, threading, time

exiting = threading.Event()
inside = threading.Event()


class SlowAtExit(logging.Handler):
    def createLock(self):
        self.lock = None  # logging's own shutdown must not wait for this handler

    def emit(self, record):
        if exiting.is_set():
            inside.set()
            time.sleep(0.3)  # with the interpreter lock released


def catch_a_record_in_flight():
    exiting.set()
    print("caught" if inside.wait(10) else "missed", flush=True)
"""


def test_worker_exits_cleanly_while_its_heartbeat_is_logging(spawn, tmp_path):
    # The heartbeat of a flow leased away keeps logging warnings. Once exit has begun, the
    # handler sleeps inside a record; the handle is then dropped during finalization while
    # that record is still being written. The handler lives in its own module, so its
    # frame does not keep __main__ (and the handle in it) alive through shutdown.
    (tmp_path / "slow_handler.py").write_text(SLOW_HANDLER)
    child = spawn("""
        import atexit, logging, sqlite3
        import slow_handler

        logging.getLogger("vornex_core.flow").addHandler(slow_handler.SlowAtExit())
        core = vorn_core.VornCore(journal_path=sys.argv[1])
        core.enter_flow(EP, "late-1", lease_ms=2)
        db = sqlite3.connect(sys.argv[1])
        with db:
            db.execute("UPDATE flows SET lease_holder = 'pid-1', lease_expires = ?1",
                       (int(time.time() * 1000) + 600_000,))
        db.close()
        atexit.register(slow_handler.catch_a_record_in_flight)
    """, JOURNAL)
    code, out, errs = finish(child)
    assert (code, out) == (0, "caught\n"), errs

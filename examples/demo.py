"""A tour of vorn_core on the embedded default: retries, a breaker, the report, and a
durable flow that is interrupted by a crash and resumed from its journal.

Run from the repository root with the module on PYTHONPATH (./scripts/demo does that).
"""

import json
import os
import signal
import subprocess
import sys
import time

import vorn_core

JOURNAL = os.path.join(".vorn", "journal.db")
POLICY = {
    "target": {
        "api.shop.test": {
            "retry": {"attempts": 4, "schedule": "exp(100ms, x2, max 1s, jitter)"},
        },
        "payments.test": {
            "breaker": {"failures": 3, "cooldown": "30s"},
        },
    }
}


def show(title, value):
    print(f"\n== {title}")
    print(json.dumps(value, indent=2) if not isinstance(value, str) else value)


def resilience_tour():
    # A paused handle runs on a virtual clock: the backoff waits below take no real time.
    core = vorn_core.VornCore(paused=True)
    core.configure(POLICY)

    target = core.resolve_target("GET", "api.shop.test", "https")
    flaky_calls = []

    def flaky(attempt):
        flaky_calls.append(attempt)
        if attempt < 3:
            return {"status": "error", "class": "http", "http_status": 503, "message": "busy"}
        return {"status": "ok", "payload": {"orders": [1, 2, 3]}}

    outcome = core.execute({"v": 1, "target": target, "op": "GET /orders", "idempotent": True}, flaky)
    show(f"a flaky call, retried (effect called {len(flaky_calls)} times)", outcome)

    def down(attempt):
        return {"status": "error", "class": "conn", "message": "connection refused"}

    payments = {"v": 1, "target": "payments.test", "op": "POST /charge"}
    for _ in range(4):
        outcome = core.execute(payments, down)
    show("the fourth call to a failing service: the breaker is open", outcome)

    core.advance_clock(1500)
    show("the report", core.report())


def crashing_child(flow_key):
    """Runs the flow's first steps, then dies inside the third call like a killed worker."""
    core = vorn_core.VornCore(journal_path=JOURNAL)
    core.enter_flow("py:demo.checkout:main", "args-1", explicit_key=flow_key, lease_ms=300)
    for step in ("reserve", "quote"):
        core.execute(step_request(step), lambda attempt, s=step: ok({"step": s, "pid": os.getpid()}))
    started = core.journal_time("py:time.time#-", int(time.time() * 1000))

    def charge(attempt):
        os.kill(os.getpid(), signal.SIGKILL)  # crash in the middle of the charge

    core.execute(step_request("charge"), charge, idempotency_key=f"charge-{started}")


def step_request(name):
    return {"v": 1, "target": "shop.test", "op": f"POST /{name}", "idempotent": True,
            "args_hash": name}


def ok(payload):
    return {"status": "ok", "payload": payload}


def durable_flow_tour():
    flow_key = str(time.time_ns())
    child = subprocess.run([sys.executable, __file__, "--crash", flow_key])
    show("a worker ran the flow and was killed inside its third step", f"exit status {child.returncode}")
    time.sleep(0.4)  # let the dead worker's lease expire

    core = vorn_core.VornCore(journal_path=JOURNAL)
    info = core.enter_flow("py:demo.checkout:main", "args-1", explicit_key=flow_key, lease_ms=300)
    show("resuming the flow", info)
    for step in ("reserve", "quote"):
        out = core.execute(step_request(step), lambda attempt: ok({"step": "rerun!"}))
        print(f"  {step}: replayed={out['replayed']} payload={out['payload']}")
    started = core.journal_time("py:time.time#-", int(time.time() * 1000))
    key = core.recorded_idempotency_key("shop.test#charge")
    print(f"  journal_time returned the recorded reading {started}")
    print(f"  the crashed charge used idempotency key {key!r}; re-sending it with that key")
    out = core.execute(step_request("charge"), lambda attempt: ok({"charged": True}),
                       idempotency_key=key)
    print(f"  charge: replayed={out['replayed']} payload={out['payload']}")
    core.exit_flow("completed")
    flow_id = info["flow_id"]
    show("the journal of the flow", [
        {k: step[k] for k in ("step_key", "kind", "status", "attempt")}
        for step in core.steps_for_flow(flow_id)
    ])


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--crash":
        crashing_child(sys.argv[2])
    else:
        os.makedirs(".vorn", exist_ok=True)
        resilience_tour()
        durable_flow_tour()

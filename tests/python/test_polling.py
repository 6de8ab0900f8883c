"""Response polling: repeating a read every interval until a field turns terminal."""

import base64
import json
import logging

import pytest

from conftest import Script, err, ok, request

JOB = {"target": "jobs", "op": "GET /jobs/1"}
RUNNING = ok({"state": "running"})
DONE = ok({"state": "done"})


def poll_policy(deadline="2500ms", retry=None):
    block = {"poll": {"interval": "1s", "deadline": deadline,
                      "until": {"field": "state", "terminal": ["done", "failed"]}}}
    if retry:
        block["retry"] = retry
    return {"target": {"jobs": block}}


class Service(Script):
    """A scripted effect that also notes the handle's clock at every attempt."""

    def __init__(self, core, *results):
        super().__init__(*results)
        self.core = core
        self.at_ms = []

    def __call__(self, attempt):
        self.at_ms.append(self.core.report()["clock_ms"])
        return super().__call__(attempt)


def body(obj):
    return base64.b64encode(json.dumps(obj).encode()).decode()


@pytest.mark.parametrize(
    "deadline, ms, cycles_at",
    [
        ("2500ms", 2500, [0, 1000, 2000]),
        ("3000ms", 3000, [0, 1000, 2000, 3000]),
        ("999ms", 999, [0]),
        ("0ms", 0, [0]),
    ],
)
def test_service_that_never_finishes_hits_the_deadline(core, deadline, ms, cycles_at):
    core.configure(poll_policy(deadline))
    service = Service(core, RUNNING)
    out = core.execute(request(**JOB), service)

    assert service.at_ms == cycles_at
    assert out["result"] == "error" and "payload" not in out
    assert out["error"] == {
        "code": "VORN-E016", "class": "other",
        "message": f"GET /jobs/1 poll deadline exceeded: 'state' not terminal after {ms}ms"}
    assert (out["attempts"], out["waits_ms"]) == (len(cycles_at), [])
    report = core.report()
    # The deadline is judged before sleeping: no interval is slept after the last cycle.
    assert report["clock_ms"] == cycles_at[-1]
    assert {k: report["targets"]["jobs"][k] for k in ("calls", "attempts", "failures")} == {
        "calls": 1, "attempts": len(cycles_at), "failures": 1}


BAD_B64 = body({"state": "running"}).rstrip("=")

# (answers of successive cycles, the last one repeated; cycles run; whether the answer
# was judged at all)
VERDICTS = {
    "terminal done": ([RUNNING, RUNNING, DONE], 3, True),
    "terminal failed": ([ok({"state": "failed", "why": 1})], 1, True),
    "non-string values poll again": (
        [ok({"state": 1}), ok({"state": None}), ok({"state": {"x": "done"}}),
         ok({"state": "DONE"}), ok({"state": ["done"]}), DONE], 6, True),
    "field absent": ([ok({"status": "done"})], 1, False),
    "field is one key": ([ok({"state.x": "running", "x": {"state": "running"}})], 1, False),
    "body terminal": ([ok({"status": 200, "headers": {}, "body_b64": body({"state": "done"})})],
                      1, True),
    "body polls": ([ok({"status": 200, "headers": {}, "body_b64": body({"state": "running"})}),
                    ok({"status": 200, "headers": {}, "body_b64": body({"state": "done"})})],
                   2, True),
    "body wins over payload": ([ok({"state": "done", "body_b64": body({"state": "running"})}),
                                DONE], 2, True),
    "body without padding": ([ok({"state": "running", "body_b64": BAD_B64})], 1, False),
    "body not base64": ([ok({"state": "running", "body_b64": "!!!!"})], 1, False),
    "body url-safe alphabet": ([ok({"body_b64": body({"state": "???"}).replace("/", "_")}),
                                DONE], 1, False),
    "body not a string": ([ok({"state": "running", "body_b64": None})], 1, False),
    "body not json": ([ok({"state": "running", "body_b64": "bm90IGpzb24="})], 1, False),
    "body not an object": ([ok({"body_b64": body(["done"])})], 1, False),
    "envelope without body": ([ok({"status": 200, "headers": {}, "state": "running"})],
                              1, False),
    "status alone is no envelope": ([ok({"status": 200, "state": "running"}), DONE], 2, True),
    "list": ([ok(["running"])], 1, False),
    "string": ([ok("running")], 1, False),
    "null": ([ok(None)], 1, False),
}


@pytest.mark.parametrize("name", list(VERDICTS))
def test_verdicts(core, caplog, name):
    answers, cycles, judged = VERDICTS[name]
    with caplog.at_level(logging.DEBUG, logger="vornex_core.engine"):
        core.configure(poll_policy("1h"))
        service = Service(core, *answers)
        out = core.execute(request(**JOB), service)

    assert out["result"] == "ok"
    assert out["payload"] == answers[cycles - 1]["payload"]
    assert service.at_ms == [1000 * i for i in range(cycles)]
    assert out["attempts"] == cycles
    fail_open = [r for r in caplog.records
                 if r.getMessage() == "poll fail-open: response not judgeable; returned as-is"]
    if judged:
        assert fail_open == []
    else:
        assert len(fail_open) == 1
        assert fail_open[0].levelno == logging.DEBUG
        assert fail_open[0].name == "vornex_core.engine"
        assert fail_open[0].vorn_fields == {"target": "jobs", "field": "state"}


@pytest.mark.parametrize(
    "overrides, polled",
    [
        ({}, True),
        ({"op": "HEAD /jobs/1"}, True),
        ({"op": "POST /jobs"}, False),
        ({"op": "get /jobs/1"}, False),
        ({"op": "GET"}, False),
        ({"op": "GET\t/jobs/1"}, False),
        ({"op": " GET /jobs/1"}, False),
        ({"op": "HEADER /jobs/1"}, False),
        ({"idempotent": False}, False),
    ],
)
def test_only_repeatable_reads_are_polled(core, overrides, polled):
    core.configure(poll_policy())
    service = Service(core, RUNNING)
    out = core.execute(request(**dict(JOB, **overrides)), service)
    if polled:
        assert (out["error"]["code"], out["attempts"]) == ("VORN-E016", 3)
    else:
        assert (out["result"], out["payload"], out["attempts"]) == ("ok", {"state": "running"}, 1)
        assert service.at_ms == [0]


def test_request_without_idempotent_key_is_not_polled(core):
    core.configure(poll_policy())
    req = request(**JOB)
    del req["idempotent"]
    out = core.execute(req, Service(core, RUNNING))
    assert (out["result"], out["attempts"]) == ("ok", 1)


RETRY = {"attempts": 3, "schedule": "fixed(100ms)"}


def test_attempts_and_waits_accumulate_over_cycles(core):
    core.configure(poll_policy(retry=RETRY))
    service = Service(core, err("conn"), RUNNING, err("conn"), RUNNING, DONE)
    out = core.execute(request(**JOB), service)

    assert (out["result"], out["payload"]) == ("ok", {"state": "done"})
    assert service.calls == [1, 2, 1, 2, 1]
    # The deadline counts from the first cycle's start, retries included: the third cycle
    # starts at 2200, within 2500.
    assert service.at_ms == [0, 100, 1100, 1200, 2200]
    assert (out["attempts"], out["waits_ms"]) == (5, [100, 100])
    jobs = core.report()["targets"]["jobs"]
    assert {k: jobs[k] for k in ("calls", "attempts", "retries", "successes", "failures")} == {
        "calls": 1, "attempts": 5, "retries": 2, "successes": 1, "failures": 0}


@pytest.mark.parametrize(
    "answers, code, message, attempts, waits",
    [
        ([RUNNING, err("http", "gone", http_status=404)], "VORN-E015",
         "GET /jobs/1 failed (http 404); error class is not retryable per policy. gone", 2, []),
        ([RUNNING, err("conn", "refused")], "VORN-E010",
         "GET /jobs/1 failed 3/3 attempts (last: conn). refused", 4, [100, 100]),
    ],
)
def test_failing_cycle_ends_polling_with_its_error(core, answers, code, message, attempts,
                                                   waits):
    core.configure(poll_policy("1h", retry=RETRY))
    service = Service(core, *answers)
    out = core.execute(request(**JOB), service)
    assert (out["error"]["code"], out["error"]["message"]) == (code, message)
    assert (out["attempts"], out["waits_ms"]) == (attempts, waits)
    assert len(service.calls) == attempts

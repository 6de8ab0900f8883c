"""Core log records arrive through Python's logging, filtered by the logger's level."""

import logging
import subprocess
import sys
import textwrap

import pytest

from conftest import Script, err, ok, request
from vorn_core import VornCore

ENGINE = "vornex_core.engine"
INERT = (
    "policy target.\"api\".breaker sets `failures` (count mode) alongside rate-mode knobs "
    "(window/failure_rate/min_calls), which are inert in count mode. Remove `failures` to "
    "select rate mode."
)
MIXED = {"target": {"api": {"breaker": {"failures": 1, "cooldown": "1s", "min_calls": 3}}}}


def engine_records(caplog):
    return [r for r in caplog.records if r.name == ENGINE]


def cycle_breaker(core):
    """Opens the breaker, lets it cool down and closes it with a successful probe."""
    core.execute(request(), Script(err("conn")))
    core.advance_clock(1000)
    core.execute(request(), Script(ok(1)))


def test_warning_reaches_the_engine_logger(caplog):
    caplog.set_level(logging.WARNING, logger=ENGINE)
    VornCore(paused=True).configure(MIXED)
    [record] = engine_records(caplog)
    assert (record.levelno, record.getMessage()) == (logging.WARNING, INERT)
    assert record.vorn_fields == {}


def test_debug_records_are_not_emitted_at_warning(caplog):
    caplog.set_level(logging.WARNING, logger=ENGINE)
    core = VornCore(paused=True)
    core.configure(MIXED)
    caplog.clear()
    cycle_breaker(core)
    assert engine_records(caplog) == []


def test_debug_records_carry_their_fields(caplog):
    caplog.set_level(logging.DEBUG, logger=ENGINE)
    core = VornCore(paused=True)
    core.configure({"target": {"api": {"breaker": {"failures": 1, "cooldown": "1s"}}}})
    cycle_breaker(core)
    transitions = [
        r.vorn_fields
        for r in engine_records(caplog)
        if r.getMessage() == "breaker transition"
    ]
    assert all(r.levelno == logging.DEBUG for r in engine_records(caplog)
               if r.getMessage() == "breaker transition")
    assert transitions == [
        {"target": "api", "transition": "opened"},
        {"target": "api", "transition": "half_open"},
        {"target": "api", "transition": "closed"},
    ]


@pytest.mark.parametrize("level", [logging.WARNING, logging.DEBUG])
def test_a_failing_logging_setup_never_disturbs_the_core(caplog, level):
    def explode(record):
        raise RuntimeError("broken filter")

    logger = logging.getLogger(ENGINE)
    caplog.set_level(level, logger=ENGINE)
    logger.addFilter(explode)
    try:
        core = VornCore(paused=True)
        assert core.configure(MIXED) is None
        core.execute(request(), Script(err("conn")))
        core.advance_clock(1000)
        assert core.execute(request(), Script(ok("still fine")))["payload"] == "still fine"
    finally:
        logger.removeFilter(explode)


# Run in a child process: a handler that deadlocks does so holding the interpreter lock,
# which no watchdog thread in this process could get past.
REENTRANT_HANDLER = textwrap.dedent(
    """
    import logging
    from vorn_core import VornCore

    seen = []

    class AskForTheReport(logging.Handler):
        def emit(self, record):
            targets = core.report()["targets"]
            core.advance_clock(0)
            seen.append((record.getMessage(), targets.get("api", {}).get("cache_hits")))

    logger = logging.getLogger("vornex_core.engine")
    logger.setLevel(logging.DEBUG)
    logger.addHandler(AskForTheReport())
    core = VornCore(paused=True)
    core.configure({"target": {"api": {"cache": {"ttl": "1m"}, "breaker": {"failures": 1}}}})
    ok = {"status": "ok", "payload": 1}
    core.execute({"v": 1, "target": "api", "op": "GET /x", "args_hash": "h"}, lambda n: ok)
    core.execute({"v": 1, "target": "api", "op": "GET /x", "args_hash": "h"}, lambda n: ok)
    core.execute({"v": 1, "target": "api", "op": "GET /x"},
                 lambda n: {"status": "error", "class": "conn"})
    named = ("cache hit", "breaker transition")
    print([(m, hits) for m, hits in seen if m in named])
    """
)


def run_child(script):
    try:
        done = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, timeout=30
        )
    except subprocess.TimeoutExpired:
        pytest.fail("a logging handler calling back into the handle deadlocked")
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def test_handlers_may_call_back_into_the_handle():
    # The report asked for inside the "cache hit" record already counts that hit.
    assert run_child(REENTRANT_HANDLER) == "[('cache hit', 1), ('breaker transition', 1)]"


# A handler that ships records over HTTP makes an intercepted call itself. This one runs
# in a worker thread so that the child can tell a deadlock (the thread waits without the
# interpreter lock) from a slow start and exit at once.
CALLING_HANDLER = textwrap.dedent(
    """
    import logging, os, threading
    from vorn_core import VornCore

    shipped = []

    class Ship(logging.Handler):
        def emit(self, record):
            out = core.execute({"v": 1, "target": "logs", "op": "POST /ingest"},
                               lambda n: {"status": "ok", "payload": record.getMessage()})
            shipped.append((out["result"], out["trace_id"]))

    logger = logging.getLogger("vornex_core.engine")
    logger.setLevel(logging.DEBUG)
    logger.addHandler(Ship())
    core = VornCore(paused=True)
    core.configure({"target": {"api": {"breaker": {"failures": 1}}}})

    def work():
        core.execute({"v": 1, "target": "api", "op": "GET /x"},
                     lambda n: {"status": "error", "class": "conn"})

    worker = threading.Thread(target=work, daemon=True)
    worker.start()
    worker.join(2)
    if worker.is_alive():
        print("deadlocked", flush=True)
        os._exit(0)
    print(bool(shipped) and set(shipped) == {("ok", "t-nested")})
    """
)


def test_handlers_may_make_calls_of_their_own():
    # The handler runs on the thread that drives the call, so its own call passes through.
    assert run_child(CALLING_HANDLER) == "True"


# Inside a flow, a handler reached by a step's record runs while the step holds the flow:
# flow reads made from it must answer at once, as they do from inside an effect.
FLOW_READING_HANDLER = textwrap.dedent(
    """
    import logging, os, sys, threading
    from vorn_core import VornCore

    seen = []

    class Read(logging.Handler):
        def emit(self, record):
            seen.append((core.journal_time("py:time.time#-", 7),
                         core.journal_random("py:random#-", b"ab"),
                         core.recorded_idempotency_key("api#-")))

    logger = logging.getLogger("vornex_core.engine")
    logger.setLevel(logging.INFO)
    logger.addHandler(Read())
    core = VornCore(paused=True, journal_path=sys.argv[1])
    core.configure({})
    core.enter_flow("py:m:main", "h")

    def work():
        core.execute({"v": 1, "target": "api", "op": "GET /x"},
                     lambda n: {"status": "ok", "payload": 1})

    worker = threading.Thread(target=work, daemon=True)
    worker.start()
    worker.join(2)
    if worker.is_alive():
        print("deadlocked", flush=True)
        os._exit(0)
    kinds = [s["kind"] for s in core.steps_for_flow("py:m:main#h#")]
    print(bool(seen) and set(seen) == {(7, b"ab", None)}, kinds)
    """
)


def test_handlers_reading_the_open_flow_do_not_wait_for_it(tmp_path):
    script = FLOW_READING_HANDLER
    done = subprocess.run([sys.executable, "-c", script, str(tmp_path / "j.db")],
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    # The reads were neither journaled nor substituted: only the call is a step.
    assert done.stdout.strip() == "True ['marker', 'effect']"

"""The live event feed: the NDJSON file a handle writes, its records and its switch."""

import gc
import json
import logging
import os
import re
import time
from pathlib import Path

import pytest

import vorn_core
from conftest import Script, err, ok, request

FEED_NAME = re.compile(r"[0-9a-f]{11,}-[0-9a-f]{4}\.ndjson")
HEAD = ["v", "seq", "ms", "event"]


def feed_files():
    events = Path(".vorn", "events")
    return sorted(events.iterdir()) if events.is_dir() else []


def parse_feed(path):
    """Every record of a feed file, after checking each line's bytes.

    A line must be exactly the compact JSON text of its own record (no whitespace outside
    strings, only the escapes JSON needs, lowercase \\u escapes, UTF-8 as is) and must start
    with the four common members in their fixed order.
    """
    data = path.read_bytes()
    assert data.endswith(b"\n")
    records = []
    for line in data[:-1].split(b"\n"):
        record = json.loads(line)
        assert json.dumps(record, separators=(",", ":"), ensure_ascii=False).encode() == line
        assert list(record)[:4] == HEAD
        assert record["v"] == 1
        records.append(record)
    assert [r["seq"] for r in records] == list(range(len(records)))
    return records


def read_feed(core):
    core.flush_events()
    (path,) = feed_files()
    return parse_feed(path)


def by_call(records):
    calls = {}
    for r in records[1:]:
        calls.setdefault(r["call"], []).append(r)
    return calls


def fields_of(record):
    """The kind's own fields, in the order written, without the common call and target."""
    return {k: v for k, v in list(record.items())[4:] if k not in ("call", "target")}


@pytest.fixture
def feed_on(monkeypatch):
    monkeypatch.setenv("VORN_EVENTS", "1")


@pytest.fixture
def feed_core(feed_on):
    return vorn_core.VornCore(paused=True)


def test_first_record_is_run_start_of_the_named_run(feed_on):
    before = int(time.time() * 1000)
    core = vorn_core.VornCore(paused=True)
    core.flush_events()
    after = int(time.time() * 1000)

    (path,) = feed_files()
    assert FEED_NAME.fullmatch(path.name)
    (first,) = parse_feed(path)
    assert list(first) == HEAD + ["run", "wall_ms", "pid"]
    assert first["seq"] == 0 and first["ms"] == 0 and first["event"] == "run_start"
    assert first["run"] == path.name[: -len(".ndjson")]
    assert first["pid"] == os.getpid()
    assert before <= first["wall_ms"] <= after
    assert before <= int(first["run"].split("-")[0], 16) <= after


# Each step is a number of ms to advance the clock, or (request overrides, attempt results).
# Each call expects its records after "call_start" as (ms, event, fields in written order).
SCENARIOS = {
    "success": (
        {},
        [({}, [ok(1)])],
        [[(0, "attempt_start", {"attempt": 1}),
          (0, "call_end", {"result": "ok", "attempts": 1})]],
    ),
    "retried failure": (
        {"retry": {"attempts": 2, "schedule": "fixed(100ms)"}},
        [({}, [err("conn")])],
        [[(0, "attempt_start", {"attempt": 1}),
          (0, "attempt_error", {"attempt": 1, "class": "conn"}),
          (0, "backoff", {"attempt": 1, "wait_ms": 100}),
          (100, "attempt_start", {"attempt": 2}),
          (100, "attempt_error", {"attempt": 2, "class": "conn"}),
          (100, "call_end", {"result": "error", "code": "VORN-E010", "attempts": 2})]],
    ),
    "retried http success": (
        {"retry": {"attempts": 3, "schedule": "fixed(250ms)"}},
        [1500, ({}, [err("http", http_status=503), ok(1)])],
        [[(1500, "attempt_start", {"attempt": 1}),
          (1500, "attempt_error", {"attempt": 1, "class": "http", "http_status": 503}),
          (1500, "backoff", {"attempt": 1, "wait_ms": 250}),
          (1750, "attempt_start", {"attempt": 2}),
          (1750, "call_end", {"result": "ok", "attempts": 2})]],
    ),
    "breaker": (
        {"breaker": {"failures": 1, "cooldown": "10s"}},
        [({}, [err("http", http_status=404)]), ({}, [ok(1)]), 10000, ({}, [ok(1)])],
        [[(0, "attempt_start", {"attempt": 1}),
          (0, "attempt_error", {"attempt": 1, "class": "http", "http_status": 404}),
          (0, "breaker_open", {"cooldown_ms": 10000}),
          (0, "call_end", {"result": "error", "code": "VORN-E015", "attempts": 1})],
         [(0, "breaker_reject", {}),
          (0, "call_end", {"result": "error", "code": "VORN-E012", "attempts": 0})],
         [(10000, "breaker_half_open", {}),
          (10000, "attempt_start", {"attempt": 1}),
          (10000, "breaker_close", {}),
          (10000, "call_end", {"result": "ok", "attempts": 1})]],
    ),
    "throttle": (
        {"rate": "1/s"},
        [200, ({}, [ok(1)]), ({}, [ok(1)])],
        [[(200, "attempt_start", {"attempt": 1}),
          (200, "call_end", {"result": "ok", "attempts": 1})],
         [(200, "throttle", {"wait_ms": 1000}),
          (1200, "attempt_start", {"attempt": 1}),
          (1200, "call_end", {"result": "ok", "attempts": 1})]],
    ),
    "memory cache": (
        {"cache": {"ttl": "1s"}},
        [({"args_hash": "k"}, [ok(1)]), ({"args_hash": "k"}, [ok(2)])],
        [[(0, "cache_miss", {"scope": "memory"}),
          (0, "attempt_start", {"attempt": 1}),
          (0, "call_end", {"result": "ok", "attempts": 1})],
         [(0, "cache_hit", {"scope": "memory"}),
          (0, "call_end", {"result": "ok", "attempts": 0})]],
    ),
    "persistent cache": (
        {"cache": {"ttl": "1h", "scope": "persistent"}},
        [({"args_hash": "k"}, [ok(1)]), ({"args_hash": "k"}, [ok(2)])],
        [[(0, "cache_miss", {"scope": "persistent"}),
          (0, "attempt_start", {"attempt": 1}),
          (0, "call_end", {"result": "ok", "attempts": 1})],
         [(0, "cache_hit", {"scope": "persistent"}),
          (0, "call_end", {"result": "ok", "attempts": 0})]],
    ),
    "persistent scope without journal": (
        {"cache": {"ttl": "1h", "scope": "persistent"}},
        [({"args_hash": "k"}, [ok(1)]), ({"args_hash": "k"}, [ok(2)])],
        [[(0, "cache_miss", {"scope": "memory"}),
          (0, "attempt_start", {"attempt": 1}),
          (0, "call_end", {"result": "ok", "attempts": 1})],
         [(0, "cache_hit", {"scope": "memory"}),
          (0, "call_end", {"result": "ok", "attempts": 0})]],
    ),
    "envelope version": (
        {"cache": {"ttl": "1s"}, "rate": "1/s", "breaker": {"failures": 1}},
        [({"v": 2, "args_hash": "k"}, [ok(1)])],
        [[(0, "call_end", {"result": "error", "code": "VORN-E004", "attempts": 0})]],
    ),
}
WITHOUT_JOURNAL = {"persistent scope without journal"}


@pytest.mark.parametrize("name", list(SCENARIOS))
def test_records_of_each_call_in_emission_order(feed_on, tmp_path, name):
    block, steps, expected = SCENARIOS[name]
    journal = None if name in WITHOUT_JOURNAL else str(tmp_path / "j.db")
    core = vorn_core.VornCore(paused=True, journal_path=journal)
    core.configure({"target": {"api": block}})
    trace_ids = []
    for step in steps:
        if isinstance(step, int):
            core.advance_clock(step)
            continue
        overrides, results = step
        out = core.execute(request(**overrides), Script(*results))
        trace_ids.append(out["trace_id"])

    records = read_feed(core)
    calls = by_call(records)
    assert list(calls) == trace_ids
    for trace_id, want in zip(trace_ids, expected):
        got = calls[trace_id]
        assert got[0]["event"] == "call_start"
        assert list(got[0].items())[4:] == [("call", trace_id), ("target", "api"), ("op", "GET /x")]
        for r in got:
            assert list(r)[4:6] == ["call", "target"] and r["target"] == "api"
        assert [(r["ms"], r["event"], fields_of(r)) for r in got[1:]] == want
        # Dicts compare without order; the written order is part of the format.
        assert [list(fields_of(r)) for r in got[1:]] == [list(f) for _, _, f in want]


def test_awkward_target_and_op_are_escaped_on_one_line(feed_core):
    target = 'q"b\\s\nl'
    op = "GET /\u00e9\t\x01\x1f\x7f"
    feed_core.execute(request(target=target, op=op), Script(err("conn", "x")))
    records = read_feed(feed_core)

    assert [r["event"] for r in records] == [
        "run_start", "call_start", "attempt_start", "attempt_error", "call_end"]
    assert all(r["target"] == target for r in records[1:])
    assert records[1]["op"] == op
    lines = feed_files()[0].read_bytes().split(b"\n")
    assert lines[1] == (
        b'{"v":1,"seq":1,"ms":0,"event":"call_start","call":"t-000001",'
        b'"target":"q\\"b\\\\s\\nl","op":"GET /\xc3\xa9\\t\\u0001\\u001f\x7f"}')


def test_two_handles_write_two_files(feed_on):
    first, second = vorn_core.VornCore(paused=True), vorn_core.VornCore(paused=True)
    first.execute(request(target="a"), Script(ok(1)))
    second.execute(request(target="b"), Script(ok(1)))
    first.flush_events()
    second.flush_events()

    paths = feed_files()
    assert len(paths) == 2
    feeds = [parse_feed(p) for p in paths]
    assert {f[0]["run"] for f in feeds} == {p.name[: -len(".ndjson")] for p in paths}
    assert sorted(f[1]["target"] for f in feeds) == ["a", "b"]
    for feed in feeds:
        assert feed[0]["event"] == "run_start" and feed[0]["seq"] == 0
        assert [r["call"] for r in feed[1:]] == ["t-000001"] * 3


def test_feed_is_chosen_when_the_handle_is_created(monkeypatch, tmp_path):
    monkeypatch.setenv("VORN_EVENTS", "1")
    on = vorn_core.VornCore(paused=True)
    monkeypatch.setenv("VORN_EVENTS", "0")
    off = vorn_core.VornCore(paused=True)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    monkeypatch.chdir(elsewhere)
    monkeypatch.setenv("VORN_EVENTS", "1")
    on.execute(request(target="on"), Script(ok(1)))
    off.execute(request(target="off"), Script(ok(1)))
    on.flush_events()
    assert list(elsewhere.iterdir()) == []

    monkeypatch.chdir(tmp_path)
    (path,) = feed_files()
    assert {r.get("target") for r in parse_feed(path)} == {None, "on"}


CALLS = 1500  # enough lines to overflow the writer's buffer several times


def test_flush_makes_every_emitted_event_visible(feed_core):
    for _ in range(CALLS):
        feed_core.execute(request(), Script(ok(None)))
    feed_core.flush_events()
    data = feed_files()[0].read_bytes()
    assert data.endswith(b"\n")
    assert data.count(b"\n") == 1 + 3 * CALLS
    assert json.loads(data.splitlines()[-1])["call"] == "t-%06d" % CALLS


def test_dropping_the_handle_drains_the_queue(feed_core):
    for _ in range(CALLS):
        feed_core.execute(request(), Script(ok(None)))
    path = feed_files()[0]
    del feed_core
    gc.collect()
    records = parse_feed(path)
    assert len(records) == 1 + 3 * CALLS
    assert records[-1]["event"] == "call_end"
    assert records[-1]["call"] == "t-%06d" % CALLS


UNSET = object()
BAD_UTF8 = "\udcff"  # encodes to a lone 0xFF byte in the environment


@pytest.mark.parametrize(
    "value, vorn_dir, feed",
    [
        ("  OFF  ", True, False),
        ("\toff\n", True, False),
        ("False", True, False),
        ("0", True, False),
        ("", True, False),
        ("1", False, True),
        ("yes", False, True),
        (" on ", False, True),
        ("offline", False, True),
        (UNSET, False, False),
        (UNSET, True, True),
        (BAD_UTF8, False, False),
        (BAD_UTF8, True, True),
    ],
)
def test_events_switch(monkeypatch, value, vorn_dir, feed):
    if value is UNSET:
        monkeypatch.delenv("VORN_EVENTS")
    else:
        monkeypatch.setenv("VORN_EVENTS", value)
    if vorn_dir:
        Path(".vorn", "events").mkdir(parents=True)
    core = vorn_core.VornCore(paused=True)
    assert core.flush_events() is None

    if feed:
        (path,) = feed_files()
        assert parse_feed(path)[0]["event"] == "run_start"
    elif vorn_dir:
        assert feed_files() == []
    else:
        assert not Path(".vorn").exists()


def test_unopenable_feed_warns_and_leaves_the_handle_usable(feed_on, caplog):
    Path(".vorn").write_text("not a directory")
    with caplog.at_level(logging.WARNING, logger="vornex_core.events"):
        core = vorn_core.VornCore(paused=True)

    warnings = [r for r in caplog.records if r.name == "vornex_core.events"]
    assert [(r.levelno, r.getMessage()) for r in warnings] == [
        (logging.WARNING, "event sink unavailable; live events disabled")]
    fields = warnings[0].vorn_fields
    assert set(fields) == {"dir", "error"}
    assert fields["dir"] == str(Path.cwd() / ".vorn" / "events")
    assert fields["error"]

    assert core.flush_events() is None
    assert core.execute(request(), Script(ok(7)))["payload"] == 7
    failed = core.execute(request(), Script(err("conn", "boom")))
    assert failed["error"]["message"] == "GET /x failed 1/1 attempts (last: conn). boom"
    assert Path(".vorn").is_file()


POLL = {"interval": "1s", "deadline": "2500ms", "until": {"field": "state", "terminal": ["done"]}}

# (target block, calls as (request overrides, attempt results); the last call's code and
# its message without a trace reference)
FAILURES = {
    "E010": ({}, [({}, [err("conn", "boom")])],
             "VORN-E010", "GET /x failed 1/1 attempts (last: conn). boom"),
    "E010 message ending in a dot": (
        {}, [({}, [err("conn", "boom.")])],
        "VORN-E010", "GET /x failed 1/1 attempts (last: conn). boom."),
    "E010 empty message": (
        {}, [({}, [err("conn", "")])],
        "VORN-E010", "GET /x failed 1/1 attempts (last: conn)."),
    "E010 message ending in a dot and blanks": (
        {}, [({}, [err("conn", "boom. \n")])],
        "VORN-E010", "GET /x failed 1/1 attempts (last: conn). boom."),
    "E014": ({"retry": {"attempts": 3}}, [({"idempotent": False}, [err("conn", "boom")])],
             "VORN-E014",
             "GET /x failed (conn). Not retried: call is not idempotent \u2014 observed, not "
             "retried. boom"),
    "E015": ({}, [({}, [err("http", "gone", http_status=404)])],
             "VORN-E015",
             "GET /x failed (http 404); error class is not retryable per policy. gone"),
    "E012": ({"breaker": {"failures": 1}}, [({}, [err("conn")]), ({}, [ok(1)])],
             "VORN-E012", "breaker OPEN for api: failed fast, call not attempted"),
    "E016": ({"poll": POLL}, [({}, [ok({"state": "running"})])],
             "VORN-E016", "GET /x poll deadline exceeded: 'state' not terminal after 2500ms"),
}


@pytest.mark.parametrize("feed", [True, False], ids=["feed on", "feed off"])
@pytest.mark.parametrize("name", list(FAILURES))
def test_failure_messages_cite_the_call_in_the_feed(monkeypatch, name, feed):
    monkeypatch.setenv("VORN_EVENTS", "1" if feed else "0")
    block, calls, code, message = FAILURES[name]
    core = vorn_core.VornCore(paused=True)
    core.configure({"target": {"api": block}})
    for overrides, results in calls:
        out = core.execute(request(**overrides), Script(*results))
    assert out["error"]["code"] == code

    if not feed:
        assert out["error"]["message"] == message
        assert feed_files() == []
        return
    records = read_feed(core)
    (start,) = [r for r in records if r["event"] == "call_start" and r["call"] == out["trace_id"]]
    sep = "" if message.endswith(".") else "."
    suffix = f" trace: vorn trace {records[0]['run']}#{start['seq']}"
    assert out["error"]["message"] == message + sep + suffix


def test_version_error_cites_no_trace(feed_core):
    out = feed_core.execute(request(v=2), Script(ok(1)))
    assert out["error"]["message"] == "unsupported envelope version 2"

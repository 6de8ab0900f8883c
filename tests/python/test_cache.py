"""The response cache: memory entries on the handle's clock, persistent entries in the journal."""

import json
import logging
import os
import sqlite3
import subprocess
import textwrap
import time

import pytest

import vorn_core
from conftest import Script, err, ok, request

PERSISTENT = {"ttl": "1h", "scope": "persistent"}


def cached(block, **extra):
    return {"target": {"api": dict({"cache": block}, **extra)}}


def call(core, payload="live", **overrides):
    effect = Script(ok(payload))
    out = core.execute(request(**dict({"args_hash": "k"}, **overrides)), effect)
    return out, len(effect.calls)


def assert_hit(out, runs, payload):
    assert runs == 0
    assert (out["result"], out["payload"], out["from_cache"]) == ("ok", payload, True)
    assert (out["attempts"], out["waits_ms"]) == (0, [])


def assert_live(out, runs, payload="live"):
    assert runs == 1
    assert (out["result"], out["payload"], out["from_cache"]) == ("ok", payload, False)
    assert out["attempts"] == 1


def stored_value(path, key="api#k"):
    with sqlite3.connect(path) as db:
        row = db.execute("SELECT value FROM cache WHERE key = ?", (key,)).fetchone()
    return row and row[0]


@pytest.fixture
def journal(tmp_path):
    return str(tmp_path / "j.db")


def test_entry_is_served_strictly_before_its_expiry(core):
    core.configure(cached({"ttl": "1s"}))
    assert_live(*call(core, {"n": 1}), {"n": 1})
    core.advance_clock(999)
    assert_hit(*call(core, {"n": 2}), {"n": 1})
    core.advance_clock(1)
    # The expired entry is dropped and replaced by the live answer, which lives its own ttl.
    assert_live(*call(core, {"n": 3}), {"n": 3})
    core.advance_clock(999)
    assert_hit(*call(core, {"n": 4}), {"n": 3})


@pytest.mark.parametrize(
    "block, overrides",
    [
        ({"ttl": "0ms"}, {}),
        ({}, {}),
        ({"ttl": None}, {}),
        ({"ttl": "1s", "mode": "off"}, {}),
        ({"ttl": "1s"}, {"args_hash": None}),
        ({"ttl": "0ms", "scope": "persistent"}, {}),
        ({"scope": "persistent"}, {}),
        ({"ttl": "1h", "scope": "persistent", "mode": "off"}, {}),
        (PERSISTENT, {"args_hash": None}),
    ],
)
def test_calls_that_are_never_served_from_cache(journal, block, overrides):
    core = vorn_core.VornCore(paused=True, journal_path=journal)
    core.configure(cached(block))
    for _ in range(2):
        assert_live(*call(core, **overrides))
    assert core.report()["targets"]["api"]["cache_hits"] == 0


def test_request_without_args_hash_key_is_never_cached(core):
    core.configure(cached({"ttl": "1s"}))
    for _ in range(2):
        effect = Script(ok(1))
        out = core.execute(request(), effect)
        assert (out["from_cache"], len(effect.calls)) == (False, 1)


@pytest.mark.parametrize(
    "second, hit",
    [
        ({"op": "POST /other"}, True),
        ({"op": "GET /x", "idempotent": False}, True),
        ({"args_hash": "K"}, False),
        ({"args_hash": "k "}, False),
        ({"target": "api2"}, False),
    ],
)
def test_entry_key_is_target_and_args_hash(core, second, hit):
    core.configure({"target": {"api": {"cache": {"ttl": "1s"}}, "api2": {"cache": {"ttl": "1s"}}}})
    call(core, "first")
    out, runs = call(core, "second", **second)
    if hit:
        assert_hit(out, runs, "first")
    else:
        assert_live(out, runs, "second")


def test_memory_key_keeps_target_and_args_hash_apart(core):
    # Joined as text, ("api", "x#k") and ("api#x", "k") would be the same entry.
    core.configure({"target": {"api": {"cache": {"ttl": "1s"}}, "api#x": {"cache": {"ttl": "1s"}}}})
    call(core, "first", args_hash="x#k")
    assert_live(*call(core, "second", target="api#x"), "second")
    assert_hit(*call(core, "third", args_hash="x#k"), "first")


def test_failed_call_stores_nothing_and_leaves_other_entries(core):
    core.configure(cached({"ttl": "1s"}))
    call(core, "kept")
    failed = core.execute(request(args_hash="bad"), Script(err("conn")))
    assert failed["result"] == "error"
    core.advance_clock(500)
    assert_live(*call(core, args_hash="bad"))
    assert_hit(*call(core), "kept")


def test_hit_bypasses_rate_limit_and_breaker(core):
    core.configure(cached({"ttl": "10h"}, rate="1/h", breaker={"failures": 1, "cooldown": "10h"}))
    call(core, "kept")
    assert_hit(*call(core), "kept")
    # Had the hit taken a token, this call would wait for two periods.
    opened = core.execute(request(args_hash="x"), Script(err("http", http_status=500)))
    assert (opened["throttle_wait_ms"], opened["breaker"]) == (3600000, "open")

    out, runs = call(core)
    assert_hit(out, runs, "kept")
    assert (out["breaker"], out["throttled"], out["throttle_wait_ms"]) == ("open", False, 0)
    report = core.report()
    assert report["clock_ms"] == 3600000
    assert report["targets"]["api"] == {
        "attempts": 2, "breaker_opens": 1, "breaker_state": "open", "cache_hits": 2,
        "calls": 4, "failures": 1, "retries": 0, "successes": 3, "throttled": 1}


def test_persistent_scope_without_journal_is_memory(core):
    core.configure(cached(PERSISTENT))
    call(core, "first")
    assert_hit(*call(core, "second"), "first")
    # Memory entries belong to one handle.
    other = vorn_core.VornCore(paused=True)
    other.configure(cached(PERSISTENT))
    assert_live(*call(other))


SUBPROCESS_CALL = textwrap.dedent("""
    import json, sys, vorn_core
    core = vorn_core.VornCore(paused=True, journal_path=sys.argv[1])
    core.configure(json.loads(sys.argv[2]))
    runs = []
    out = core.execute(
        {"v": 1, "target": "api", "op": "GET /x", "idempotent": True, "args_hash": "k"},
        lambda n: runs.append(n) or {"status": "ok", "payload": "live"})
    print(json.dumps([out, len(runs)]))
""")

CACHE_A1 = (b"\x82\xa6schema\xadvorn.cache/v1\xa7payload"
            b"\x81\xa1a\x01")


def test_persistent_entry_is_shared_through_the_journal_file(journal):
    writer = vorn_core.VornCore(paused=True, journal_path=journal)
    writer.configure(cached(PERSISTENT))
    assert_live(*call(writer, {"a": 1}), {"a": 1})
    assert stored_value(journal) == CACHE_A1
    assert_hit(*call(writer), {"a": 1})

    reader = vorn_core.VornCore(paused=True, journal_path=journal)
    reader.configure(cached(PERSISTENT))
    assert_hit(*call(reader), {"a": 1})

    done = subprocess.run(
        ["/usr/bin/python3", "-c", SUBPROCESS_CALL, journal, json.dumps(cached(PERSISTENT))],
        env=dict(os.environ), capture_output=True, text=True, timeout=60, check=True)
    assert_hit(*json.loads(done.stdout), {"a": 1})


def test_stored_payload_is_canonical_messagepack(journal):
    core = vorn_core.VornCore(paused=True, journal_path=journal)
    core.configure(cached(PERSISTENT))
    payload = {"zz": [300, -1, -40, True, None], "a": 1.5, "m": {"y": 0, "x": "\u00e9"}}
    out, _ = call(core, payload)
    assert list(out["payload"]) == ["a", "m", "zz"]

    assert stored_value(journal) == (
        b"\x82\xa6schema\xadvorn.cache/v1\xa7payload"
        b"\x83"
        b"\xa1a\xcb\x3f\xf8\x00\x00\x00\x00\x00\x00"
        b"\xa1m\x82\xa1x\xa2\xc3\xa9\xa1y\x00"
        b"\xa2zz\x95\xcd\x01\x2c\xff\xd0\xd8\xc3\xc0")
    hit, runs = call(core)
    assert_hit(hit, runs, payload)
    assert list(hit["payload"]) == ["a", "m", "zz"]


def put_row(path, value, key="api#k"):
    expires_at = int(time.time() * 1000) + 3600000
    with sqlite3.connect(path) as db:
        db.execute("INSERT OR REPLACE INTO cache (key, value, expires_at) VALUES (?, ?, ?)",
                   (key, value, expires_at))


# Rows written by hand: either decoded into a hit, or rejected with the logged reason
# (a prefix where the reason quotes the decoder's own text).
STORED_ROWS = {
    "other schema": (b"\x82\xa6schema\xa7other/x\xa7payload\x81\xa1a\x01",
                     'unrecognized cache payload schema "other/x"'),
    "truncated": (CACHE_A1[:-1], "messagepack decode failed: "),
    "payload is bin": (b"\x82\xa6schema\xadvorn.cache/v1\xa7payload\xc4\x01\x00",
                       "messagepack decode failed: "),
    "payload missing": (b"\x81\xa6schema\xadvorn.cache/v1", "messagepack decode failed: "),
    "array form": (b"\x92\xadvorn.cache/v1\x81\xa1a\x01", None),
    "keys reversed": (b"\x82\xa7payload\x81\xa1a\x01\xa6schema\xadvorn.cache/v1", None),
    "extra key": (b"\x83\xa1x\xc0" + CACHE_A1[1:], None),
}


@pytest.mark.parametrize("name", list(STORED_ROWS))
def test_rows_written_by_others(journal, caplog, name):
    value, reason = STORED_ROWS[name]
    core = vorn_core.VornCore(paused=True, journal_path=journal)
    put_row(journal, value)
    with caplog.at_level(logging.WARNING, logger="vornex_core.engine"):
        core.configure(cached(PERSISTENT))
        out, runs = call(core, "live")
    warnings = [r for r in caplog.records if r.name == "vornex_core.engine"]

    if reason is None:
        assert_hit(out, runs, {"a": 1})
        assert warnings == []
        return
    assert_live(out, runs)
    assert [(r.levelno, r.getMessage()) for r in warnings] == [
        (logging.WARNING, "persistent cache entry undecodable; serving live")]
    fields = warnings[0].vorn_fields
    assert set(fields) == {"target", "reason"} and fields["target"] == "api"
    assert fields["reason"].startswith(reason)
    if not reason.endswith(": "):
        assert fields["reason"] == reason
    # The live answer replaced the bad row.
    assert stored_value(journal) == b"\x82\xa6schema\xadvorn.cache/v1\xa7payload\xa4live"
    assert_hit(*call(core), "live")


def test_unusable_journal_cache_degrades_to_live_calls(journal, caplog):
    core = vorn_core.VornCore(paused=True, journal_path=journal)
    core.configure(cached(PERSISTENT))
    with sqlite3.connect(journal) as db:
        db.execute("DROP TABLE cache")
    with caplog.at_level(logging.WARNING, logger="vornex_core.engine"):
        for _ in range(2):
            assert_live(*call(core))

    warnings = [(r.levelno, r.getMessage(), sorted(r.vorn_fields)) for r in caplog.records
                if r.name == "vornex_core.engine"]
    assert warnings == 2 * [
        (logging.WARNING, "persistent cache read failed; serving live", ["error", "target"]),
        (logging.WARNING, "persistent cache write failed; entry not stored", ["error", "target"]),
    ]
    assert all("no such table: cache" in r.vorn_fields["error"] for r in caplog.records)

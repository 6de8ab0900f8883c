"""Shared fixtures for the pytest suite, run against the module built by CMake."""

import os

import pytest

import vorn_core


@pytest.fixture(autouse=True)
def _isolated_cwd(tmp_path, monkeypatch):
    # Every test runs in its own empty directory with the live feed switched off, so no
    # test writes into the source tree and feed files are only created where a test asks.
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("VORN_EVENTS", "0")


@pytest.fixture
def core():
    """A handle on a virtual clock: every wait completes instantly."""
    return vorn_core.VornCore(paused=True)


def request(target="api", op="GET /x", idempotent=True, **extra):
    req = {"v": 1, "target": target, "op": op, "idempotent": idempotent}
    req.update(extra)
    return req


def ok(payload=None):
    return {"status": "ok", "payload": payload}


def err(cls="conn", message="boom", **extra):
    out = {"status": "error", "class": cls, "message": message}
    out.update(extra)
    return out


class Script:
    """An effect that answers from a list of attempt results and counts its calls."""

    def __init__(self, *results):
        self.results = list(results)
        self.calls = []

    def __call__(self, attempt):
        self.calls.append(attempt)
        index = min(len(self.calls), len(self.results)) - 1
        return self.results[index]


SOURCE_DIR = os.environ.get("VORN_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))

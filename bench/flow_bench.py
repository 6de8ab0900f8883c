"""Journaled steps on an SQLite file: live and replayed steps per second, the per-step
overhead over a plain `execute`, and the time to enter a flow.

Run: PYTHONPATH=build /usr/bin/python3 bench/flow_bench.py [steps]
"""

import os
import sys
import tempfile
import time

import vorn_core

STEPS = int(sys.argv[1]) if len(sys.argv) > 1 else 5_000
RESULT = {"status": "ok", "payload": {"id": 7}}


def effect(attempt):
    return RESULT


def requests():
    # Distinct step keys, as a real flow's calls would have.
    return [{"v": 1, "target": "api", "op": "GET /x", "idempotent": True, "args_hash": f"a{i}"}
            for i in range(STEPS)]


def timed(fn):
    start = time.perf_counter_ns()
    fn()
    return time.perf_counter_ns() - start


def main():
    os.environ["VORN_EVENTS"] = "0"
    workdir = tempfile.mkdtemp(prefix="vorn-flow-bench-")
    journal = os.path.join(workdir, "journal.db")
    reqs = requests()

    plain = vorn_core.VornCore()
    plain_ns = timed(lambda: [plain.execute(r, effect) for r in reqs]) / STEPS

    core = vorn_core.VornCore(journal_path=journal)
    enter_ns = timed(lambda: core.enter_flow("py:bench:main", "args", explicit_key="run"))
    live_ns = timed(lambda: [core.execute(r, effect) for r in reqs]) / STEPS
    core.exit_flow("failed")  # left resumable: the next entry replays every step

    enters = []
    for i in range(20):
        enters.append(timed(lambda i=i: core.enter_flow("py:bench:fresh", f"args{i}")))
        core.exit_flow("completed")
    core.enter_flow("py:bench:main", "args", explicit_key="run")
    replay_ns = timed(lambda: [core.execute(r, effect) for r in reqs]) / STEPS
    core.exit_flow("completed")

    print(f"steps per run:                 {STEPS}")
    print(f"plain execute:                 {plain_ns / 1000:8.1f} us/call")
    print(f"live journaled step:           {live_ns / 1000:8.1f} us/step "
          f"({1e9 / live_ns:,.0f} steps/s), overhead {(live_ns - plain_ns) / 1000:.1f} us")
    print(f"replayed step:                 {replay_ns / 1000:8.1f} us/step "
          f"({1e9 / replay_ns:,.0f} steps/s), overhead {(replay_ns - plain_ns) / 1000:.1f} us")
    print(f"enter a new flow (first):      {enter_ns / 1000:8.1f} us")
    print(f"enter a new flow (median/20):  {sorted(enters)[len(enters) // 2] / 1000:8.1f} us")


if __name__ == "__main__":
    main()

"""Per-call cost of `execute` on the success path, against a bare call and tenacity.

Run: PYTHONPATH=build /usr/bin/python3 bench/execute_bench.py [calls]
Prints nanoseconds per call and the overheads (time minus the bare call) as ratios.
"""

import os
import sys
import tempfile
import time

import vorn_core

N = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
REPEATS = 5

RESULT = {"status": "ok", "payload": {"id": 7}}


def effect(attempt):
    return RESULT


def best_ns_per_call(fn):
    best = float("inf")
    for _ in range(REPEATS):
        start = time.perf_counter_ns()
        fn()
        best = min(best, (time.perf_counter_ns() - start) / N)
    return best


def bare():
    for _ in range(N):
        effect(1)


def make_execute(policy, feed=False):
    # The live feed is chosen when a handle is created; with it on, files go to a temporary
    # directory so the benchmark leaves nothing behind.
    os.environ["VORN_EVENTS"] = "1" if feed else "0"
    cwd = os.getcwd()
    if feed:
        os.chdir(tempfile.mkdtemp(prefix="vorn-bench-"))
    core = vorn_core.VornCore()
    os.chdir(cwd)
    if policy:
        core.configure(policy)
    request = {"v": 1, "target": "api", "op": "GET /x", "idempotent": True}
    execute = core.execute

    def run():
        for _ in range(N):
            execute(request, effect)

    return run


FULL_POLICY = {
    "target": {
        "api": {
            "retry": {"attempts": 3, "schedule": "exp(200ms, x2, max 30s, jitter)"},
            "breaker": {"failures": 5, "cooldown": "15s"},
            "rate": "1000000000/s",
        }
    }
}


def make_tenacity():
    from tenacity import retry, stop_after_attempt, wait_exponential

    @retry(stop=stop_after_attempt(3), wait=wait_exponential(multiplier=0.2, max=30))
    def wrapped(attempt):
        return effect(attempt)

    def run():
        for _ in range(N):
            wrapped(1)

    return run


def main():
    rows = [
        ("bare call", bare),
        ("execute, no policy", make_execute(None)),
        ("execute, retry+breaker+rate", make_execute(FULL_POLICY)),
        ("execute, no policy, feed on", make_execute(None, feed=True)),
    ]
    try:
        rows.append(("tenacity @retry", make_tenacity()))
    except ImportError:
        print("tenacity not installed; skipping it")
    results = [(name, best_ns_per_call(fn)) for name, fn in rows]
    base = results[0][1]
    print(f"{'case':32} {'ns/call':>10} {'overhead ns':>12}")
    for name, ns in results:
        print(f"{name:32} {ns:10.0f} {ns - base:12.0f}")
    over = {name: ns - base for name, ns in results}
    feed_ratio = results[3][1] / results[1][1]
    print(f"feed on / feed off, no-policy execute:  {feed_ratio:.2f}")
    if "tenacity @retry" in over:
        t = over["tenacity @retry"]
        print(f"overhead ratio, no policy / tenacity:   {over['execute, no policy'] / t:.2f}")
        print(f"overhead ratio, full policy / tenacity: {over['execute, retry+breaker+rate'] / t:.2f}")


if __name__ == "__main__":
    main()

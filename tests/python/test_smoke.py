from conftest import Script, err, ok, request


def test_retried_call_reports_waits(core):
    core.configure({"target": {"api": {"retry": {"attempts": 3, "schedule": "fixed(100ms)"}}}})
    effect = Script(err("conn", "refused"))
    out = core.execute(request(), effect)
    assert out["error"]["code"] == "VORN-E010"
    assert out["waits_ms"] == [100, 100]
    assert effect.calls == [1, 2, 3]

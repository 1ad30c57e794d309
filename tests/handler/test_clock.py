"""The nanosecond clock: decimal text of time_ns, a float fallback, call-time lookup of `time`
(native and reference alike)."""
import builtins
import decimal
import time
import types

import pytest

import quorbel


def test_now_ns_is_the_current_time_as_19_digits(impl):
    before = time.time_ns()
    text = impl._now_ns()
    after = time.time_ns()
    assert type(text) is str and len(text) == 19 and set(text) <= set("0123456789")
    assert before <= int(text) <= after


def _raise(exc):
    def fn():
        raise exc
    return fn


missing = _raise(AttributeError("time_ns"))


class Clock:
    """A `time` stand-in: reading time_ns calls the given function (by default it is missing);
    time() returns seconds and is counted."""

    def __init__(self, time_ns=missing, seconds=12.5):
        self._time_ns, self.seconds = time_ns, seconds
        self.time_calls = 0

    @property
    def time_ns(self):
        return self._time_ns()

    def time(self):
        self.time_calls += 1
        return self.seconds


@pytest.mark.parametrize("seconds", [
    1700000000.123456, 0.5, 0.0, 5, 1e-9, decimal.Decimal("1.000000000123"), -2.25,
], ids=repr)
def test_falls_back_to_time_times_1e9(impl, monkeypatch, seconds):
    clock = Clock(seconds=seconds)
    monkeypatch.setattr(quorbel, "time", clock)
    assert impl._now_ns() == str(int(seconds * 1000000000))
    assert clock.time_calls == 1


MissingError = type("MissingError", (AttributeError,), {})
OtherError = type("OtherError", (Exception,), {})


def _calls_raising(exc):
    # time_ns exists but raises when called: only AttributeError counts as missing.
    return lambda: _raise(exc)


@pytest.mark.parametrize("time_ns, expected", [
    (lambda: (lambda: 42), "42"),
    (lambda: (lambda: 12.5), "12.5"),
    (missing, "12500000000"),
    (_raise(MissingError("time_ns")), "12500000000"),
    (_calls_raising(AttributeError("inside")), "12500000000"),
    (_raise(OtherError("boom")), OtherError),
    (_calls_raising(ValueError("inside")), ValueError),
    (_raise(KeyboardInterrupt()), KeyboardInterrupt),
], ids=["int", "float", "missing", "missing-subclass", "raises-attr-inside", "lookup-error",
        "raises-inside", "interrupt"])
def test_only_attribute_error_selects_the_fallback(impl, monkeypatch, time_ns, expected):
    clock = Clock(time_ns)
    monkeypatch.setattr(quorbel, "time", clock)
    if isinstance(expected, str):
        assert impl._now_ns() == expected
        assert clock.time_calls == (0 if expected in ("42", "12.5") else 1)
    else:
        with pytest.raises(expected):
            impl._now_ns()
        assert clock.time_calls == 0


def test_fallback_looks_time_up_again(impl, monkeypatch):
    later = Clock(seconds=3)

    def rebinding():
        quorbel.time = later
        raise AttributeError("time_ns")

    monkeypatch.setattr(quorbel, "time", Clock(rebinding))
    assert impl._now_ns() == "3000000000"
    assert later.time_calls == 1


@pytest.mark.parametrize("stand_in, error", [
    (object(), AttributeError),
    (Clock(seconds=None), TypeError),
    (types.SimpleNamespace(time=_raise(OtherError("fallback"))), OtherError),
])
def test_errors_of_the_fallback_propagate(impl, monkeypatch, stand_in, error):
    monkeypatch.setattr(quorbel, "time", stand_in)
    with pytest.raises(error):
        impl._now_ns()


def test_deleted_time_raises_name_error(impl, monkeypatch):
    monkeypatch.delattr(quorbel, "time")
    monkeypatch.delattr(builtins, "time", raising=False)
    with pytest.raises(NameError) as info:
        impl._now_ns()
    assert str(info.value) == "name 'time' is not defined"

"""orv.each: one function on many adapters at once, each with its own
adapter; outcomes in the caller's order, a failure kept to its adapter."""

import threading

import pytest

import orv
from conftest import COMMAND_OUT, COUNT_IN, DATA_IN, SERIALS


def test_every_adapter_runs_at_once_and_outcomes_keep_the_callers_order(sim):
    # All four pass the barrier together, so they run at once; the first
    # given then waits until the other three are done.
    barrier = threading.Barrier(len(SERIALS), timeout=30)
    others_done = threading.Semaphore(0)
    lock = threading.Lock()
    finished = []

    def ordered(adapter):
        barrier.wait()
        if adapter.info.serial == SERIALS[0]:
            for _ in SERIALS[1:]:
                assert others_done.acquire(timeout=30)
        adapter.jtag().goto_idle(8)
        with lock:
            finished.append(adapter.info.serial)
        if adapter.info.serial != SERIALS[0]:
            others_done.release()
        return adapter.info.serial.lower()

    outcomes = orv.each(ordered)
    assert [(info.serial, outcome) for info, outcome in outcomes] == [(s, s.lower()) for s in SERIALS]
    assert finished[-1] == SERIALS[0]
    # Every adapter was let go: each opens again.
    for serial in SERIALS:
        with orv.open(serial=serial):
            pass


def test_a_failing_adapter_changes_only_its_own_outcome(sim, count):
    def scan(adapter):
        if adapter.info.serial == SERIALS[2]:
            raise ZeroDivisionError("the script's own failure")
        return adapter.jtag().scan().idcodes

    with orv.open(serial=SERIALS[0]) as alone:
        own = scan(alone)
    sim.fault("stall", DATA_IN, index=1)
    try:
        with count(0) as sent0:
            outcomes = orv.each(scan, adapters=[SERIALS[0], SERIALS[1], SERIALS[2], "ORVSIM9999"], timeout_ms=200)
    finally:
        sim.fault("none", index=1)
        sim.drain(index=1)
    assert [info.serial for info, _ in outcomes] == [SERIALS[0], SERIALS[1], SERIALS[2], "ORVSIM9999"]
    # Adapter 0's chain as it reads alone: nothing of the stalled one's.
    assert outcomes[0][1] == own and sent0.delta[COMMAND_OUT] > 0
    assert isinstance(outcomes[1][1], orv.UsbError) and not isinstance(outcomes[1][1], orv.AdapterNotFound)
    assert isinstance(outcomes[2][1], ZeroDivisionError)
    assert isinstance(outcomes[3][1], orv.AdapterNotFound) and outcomes[3][1].cause == "not_found"
    assert outcomes[3][0].bus == 0
    # The stalled adapter works again once the fault is gone.
    assert orv.each(lambda a: a.info.serial, adapters=[SERIALS[1]])[0][1] == SERIALS[1]


def test_max_workers_bounds_how_many_run_at_once():
    running = 0
    most = 0
    lock = threading.Lock()

    def fn(adapter):
        nonlocal running, most
        with lock:
            running += 1
            most = max(most, running)
        adapter.jtag().goto_idle(64)
        with lock:
            running -= 1
        return adapter.info.address

    outcomes = orv.each(fn, adapters=orv.list_adapters(), max_workers=1)
    assert most == 1
    assert [outcome for _, outcome in outcomes] == [2, 3, 4, 5]


@pytest.mark.parametrize(
    "kwargs, error",
    [
        (dict(max_workers=0), ValueError),
        (dict(max_workers="2"), TypeError),
        (dict(adapters=[SERIALS[0], SERIALS[0]]), ValueError),
        (dict(adapters=[1]), TypeError),
        (dict(adapters=[SERIALS[0]], timeout_ms=-1), ValueError),
    ],
)
def test_bad_arguments_are_refused_before_any_adapter_is_opened(kwargs, error, count):
    called = []
    with count() as sent, pytest.raises(error):
        orv.each(called.append, **kwargs)
    assert called == []
    assert sent.delta == {COMMAND_OUT: 0, DATA_IN: 0, COUNT_IN: 0}
    assert orv.each(called.append, adapters=[]) == []

"""Lifetimes of the core's native records under races: a call started for an
event loop is settled by exactly one party, and closing a bus frees the
records of exported objects that hold each other only once nothing reaches
them."""

import gc
import sys
import threading
import weakref

import pytest

import varquin

DBUS = ("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus")
ROUNDS = 500


def race(*calls):
    """Runs each call on its own thread, all released together; returns what
    each returned or raised, in order."""
    barrier = threading.Barrier(len(calls))
    outcomes = [None] * len(calls)

    def run(i, call):
        barrier.wait(timeout=10)
        try:
            outcomes[i] = call()
        except Exception as e:
            outcomes[i] = e.with_traceback(None)  # its frames would hold the call

    threads = [threading.Thread(target=run, args=(i, c)) for i, c in enumerate(calls)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not any(t.is_alive() for t in threads)
    return outcomes


@pytest.fixture
def tight_switching():
    """Threads holding the interpreter lock hand it over as often as it can be."""
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


class Future:
    """What PendingCall.settle() gives the outcome to: it records each one."""

    def __init__(self):
        self.outcomes = []

    def done(self):
        return bool(self.outcomes)

    def set_result(self, values):
        self.outcomes.append(values)

    def set_exception(self, error):
        self.outcomes.append(error)


@pytest.mark.parametrize("other", ["cancel", "abandon"])
def test_a_call_cancelled_while_another_thread_settles_it_lets_go_of_itself_once(system_bus, tight_switching, other):
    with varquin.Bus.system() as bus:
        for _ in range(ROUNDS):
            # Nothing processes the connection: the call stays in flight.
            pending = bus._start_call(*DBUS, "GetId")
            settle = pending.cancel if other == "cancel" else bus._loop_abandon
            before = sys.getrefcount(pending)
            outcomes = race(pending.cancel, settle)
            assert not [o for o in outcomes if isinstance(o, Exception)]
            # The call's reference to itself went, exactly once.
            assert sys.getrefcount(pending) == before - 1
            assert pending.done is False and bus._loop_abandon() == []


def test_result_and_the_loops_hand_over_never_both_take_one_reply(system_bus, tight_switching):
    with varquin.Bus.system() as bus:
        for _ in range(ROUNDS):
            pending = bus._start_call(*DBUS, "GetId")
            future = Future()
            pending.settle(future)
            # A blocking call reads the connection: the loop call's reply
            # reaches its completed list, not handed over yet.
            bus.call(*DBUS, "GetId")
            assert pending.done
            before = sys.getrefcount(pending)
            step, direct = race(bus._loop_process, pending.result)
            assert not isinstance(step, Exception)
            assert len(future.outcomes) == 1
            got = [o for o in (direct, future.outcomes[0]) if isinstance(o, tuple)]
            assert len(got) == 1 and isinstance(got[0][0], str)
            assert sys.getrefcount(pending) == before - 1
            # Later calls find the reply gone, whoever took it.
            with pytest.raises(RuntimeError, match="already taken"):
                pending.result()


def test_a_reply_taken_by_a_step_goes_to_the_future_even_if_result_is_asked_meanwhile(system_bus):
    # The step hands two calls over; while it gives the first its outcome,
    # the future's done() asks both calls for their results: the second is
    # taken already but not handed over, and its reply stays for its future.
    with varquin.Bus.system() as bus:
        calls = [bus._start_call(*DBUS, "GetId") for _ in range(2)]
        asked = []

        class Asking(Future):
            def done(self):
                for call in calls if not asked else ():
                    try:
                        asked.append(call.result())
                    except RuntimeError as e:
                        asked.append(e)
                return super().done()

        futures = [Asking(), Asking()]
        for call, future in zip(calls, futures, strict=True):
            call.settle(future)
        bus.call(*DBUS, "GetId")  # both replies reach the completed list
        assert all(call.done for call in calls)
        bus._loop_process()
        assert [type(a) for a in asked] == [RuntimeError, RuntimeError]
        assert all(len(f.outcomes) == 1 and isinstance(f.outcomes[0][0], str) for f in futures)


HOLDER = "org.varquin.Test.Holder"


class Holder(varquin.Interface, name=HOLDER):
    """An exported object that keeps the handle of another one."""

    handle = None

    @varquin.method("", "s")
    def Who(self):
        return "holder"


@pytest.mark.parametrize("how", ["close", "close from another thread", "collected"])
def test_exported_objects_holding_each_others_handles_are_freed_with_their_bus(system_bus, how):
    for _ in range(20):
        bus = varquin.Bus.system()
        first, second = Holder(), Holder()
        # Each handle is held only by the other object (export() would also
        # keep it in the object's own list).
        first.handle = bus._export("/first", second)
        second.handle = bus._export("/second", first)
        gone = [weakref.ref(first), weakref.ref(second)]
        del first, second
        if how == "close":
            bus.close()
        elif how == "close from another thread":
            closing = threading.Thread(target=bus.close)
            closing.start()
            closing.join(30)
            assert not closing.is_alive()
        else:
            bus.self = bus  # only the collector can free the bus now
            del bus
            gc.collect()
        assert [g() for g in gone] == [None, None]

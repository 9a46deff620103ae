"""Subscriptions on varquin.Bus and varquin.aio.Bus: every matching
subscription gets each signal, argument and namespace matches done for each
subscription, and bounded queues."""

import asyncio
import logging

import pytest

import varquin
import varquin.aio

IFACE = "org.varquin.Test.Subs"


@pytest.fixture
def buses(system_bus):
    with varquin.Bus.system() as bus, varquin.Bus.system() as emitter:
        yield bus, emitter


def emit_numbered(emitter, count, member="N"):
    for i in range(count):
        emitter.emit("/n", IFACE, member, "su", "n", i)


def test_every_subscription_matching_a_signal_with_arguments_gets_it(buses):
    bus, emitter = buses
    same = [bus.subscribe(interface=IFACE, member="N") for _ in range(3)]
    emit_numbered(emitter, 2)
    for sub in same:
        assert [sub.get(timeout=5).args for _ in range(2)] == [("n", 0), ("n", 1)]
        sub.close()


# Signals sent for the match cases: (path, signature, args).
SENT = [
    ("/a", "ss", ("org.example.One", "x")),
    ("/a/b", "ss", ("org.example", "y")),
    ("/ab", "ss", ("org.examples", "x")),
    ("/a", "os", ("/org/example", "x")),  # argument 0 is a path: argN matches strings only
    ("/a", "s", ("it's",)),
]
# (subscribe's keywords, what the rule adds, the indexes in SENT received)
MATCHES = [
    ({"args": {0: "org.example"}}, ",arg0='org.example'", [1]),
    ({"args": {1: "x"}}, ",arg1='x'", [0, 2, 3]),
    ({"args": {1: "x", 0: "org.example.One"}}, ",arg0='org.example.One',arg1='x'", [0]),
    ({"args": {0: "/org/example"}}, ",arg0='/org/example'", []),
    ({"args": {0: "it's"}}, ",arg0='it'\\''s'", [4]),
    ({"arg0namespace": "org.example"}, ",arg0namespace='org.example'", [0, 1]),
    ({"path_namespace": "/a"}, ",path_namespace='/a'", [0, 1, 3, 4]),
    ({"path_namespace": "/"}, ",path_namespace='/'", [0, 1, 2, 3, 4]),
]


@pytest.mark.parametrize("keywords,rule,received", MATCHES)
def test_argument_and_namespace_matches_are_applied_to_each_subscription(buses, keywords, rule, received):
    bus, emitter = buses
    # A broad subscription on the same bus makes the daemon send every signal
    # here: what the narrow one sees is its own matching.
    with bus.subscribe(interface=IFACE) as broad, bus.subscribe(interface=IFACE, **keywords) as narrow:
        assert rule in narrow.rule
        for path, signature, args in SENT:
            emitter.emit(path, IFACE, "M", signature, *args)
        assert [broad.get(timeout=5).args for _ in SENT] == [args for _, _, args in SENT]
        got = []
        while (sig := narrow._pop()) is not None:
            got.append(sig.args)
        assert got == [SENT[i][2] for i in received]


@pytest.mark.parametrize(
    "keywords,error",
    [
        ({"max_queued": 0}, ValueError),
        ({"max_queued": True}, TypeError),
        ({"args": {64: "x"}}, ValueError),
        ({"args": {"0": "x"}}, TypeError),
        ({"args": {0: 1}}, TypeError),
        ({"args": [(0, "x")]}, TypeError),
        ({"args": {0: "x"}, "arg0namespace": "org.x"}, ValueError),
        ({"path": "/a", "path_namespace": "/a"}, ValueError),
        ({"path_namespace": "a"}, ValueError),
        ({"arg0namespace": "org..x"}, ValueError),
    ],
)
def test_rules_that_cannot_be_made_are_refused(buses, keywords, error):
    with pytest.raises(error):
        buses[0].subscribe(**keywords)


def test_a_full_queue_drops_the_oldest_and_says_how_many_once(buses):
    bus, emitter = buses
    with bus.subscribe(member="N", max_queued=3) as small, bus.subscribe(member="N") as witness:
        emit_numbered(emitter, 5)
        # Both are fed by the same processing: once the witness has the fifth, so has the small one.
        assert [witness.get(timeout=5).args[1] for _ in range(5)] == list(range(5))
        with pytest.raises(varquin.SignalsLost) as lost:
            small.get(timeout=5)
        assert lost.value.lost == 2 and "max_queued=3" in str(lost.value)
        assert isinstance(lost.value, varquin.BusError)
        assert [sig.args[1] for sig in (small.get(timeout=5), next(small), small.get(timeout=5))] == [2, 3, 4]
        with pytest.raises(TimeoutError):
            small.get(timeout=0.05)


def test_aio_subscriptions_each_get_the_signal_and_a_failing_one_stops_none(system_bus, caplog):
    async def main():
        async with await varquin.aio.Bus.system() as bus, await varquin.aio.Bus.system() as emitter:
            failing = [await bus.subscribe(member="N") for _ in range(3)]
            for sub in failing:
                sub._waiter = bus._driver.loop.create_future()  # fed on every step

                def broken():
                    raise RuntimeError("feeding failed")

                sub._feed = broken
            same = [await bus.subscribe(member="N") for _ in range(2)]
            small = await bus.subscribe(member="N", max_queued=2)
            emit_numbered(emitter, 4)
            for sub in same:
                assert [(await sub.get(timeout=5)).args[1] for _ in range(4)] == [0, 1, 2, 3]
            with pytest.raises(varquin.SignalsLost) as lost:
                await small.get(timeout=5)
            assert lost.value.lost == 2
            assert [(await small.get(timeout=5)).args[1] for _ in range(2)] == [2, 3]
            assert await bus.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId")

    with caplog.at_level(logging.ERROR, logger="varquin"):
        asyncio.run(asyncio.wait_for(main(), 60))
    assert any("feeding a subscription failed" in r.getMessage() for r in caplog.records)


def test_signals_emitted_then_left_idle_are_all_written(buses):
    # More than the socket takes at once (sd-bus asks for 8 MB of buffer):
    # what sd-bus queues is written before emit() returns, not when the
    # emitter next happens to wait.
    bus, emitter = buses
    count = 50000
    with bus.subscribe(interface=IFACE, member="Flood", max_queued=count) as sub:
        for i in range(count):
            emitter.emit("/n", IFACE, "Flood", "u", i)
        assert [sub.get(timeout=10).args[0] for _ in range(count)] == list(range(count))


class Big(varquin.Interface, name="org.varquin.Test.Big"):
    Blob = varquin.signal("s")

    @varquin.property("s")
    def Text(self):
        return "x" * (16 << 20)


@pytest.mark.parametrize("how", ["signal", "properties_changed", "emit"])
def test_large_signals_sent_under_asyncio_are_written_whatever_path_sent_them(system_bus, how):
    # Twice what the socket takes at once.
    big = "y" * (16 << 20)

    async def main():
        async with await varquin.aio.Bus.system() as abus:
            obj = Big()
            abus.export("/big", obj)
            with varquin.Bus.system() as receiver, receiver.subscribe(path="/big") as sub:
                {
                    "signal": lambda: obj.Blob(big),
                    "properties_changed": lambda: obj.properties_changed("Text"),
                    "emit": lambda: abus.emit("/big", "org.varquin.Test.Big", "Blob", "s", big),
                }[how]()
                sig = await asyncio.get_running_loop().run_in_executor(None, sub.get, 20)
                assert len(sig.args[0] if how != "properties_changed" else sig.args[1]["Text"]) == 16 << 20

    asyncio.run(asyncio.wait_for(main(), 60))


@pytest.mark.parametrize("leave", ["break", "cancelled get", "dropped"])
def test_an_abandoned_aio_subscription_is_closed(buses, leave):
    import gc
    import weakref

    _, emitter = buses

    async def main():
        async with await varquin.aio.Bus.system() as abus:
            sub = await abus.subscribe(interface=IFACE, member="Left")
            refs = [weakref.ref(sub), weakref.ref(sub._core)]
            _sig = None
            if leave == "break":
                emitter.emit("/n", IFACE, "Left")
                async for _sig in sub:
                    break
            elif leave == "cancelled get":
                task = asyncio.ensure_future(sub.get())
                await asyncio.sleep(0)
                task.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await task
                del task
            del sub, _sig
            # The loop lets go of a cancelled wait's frames in its next turns.
            for _ in range(100):
                gc.collect()
                if refs[0]() is None:
                    break
                await asyncio.sleep(0)
            # Gone with its native subscription, whose end closes it.
            assert [r() for r in refs] == [None, None]

    asyncio.run(asyncio.wait_for(main(), 30))

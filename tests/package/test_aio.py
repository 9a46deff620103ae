"""varquin.aio: calls, signals and serving on one running event loop;
cancellation and timeouts."""

import asyncio
import gc
import threading
import weakref
from concurrent.futures import ThreadPoolExecutor

import pytest

import varquin
import varquin.aio
from testing.env import child_env, wait_for
from testing.privatebus import PrivateBus

NAME = "org.varquin.Test.Aio"
PATH = "/org/varquin/test/aio"


class Service(varquin.Interface, name=NAME):
    def __init__(self, bus):
        self.bus = bus

    @varquin.method("s", "s")
    def Plain(self, text):
        return "plain " + text

    @varquin.method("d", "s")
    async def Slow(self, seconds):
        await asyncio.sleep(seconds)
        return "slept"

    @varquin.method("s", "s")
    async def Relay(self, text):
        # Calls its own service on the same bus: the loop answers meanwhile.
        (answer,) = await self.bus.call(NAME, PATH, NAME, "Plain", "s", text)
        return answer

    @varquin.method("", "")
    async def Fail(self):
        raise varquin.InvalidArgs("async failure")

    Ping = varquin.signal("s")


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 60))


async def serving():
    server = await varquin.aio.Bus.system()
    service = Service(server)
    server.export(PATH, service)
    await server.request_name(NAME)
    return server, service


def test_calls_and_serving_in_one_loop(system_bus):
    async def main():
        server, service = await serving()
        async with server, await varquin.aio.Bus.system() as client:
            assert await client.call(NAME, PATH, NAME, "Plain", "s", "x") == ("plain x",)
            assert await client.call(NAME, PATH, NAME, "Relay", "s", "y") == ("plain y",)
            slow = [client.call(NAME, PATH, NAME, "Slow", "d", 0.3) for _ in range(20)]
            assert await asyncio.gather(*slow) == [("slept",)] * 20
            with pytest.raises(varquin.InvalidArgs):
                await client.call(NAME, PATH, NAME, "Fail")
            with pytest.raises(TimeoutError):
                await client.call(NAME, PATH, NAME, "Slow", "d", 1.0, timeout=0.1)
            sub = await client.subscribe(path=PATH, member="Ping")
            service.Ping("hello")
            sig = await sub.get(timeout=5)
            assert (sig.member, sig.args) == ("Ping", ("hello",))
            with pytest.raises(TimeoutError):
                await sub.get(timeout=0.1)
            sub.close()
            assert [s async for s in sub] == []
            assert await client.get_all("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus")

    run(main())


def test_cancelling_an_awaiting_call_drops_its_reply(system_bus):
    async def main():
        server, _ = await serving()
        async with server, await varquin.aio.Bus.system() as client:
            pending = client._core._start_call(NAME, PATH, NAME, "Slow", "d", 0.3)
            gone = weakref.ref(pending)
            task = asyncio.ensure_future(client._driver.wait(pending))
            del pending
            await asyncio.sleep(0.05)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            # The late reply comes while this call waits; it is not taken for it.
            assert await client.call(NAME, PATH, NAME, "Slow", "d", 0.5) == ("slept",)
            gc.collect()
            assert gone() is None and client._core._loop_abandon() == []

    run(main())


def test_each_deadline_wakes_the_loop_in_turn(system_bus):
    # The loop's timer is set to the earliest deadline only; when it has
    # passed, the next one is set: every call times out without any other
    # event to wake the loop.
    async def main():
        server, _ = await serving()
        async with server, await varquin.aio.Bus.system() as client:
            calls = [client.call(NAME, PATH, NAME, "Slow", "d", 30, timeout=t) for t in (0.1, 0.3, 0.6)]
            outcomes = await asyncio.gather(*calls, return_exceptions=True)
            assert [type(o) for o in outcomes] == [TimeoutError] * 3

    run(main())


def test_a_reply_that_comes_before_its_call_is_awaited(system_bus):
    # A proxy's method starts its call at once and is awaited later: the
    # step hands the reply over before anyone waits, and the awaiting
    # takes it from the call, values or error.
    async def main():
        server, _ = await serving()
        async with server, await varquin.aio.Bus.system() as client:
            plain = client._core._start_call(NAME, PATH, NAME, "Plain", "s", "early")
            fail = client._core._start_call(NAME, PATH, NAME, "Fail")
            for _ in range(500):
                if plain.done and fail.done:
                    break
                await asyncio.sleep(0.01)
            assert await client._driver.wait(plain) == ("plain early",)
            with pytest.raises(varquin.InvalidArgs):
                await client._driver.wait(fail)

    run(main())


def test_closing_fails_waiting_calls(system_bus):
    async def main():
        server, _ = await serving()
        async with server:
            client = await varquin.aio.Bus.system()
            waiting = asyncio.ensure_future(client.call(NAME, PATH, NAME, "Slow", "d", 5))
            await asyncio.sleep(0.1)
            client.close()
            with pytest.raises(ConnectionAbortedError):
                await waiting
            client.close()

    run(main())


def test_closing_after_the_loop_closed_with_calls_in_flight_closes_the_connection(system_bus):
    loop = asyncio.new_event_loop()

    async def start():
        server, _ = await serving()
        client = await varquin.aio.Bus.system()
        in_flight = [
            asyncio.ensure_future(client.call(NAME, PATH, NAME, "Slow", "d", 30)),
            asyncio.ensure_future(client.subscribe(member="Never").get()),
        ]
        for _ in range(3):
            await asyncio.sleep(0)
        return server, client, in_flight

    server, client, in_flight = loop.run_until_complete(start())
    loop.close()
    for bus in (client, server):
        bus.close()
        assert bus.closed
    del in_flight


def test_a_lost_connection_fails_what_waits_on_it():
    daemon = PrivateBus(env=child_env())

    async def main():
        async with await varquin.aio.Bus.connect(daemon.address) as bus:
            sub = await bus.subscribe(member="Never")
            waiting = asyncio.ensure_future(sub.get())
            await asyncio.sleep(0.1)
            daemon.restart()
            with pytest.raises(ConnectionError):
                await waiting
            with pytest.raises(ConnectionError):
                await bus.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId")

    try:
        run(main())
    finally:
        daemon.stop()


# -- calls in flight: at most max_in_flight, the rest queued in order ----------------------

LIMITED = "org.varquin.Test.Limited"


class Counted(varquin.Interface, name=LIMITED):
    """Answers Slow(tag, seconds) after a while, recording the tags in the
    order they came and how many calls it held at once."""

    def __init__(self):
        self.tags, self.now, self.most = [], 0, 0

    @varquin.method("sd", "s")
    async def Slow(self, tag, seconds):
        self.tags.append(tag)
        self.now += 1
        self.most = max(self.most, self.now)
        await asyncio.sleep(seconds)
        self.now -= 1
        return tag


@pytest.fixture(scope="module")
def stock_bus():
    """A private bus with the stock system bus's 128 replies pending per connection."""
    daemon = PrivateBus(env=child_env(), max_replies=128)
    try:
        yield daemon
    finally:
        daemon.stop()


class Served:
    """Counted served on `address` by an event loop of its own thread."""

    def __init__(self, address):
        self.service = Counted()
        self.ready, self.loop = threading.Event(), None
        self.thread = threading.Thread(target=asyncio.run, args=(self._serve(address),))
        self.thread.start()
        assert self.ready.wait(30)

    async def _serve(self, address):
        self.loop, self.stopped = asyncio.get_running_loop(), asyncio.Event()
        async with await varquin.aio.Bus.connect(address) as server:
            server.export(PATH, self.service)
            await server.request_name(LIMITED)
            self.ready.set()
            await self.stopped.wait()

    def stop(self):
        self.loop.call_soon_threadsafe(self.stopped.set)
        self.thread.join(30)


@pytest.fixture
def served(stock_bus):
    s = Served(stock_bus.address)
    try:
        yield s
    finally:
        s.stop()


def slow(bus, tag, seconds=0.0, timeout=None):
    return bus.call(LIMITED, PATH, LIMITED, "Slow", "sd", tag, seconds, timeout=timeout)


@pytest.mark.parametrize("bound", [None, 1000])
def test_a_gather_beyond_the_daemons_limit_waits_its_turn(stock_bus, served, bound):
    async def main():
        async with await varquin.aio.Bus.connect(stock_bus.address) as bus:
            assert bus.max_in_flight == 120  # below the stock daemon's 128
            if bound is not None:
                bus.max_in_flight = bound
            return await asyncio.gather(*(slow(bus, str(i), 0.01) for i in range(300)), return_exceptions=True)

    results = run(main())
    refused = [r for r in results if isinstance(r, varquin.BusError)]
    if bound is None:
        assert results == [(str(i),) for i in range(300)]
        assert served.service.most <= 120 and served.service.tags == [str(i) for i in range(300)]
    else:  # without a bound below its limit the daemon refuses calls
        assert refused and {e.name for e in refused} == {"org.freedesktop.DBus.Error.LimitsExceeded"}


@pytest.mark.parametrize("flavour", ["asyncio", "threads"])
def test_at_most_max_in_flight_calls_wait_for_replies(stock_bus, served, flavour):
    tags = [str(i) for i in range(12)]
    if flavour == "asyncio":

        async def main():
            async with await varquin.aio.Bus.connect(stock_bus.address) as bus:
                bus.max_in_flight = 3
                return await asyncio.gather(*(slow(bus, t, 0.05) for t in tags))

        assert run(main()) == [(t,) for t in tags]
        assert served.service.tags == tags  # sent in the order they were made
    else:
        with varquin.Bus(stock_bus.address) as bus:
            bus.max_in_flight = 3
            with ThreadPoolExecutor(len(tags)) as pool:
                assert list(pool.map(lambda t: slow(bus, t, 0.05), tags)) == [(t,) for t in tags]
            with pytest.raises(ValueError, match="at least 1"):
                bus.max_in_flight = 0
        assert sorted(served.service.tags) == sorted(tags)
    assert served.service.most == 3


@pytest.mark.parametrize("flavour", ["asyncio", "threads"])
def test_a_queued_calls_timeout_counts_from_when_it_was_made(stock_bus, served, flavour):
    # One place in flight, held by a call of 2 s: the second call, queued
    # behind it, runs out of its 0.2 s without ever being sent.
    if flavour == "asyncio":

        async def main():
            async with await varquin.aio.Bus.connect(stock_bus.address) as bus:
                bus.max_in_flight = 1
                first = asyncio.ensure_future(slow(bus, "first", 2.0, timeout=30))
                await asyncio.sleep(0)  # one turn of the loop: the task makes its call
                with pytest.raises(TimeoutError):
                    await slow(bus, "queued", timeout=0.2)
                assert not first.done()
                assert await first == ("first",)

        run(main())
    else:
        with varquin.Bus(stock_bus.address) as bus, ThreadPoolExecutor(1) as pool:
            bus.max_in_flight = 1
            first = pool.submit(slow, bus, "first", 2.0, 30)
            assert wait_for(lambda: served.service.now == 1)
            with pytest.raises(TimeoutError):
                slow(bus, "queued", timeout=0.2)
            assert not first.done()
            assert first.result(30) == ("first",)
    assert served.service.tags == ["first"]

"""varquin.aio: calls, signals and serving on one running event loop;
cancellation and timeouts."""

import asyncio
import gc
import weakref

import pytest

import varquin
import varquin.aio
from testing.env import child_env
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

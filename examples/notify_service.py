"""A service written with varquin.daemon, run by systemd (the units are in
examples/systemd/).

It serves the D-Bus interface org.example.Notify on the system bus, takes its
name and only then tells the manager it is ready.  Clients connect to the two
sockets that socket activation hands it by name: on "web" each line sent is
answered with the configured greeting, the line and this process's PID; on
"admin" a connection is told how many web clients are connected.  Each web
client's socket is kept in the manager's fd store, so that a client stays
connected across `systemctl restart` and the new process answers it.
`systemctl reload` (SIGHUP with Type=notify-reload) reads the configuration
again between RELOADING=1 and READY=1, so the reload returns once the new
configuration is in use.  The event loop pings the watchdog: a loop that
hangs (the Stall method blocks it on purpose) is killed and restarted.

Run by the unit: python3 notify_service.py [CONFIG], CONFIG a TOML file
(default /etc/notify-service.toml):

    greeting = "hello"
    reload_pause = 0.0   # seconds a reload takes before READY=1 (to watch it)
"""

from __future__ import annotations

import asyncio
import logging
import os
import signal
import socket
import sys
import time
import tomllib
from typing import Any

import varquin
import varquin.aio
from varquin.aio import daemon

NAME = "org.example.Notify"
PATH = "/org/example/Notify"
CLIENT = "client-"  # the fd store names of web clients: client-<number>

log = logging.getLogger("notify-service")


class Service:
    """The service's state: its configuration and its web clients."""

    def __init__(self, config_path: str) -> None:
        self.config_path = config_path
        self.config: dict[str, Any] = {}
        self.clients: dict[str, asyncio.StreamWriter] = {}
        self.serial = 0
        self.stop = asyncio.Event()
        self.load()

    def load(self) -> None:
        with open(self.config_path, "rb") as f:
            self.config = tomllib.load(f)
        log.info("configuration read: %s", self.config)

    @property
    def greeting(self) -> str:
        return str(self.config.get("greeting", "hello"))

    async def reload(self) -> None:
        daemon.notify(reloading=True, status="reloading")
        try:
            self.load()
        except (OSError, ValueError) as e:
            log.error("configuration kept, the new one cannot be read: %s", e)
        await asyncio.sleep(float(self.config.get("reload_pause", 0)))
        daemon.notify(ready=True, status=self.status())

    def status(self) -> str:
        return f"{len(self.clients)} web clients; greeting {self.greeting!r}"

    async def web_client(self, name: str, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        """Answers one web client until it leaves, its socket kept in the fd
        store under `name` meanwhile."""
        self.clients[name] = writer
        daemon.notify(fdstore={name: [writer.get_extra_info("socket")]}, status=self.status())
        try:
            while line := await reader.readline():
                text = line.decode(errors="replace").strip()
                writer.write(f"{self.greeting} {text} from {os.getpid()}\n".encode())
                await writer.drain()
        except ConnectionError:
            pass
        except asyncio.CancelledError:
            # The service is stopping: the fd store keeps the client for the
            # next process.
            del self.clients[name]
            raise
        del self.clients[name]
        daemon.notify(fdstore_remove=name, status=self.status())
        writer.close()

    async def on_web(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        self.serial += 1
        await self.web_client(f"{CLIENT}{os.getpid()}-{self.serial}", reader, writer)

    async def on_admin(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        writer.write(f"clients {len(self.clients)}\n".encode())
        await writer.drain()
        writer.close()


class Notify(varquin.Interface, name=NAME):
    """What the service shows on the bus."""

    def __init__(self, service: Service) -> None:
        self.service = service

    @varquin.method("", "s")
    def Greeting(self) -> str:
        return self.service.greeting

    @varquin.method("", "u")
    def Clients(self) -> int:
        return len(self.service.clients)

    @varquin.method("d", "")
    def Stall(self, seconds: float) -> None:
        """Blocks the event loop for `seconds`: longer than WatchdogSec= and
        the manager kills and restarts the service."""
        time.sleep(seconds)


async def main(config_path: str) -> None:
    service = Service(config_path)
    loop = asyncio.get_running_loop()
    loop.add_signal_handler(signal.SIGHUP, lambda: loop.create_task(service.reload()))
    loop.add_signal_handler(signal.SIGTERM, service.stop.set)

    servers = []
    for name, handler in (("web", service.on_web), ("admin", service.on_admin)):
        for sock in daemon.listen_fds().get(name, []):
            servers.append(await asyncio.start_server(handler, sock=sock))
    # Web clients kept by the fd store while the previous process restarted.
    for name, items in daemon.stored_fds().items():
        for item in items:
            if name.startswith(CLIENT) and isinstance(item, socket.socket):
                reader, writer = await asyncio.open_connection(sock=item)
                loop.create_task(service.web_client(name, reader, writer))

    async with await varquin.aio.Bus.system() as bus:
        bus.export(PATH, Notify(service))
        await bus.request_name(NAME)
        daemon.notify(ready=True, status=service.status())
        async with daemon.watchdog():
            await service.stop.wait()
        daemon.notify(stopping=True)
    for server in servers:
        server.close()


if __name__ == "__main__":
    logging.basicConfig(level=logging.INFO, format="%(message)s")
    asyncio.run(main(sys.argv[1] if len(sys.argv) > 1 else "/etc/notify-service.toml"))

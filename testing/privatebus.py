"""A private dbus-daemon configured as a system bus, for the tests and the
benchmarks: a permissive policy and a socket in a temporary folder."""

import shutil
import subprocess
import tempfile
from pathlib import Path

from testing.processes import stop_process

# The start of a system bus's configuration listening on {socket}: a test
# bus with a policy of its own adds it and the closing </busconfig>.
CONFIG_HEAD = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
"""

BUS_CONFIG = (
    CONFIG_HEAD
    + """  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
    <allow send_type="method_call"/>
  </policy>
  <limit name="max_replies_per_connection">{max_replies}</limit>
  <limit name="max_incoming_bytes">1000000000</limit>
  <limit name="max_outgoing_bytes">1000000000</limit>
  <limit name="max_message_size">100000000</limit>
</busconfig>
"""
)


class PrivateBus:
    """A dbus-daemon configured as a system bus, reachable only through the
    socket in its own temporary folder.  `max_replies` is its limit of replies
    pending per connection (a stock system bus allows 128)."""

    def __init__(self, env=None, max_replies=65536):
        self.folder = Path(tempfile.mkdtemp(prefix="vq-bus-"))
        self.socket = self.folder / "system_bus_socket"
        self.config = self.folder / "system.conf"
        self.config.write_text(BUS_CONFIG.format(socket=self.socket, max_replies=max_replies))
        self.env = env
        self.proc = None
        self.address = f"unix:path={self.socket}"
        self._start()

    def _start(self):
        self.proc = subprocess.Popen(
            ["dbus-daemon", f"--config-file={self.config}", "--nofork", "--print-address"],
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            env=self.env,
        )
        line = self.proc.stdout.readline().decode().strip()
        if not line:
            self.stop()
            raise RuntimeError("the private dbus-daemon did not start")

    def restart(self):
        """Stops the daemon and starts a new one on the same socket: every
        connection to the old one is gone."""
        stop_process(self.proc)
        self.socket.unlink(missing_ok=True)
        self._start()

    def stop(self):
        stop_process(self.proc)
        shutil.rmtree(self.folder, ignore_errors=True)

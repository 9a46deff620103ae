"""varquin: drive systemd and speak D-Bus from Python, over sd-bus."""

from varquin import _core
from varquin._version import __version__ as __version__

__all__: list[str] = []
del _core

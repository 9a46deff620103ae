"""varquin: drive systemd and speak D-Bus from Python, over sd-bus."""

from varquin import _core

__all__: list[str] = []
del _core

"""Drive systemd over the D-Bus system bus through sd-bus, make generic bus calls,
and serve Python callables as bus methods."""

def get_last_error(code: int, /) -> str | None:
    """Get last error text"""

def deinit_client(*args: object) -> bool:
    """client destructor"""

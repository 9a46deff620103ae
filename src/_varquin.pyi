"""Drive systemd over the D-Bus system bus through sd-bus, make generic bus calls,
and serve Python callables as bus methods."""

from collections.abc import Callable

def get_sd_bus_fd(*args: object) -> int:
    """get sd-bus descriptor"""

def service_register(
    path: str,
    if_name: str = ...,
    method_name: str = ...,
    output_sig: str = ...,
    input_sig: str = ...,
    python_method: Callable[..., object] = ...,
    method_index: int = 0,
    /,
) -> int:
    """Register service"""

def get_last_error(code: int, /) -> str | None:
    """Get last error text"""

def listen(*args: object) -> int:
    """Listen the bus"""

def deinit_client(*args: object) -> bool:
    """client destructor"""

def deinit_server(*args: object) -> bool:
    """server destructor"""

def init(methods_amount: int, /) -> bool:
    """constructor"""

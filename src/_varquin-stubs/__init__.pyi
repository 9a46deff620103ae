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

def send(
    svc_name: str,
    path: str = ...,
    if_name: str = ...,
    method_name: str = ...,
    input_sig: str = ...,
    output_sig: str = ...,
    first_arg: str = ...,
    second_arg: str = ...,
    /,
) -> tuple[int | str | None, ...]:
    """send message to bus"""

_Change = tuple[str | None, str | None, str | None]

def unit_enable(unit_name: str, /) -> tuple[bool, _Change]:
    """enables unit"""

def unit_disable(unit_name: str, /) -> tuple[bool, _Change]:
    """disables unit"""

def unit_mask(unit_name: str, /) -> tuple[bool, _Change]:
    """masks unit"""

def unit_unmask(unit_name: str, /) -> tuple[bool, _Change]:
    """unmasks unit"""

def unit_status(unit_name: str, /) -> tuple[bool, dict[str, str | None]]:
    """returns unit status"""

def unit_control(unit_name: str, action: str = ..., /) -> tuple[bool, str | None]:
    """common unit control method"""

def set_hostname(method: str, value: str = ..., /) -> bool:
    """sets machine hostname via systemd"""

def get_hostname(attr: str, /) -> tuple[bool, str | None]:
    """get machine hostnames via systemd"""

def machine_reboot(wall_message: str, /) -> bool:
    """reboot the machine via systemd (logind)"""

def machine_poweroff(wall_message: str, /) -> bool:
    """poweroff the machine via systemd (logind)"""

def set_wall_message(wall_message: str, /) -> bool:
    """set wall message"""

def set_timezone(timezone: str, /) -> bool:
    """set timezone in system"""

def daemon_reload(*args: object) -> bool:
    """reload systemd daemon"""

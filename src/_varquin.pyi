"""Drive systemd over the D-Bus system bus through sd-bus, make generic bus calls,
and serve Python callables as bus methods."""

def get_last_error(code: int, /) -> str | None:
    """Get last error text"""

def deinit_client(*args: object) -> bool:
    """client destructor"""

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

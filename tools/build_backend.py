"""The build backend of pyproject.toml: scikit-build-core, after a check that
libsystemd's headers can be found.  Without them a build would fail deep in
CMake's output; this says in one line what to install instead.  Building a
source distribution needs no headers and is not checked."""

import shutil
import subprocess
import sys
from typing import Any

from scikit_build_core import build as _backend

# The other hooks, unchanged.
build_sdist = _backend.build_sdist
get_requires_for_build_sdist = _backend.get_requires_for_build_sdist
get_requires_for_build_wheel = _backend.get_requires_for_build_wheel
get_requires_for_build_editable = _backend.get_requires_for_build_editable
prepare_metadata_for_build_wheel = _backend.prepare_metadata_for_build_wheel
prepare_metadata_for_build_editable = _backend.prepare_metadata_for_build_editable

MISSING = (
    "varquin: libsystemd's headers were not found (pkg-config name libsystemd): "
    "install the Debian package libsystemd-dev (and pkg-config)"
)


def _require_libsystemd() -> None:
    pkg_config = shutil.which("pkg-config")
    found = pkg_config is not None and subprocess.run([pkg_config, "--exists", "libsystemd"]).returncode == 0
    if not found:
        print(MISSING, file=sys.stderr)
        raise SystemExit(1)


def build_wheel(
    wheel_directory: str, config_settings: dict[str, Any] | None = None, metadata_directory: str | None = None
) -> str:
    _require_libsystemd()
    return _backend.build_wheel(wheel_directory, config_settings, metadata_directory)


def build_editable(
    wheel_directory: str, config_settings: dict[str, Any] | None = None, metadata_directory: str | None = None
) -> str:
    _require_libsystemd()
    return _backend.build_editable(wheel_directory, config_settings, metadata_directory)

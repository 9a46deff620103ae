"""Test infrastructure shared by the tests, the benchmarks and the tour:
a private dbus-daemon configured as a system bus (`privatebus`), the
throwaway systemd container (`container`) and stopping the processes they
start (`processes`).  Not part of the installed package; importable from the
repository's root (pytest adds it, the tools run `python -m`)."""

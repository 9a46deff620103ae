"""The Bus type of the package: the native connection, plus what is
Python-shaped (export bookkeeping for signals)."""

from __future__ import annotations

from varquin import _core
from varquin.service import register_export

__all__ = ["Bus"]


class Bus(_core.Bus):
    __doc__ = _core.Bus.__doc__

    def export(self, path: str, obj: object) -> _core.Export:
        """export(path, obj) -> Export

        Serves `obj`, an instance of varquin.Interface subclasses, at object
        path `path`: one vtable per interface, answering its methods,
        Introspect and org.freedesktop.DBus.Properties (Get, GetAll, and Set
        followed by PropertiesChanged).  Calls are run by serve() (or by the
        event loop of varquin.aio).  The object stays exported until
        Export.close() or the end of the bus; dropping the Export does not
        unexport it.  ValueError when one of its interfaces is already
        exported at `path`."""
        handle = self._export(path, obj)
        register_export(obj, handle)
        return handle

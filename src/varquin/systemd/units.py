"""The manager's units, read and watched by the calling thread."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Self

from varquin._closing import Closing
from varquin.journal import JournalEntry
from varquin.systemd import _calls
from varquin.systemd._names import UNIT_INTERFACE, unit_name, unit_path
from varquin.systemd._state import Changes, WatchState, properties_changed_match, wanted_states
from varquin.systemd.results import UnitDetails, UnitStatus

if TYPE_CHECKING:
    from varquin.systemd.manager import Manager


class UnitBase:
    """What a Unit is in both worlds: its manager, name and object path."""

    name: str
    path: str

    def __init__(self, manager: Any, name: str) -> None:
        self._manager = manager
        self.name = unit_name(name)
        self.path = unit_path(self.name)

    def __repr__(self) -> str:
        return f"<Unit {self.name}>"


class UnitWatch(WatchState, Closing):
    """The states of a unit as they change: an iterator of UnitStatus, first
    the current one, then one per change of its load, active or sub state.
    Iteration ends at :meth:`close` (from any thread, or the Manager's
    close()) or when the watch's total ``timeout`` has passed.  Use it as a
    context manager.  It follows the unit by name, so it goes on when the
    manager unloads the unit and loads it again."""

    def __init__(self, unit: Unit, timeout: float | None) -> None:
        self._manager = unit._manager
        sub = self._manager.bus.subscribe(**properties_changed_match(unit.path))
        super().__init__(unit.name, Changes(unit.path, sub), timeout)

    def __iter__(self) -> Self:
        return self

    def __next__(self) -> UnitStatus:
        status = self._manager._drive(_calls.watch_step(self))
        if status is None:
            raise StopIteration
        return status


@_calls.documented(_calls.unit_docs)
class Unit(UnitBase):
    """A unit of the manager, by name; nothing is asked until a property is read."""

    _manager: Manager

    @property
    def status(self) -> UnitStatus:
        return self._manager._drive(_calls.status(self._manager, self.path))

    def properties(self, interface: str = UNIT_INTERFACE) -> dict[str, Any]:
        return self._manager._drive(_calls.properties(self._manager, self.path, interface))

    def details(self) -> UnitDetails:
        return self._manager._drive(_calls.details(self._manager, self.path))

    def watch(self, timeout: float | None = None) -> UnitWatch:
        self._manager._check_open()
        watch = UnitWatch(self, timeout)
        self._manager._track(watch)
        return watch

    def wait_for(
        self,
        *,
        load: str | None = None,
        active: str | None = None,
        sub: str | None = None,
        timeout: float | None = None,
    ) -> UnitStatus:
        wanted = wanted_states(load, active, sub)
        return self._manager._drive(_calls.wait_for(self._manager, self.watch(timeout), wanted))

    def journal(self, lines: int = 10) -> list[JournalEntry]:
        return self._manager._drive(_calls.unit_journal(self._manager, self.name, lines))
